// The firmware's source lines with what the linker placed for each: read
// from the relocated listings sdld writes with -u (<module>.rst beside each
// object), checked against the module sources.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fwcov {

struct SourceLine {
    std::string file;     // "bus.asm" (or an included file's name)
    int number = 0;       // 1-based, in `file`
    std::string text;     // as written
    bool expansion = false;  // a line of a macro's body, expanded at line `number`
    bool placed = false;  // the line placed bytes (code or data) ...
    std::uint16_t address = 0;
    std::vector<std::uint8_t> bytes;  // ... these, at `address`
    bool instruction = false;         // the bytes are one instruction
    std::string routine;              // the last global label at or before the line, or "-"
    std::string statement;            // the instruction without label and comment, blanks collapsed
};

// One module: every line of its listing that belongs to a source file, in
// listing order (an included file's lines between the module's).
struct Module {
    std::string name;  // "bus"
    std::vector<SourceLine> lines;
};

// Reads `listing` (a .rst file) of the module whose source is
// `source_dir`/<stem>.asm, included files found in `source_dir`. False
// with one line in `error` when a file cannot be read or the listing does
// not follow the sources.
bool read_module(const std::string& listing, const std::string& source_dir, Module& module, std::string& error);

// The statement of a source line: label and comment removed, runs of
// blanks made one space.
std::string statement_of(const std::string& text);
// The global label a source line defines ("name:" or "name::"), or empty.
std::string global_label_of(const std::string& text);

}  // namespace fwcov
