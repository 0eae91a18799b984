// Relocated listings (sdas8051 -l, then sdld -u) read line by line.
//
// A listing line is 40 columns of link data, then the source text: the
// address at column 6 (6 hex digits) and up to 7 bytes from column 13
// when the line placed bytes, an instruction's cycles in brackets, and
// the line's number in its file at columns 34-38. Lines with more bytes
// go on in continuation lines that have no number. An .include makes the
// numbers start again at 1 in the included file; so does a macro's
// expansion, after the line that invokes it, with the body's lines.
#include "listing.h"

#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace fwcov {

namespace {

bool read_lines(const std::string& path, std::vector<std::string>& lines, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

std::string rstrip(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

bool is_hex(const std::string& s) {
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return !s.empty();
}

// The comment of a line starts at the first ';' outside a character
// constant ('c) or string.
std::string without_comment(const std::string& text) {
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '\'') {
            ++i;  // 'c: the next character is data
            continue;
        }
        if (!quoted && c == ';') return text.substr(0, i);
    }
    return text;
}

// The label at the start of `text` ("name:", "name::", "1$:"), or empty;
// `rest` gets what follows it.
std::string label_of(const std::string& text, std::string* rest) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const std::size_t start = i;
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_' || text[i] == '$' ||
                               text[i] == '.'))
        ++i;
    if (i == start || i >= text.size() || text[i] != ':') return {};
    const std::string label = text.substr(start, i - start);
    ++i;
    if (i < text.size() && text[i] == ':') ++i;
    if (rest) *rest = text.substr(i);
    return label;
}

struct File {
    std::string name;
    std::vector<std::string> lines;
};

}  // namespace

std::string statement_of(const std::string& text) {
    std::string code = without_comment(text);
    std::string rest;
    while (!label_of(code, &rest).empty()) code = rest;
    std::string out;
    bool blank = false;
    for (char c : code) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

std::string global_label_of(const std::string& text) {
    const std::string label = label_of(without_comment(text), nullptr);
    return label.find('$') == std::string::npos ? label : std::string();
}

bool read_module(const std::string& listing, const std::string& source_dir, Module& module, std::string& error) {
    std::vector<std::string> rst;
    if (!read_lines(listing, rst, error)) return false;
    std::string stem = listing.substr(listing.find_last_of('/') + 1);
    stem = stem.substr(0, stem.find_last_of('.'));
    module.name = stem;
    module.lines.clear();

    std::map<std::string, std::unique_ptr<File>> files;
    const auto open = [&](const std::string& name) -> File* {
        auto& f = files[name];
        if (!f) {
            f = std::make_unique<File>();
            f->name = name;
            if (!read_lines(source_dir + "/" + name, f->lines, error)) return nullptr;
        }
        return f.get();
    };
    // The file each numbered line belongs to, and its last line number.
    struct Open {
        File* file;
        int last;
    };
    std::vector<Open> stack;
    File* top = open(stem + ".asm");
    if (!top) return false;
    stack.push_back({top, 0});
    const auto matches = [](const Open& o, int number, const std::string& text) {
        return number == o.last + 1 && number <= static_cast<int>(o.file->lines.size()) &&
               rstrip(o.file->lines[static_cast<std::size_t>(number - 1)]) == rstrip(text);
    };
    const auto where = [&](std::size_t i) { return listing + ":" + std::to_string(i + 1) + ": "; };
    if (rst.empty()) {
        error = listing + ": empty listing";
        return false;
    }

    std::string routine = "-";
    for (std::size_t i = 0; i < rst.size(); ++i) {
        const std::string& raw = rst[i];
        if (rstrip(raw).empty()) continue;
        const std::string head = (raw.size() < 40 ? raw + std::string(40 - raw.size(), ' ') : raw.substr(0, 40));
        const std::string number_field = rstrip(head.substr(34, 5));
        const std::string address_field = head.substr(6, 6);
        std::vector<std::uint8_t> bytes;
        {
            std::istringstream words(head.substr(13, 20));
            std::string w;
            while (words >> w) {
                if (w.size() != 2 || !is_hex(w)) break;
                bytes.push_back(static_cast<std::uint8_t>(std::stoul(w, nullptr, 16)));
            }
        }
        std::size_t first = 0;
        while (first < number_field.size() && number_field[first] == ' ') ++first;
        const std::string number_text = number_field.substr(first);
        if (number_text.empty()) {
            // A continuation line: more bytes of the line before.
            if (module.lines.empty() || !module.lines.back().placed) {
                error = where(i) + "a line without a line number that does not continue placed bytes";
                return false;
            }
            std::istringstream words(raw.substr(13));
            std::string w;
            while (words >> w) {
                if (w.size() != 2 || !is_hex(w)) {
                    error = where(i) + "unreadable continuation bytes";
                    return false;
                }
                module.lines.back().bytes.push_back(static_cast<std::uint8_t>(std::stoul(w, nullptr, 16)));
            }
            continue;
        }
        for (char c : number_text)
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                error = where(i) + "not a listing line (no line number in columns 35-39)";
                return false;
            }
        const int number = std::stoi(number_text);
        const std::string text = raw.size() > 40 ? raw.substr(40) : std::string();
        // Which open file the line continues: the innermost that it follows
        // (leaving the included files it does not); a line that follows
        // none is a line of a macro's expansion, listed with the body's
        // numbering after the line that invokes the macro.
        int follows = static_cast<int>(stack.size()) - 1;
        while (follows >= 0 && !matches(stack[static_cast<std::size_t>(follows)], number, text)) --follows;
        const bool expansion = follows < 0;
        if (!expansion) {
            stack.resize(static_cast<std::size_t>(follows) + 1);
            stack.back().last = number;
        }
        Open& current = stack.back();

        SourceLine line;
        line.file = current.file->name;
        line.number = expansion ? current.last : number;
        line.text = text;
        line.expansion = expansion;
        if (current.file == top && !expansion) {
            const std::string label = global_label_of(text);
            if (!label.empty()) routine = label;
        }
        line.routine = routine;
        if (is_hex(address_field) && !bytes.empty()) {
            line.placed = true;
            line.address = static_cast<std::uint16_t>(std::stoul(address_field, nullptr, 16));
            line.bytes = bytes;
            line.instruction = head.find('[') != std::string::npos;  // cycles are listed for instructions only
            if (line.instruction) line.statement = statement_of(text);
        }
        module.lines.push_back(line);

        const std::string statement = statement_of(text);
        if (!expansion && statement.rfind(".include", 0) == 0) {
            const std::size_t q1 = statement.find('"');
            const std::size_t q2 = statement.rfind('"');
            if (q1 == std::string::npos || q2 <= q1) {
                error = where(i) + "an .include without a quoted file name";
                return false;
            }
            File* inc = open(statement.substr(q1 + 1, q2 - q1 - 1));
            if (!inc) return false;
            stack.push_back({inc, 0});
        }
    }
    if (stack.front().last != static_cast<int>(top->lines.size())) {
        error = listing + ": lists " + std::to_string(stack.front().last) + " of the " +
                std::to_string(top->lines.size()) + " lines of " + top->name + " (a listing older than its source?)";
        return false;
    }
    return true;
}

}  // namespace fwcov
