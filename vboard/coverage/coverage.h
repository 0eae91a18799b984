// Firmware coverage: which code addresses executed how often, and how often
// the instruction at each address jumped, for each firmware image that ran.
//
// The core counts into a CodeCounts (cpu.h) while a Recorder is attached; a
// Recorder hands its counts to a Collection, filed under the identity of the
// image in the core's code memory, when a new image starts, when asked and
// when it goes. A Collection gathers the counts of every board of a process
// (from any thread) and becomes a Profile, the contents of a coverage file.
// README.md beside this file describes the file and the image identity.
//
// Index of the component:
//   coverage.cpp   image identity, Profile (merge, file reading and writing),
//                  Collection, the process's collection from NEBU_COVERAGE_DIR
//   recorder.cpp   Recorder: one core's counts
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "cpu/cpu.h"

namespace vboard::coverage {

// The bytes of code memory, from 0x0000, that identify the image a core runs
// (the firmware image's size).
inline constexpr std::size_t image_bytes = 4096;

// FNV-1a (64 bit) of the first image_bytes bytes of `code` (of all of it
// when it is shorter).
std::uint64_t image_id(std::span<const std::uint8_t> code);

struct Count {
    std::uint64_t executed = 0;  // instructions started at the address
    std::uint64_t jumped = 0;    // of those, followed by one not next in memory
};
// One image's counts, addresses that executed only.
using ImageCounts = std::map<std::uint16_t, Count>;

// Counts per image, as a coverage file holds them.
class Profile {
public:
    void add(std::uint64_t image, const CodeCounts& counts);
    void add(const Profile& other);
    const std::map<std::uint64_t, ImageCounts>& images() const { return images_; }
    bool empty() const { return images_.empty(); }

    // Adds the counts of a coverage file; false with one line in `error`
    // (the profile then holds what it held before).
    bool read(const std::string& path, std::string& error);
    bool parse(const std::string& text, const std::string& name, std::string& error);
    // The file's text.
    std::string text() const;
    // Writes the file: a temporary file in the same directory, renamed over
    // `path` when whole. False with one line in `error`.
    bool write(const std::string& path, std::string& error) const;

private:
    std::map<std::uint64_t, ImageCounts> images_;
};

// False with one line in `error` when no file can be written at `path`
// (a missing directory, no permission), checked before a run starts.
bool check_writable(const std::string& path, std::string& error);

// Where the boards of a process hand their counts; safe from any thread.
class Collection {
public:
    void add(std::uint64_t image, const CodeCounts& counts);
    Profile profile() const;

private:
    mutable std::mutex mutex_;
    Profile profile_;
};

// The process's collection when the environment variable NEBU_COVERAGE_DIR
// names a directory: at exit its profile goes into a new file <pid>-<random>.cov
// there (a write failure ends the process with status 70). Null otherwise.
Collection* environment_collection();

// Counts the instructions of one core while attached (from construction to
// destruction) and hands them to a collection.
class Recorder {
public:
    Recorder(Cpu& cpu, Collection& into);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // A new image starts to run from `code` (the core's code memory, at
    // least image_bytes long): counts from now on are the image's that
    // `code` now holds (what was counted before is handed over first).
    void start(const std::uint8_t* code);
    // Hands the counts so far to the collection and starts again from zero.
    // Counts are dropped, not handed over, when no image was started or the
    // image changed in code memory while it ran (its identity differs now).
    void hand_over();
    // The image has stopped (the core is held, the memory may change next):
    // hands over; until the next start() nothing is handed over.
    void stop();

private:
    Cpu& cpu_;
    Collection& into_;
    std::unique_ptr<CodeCounts> counts_;
    const std::uint8_t* code_ = nullptr;
    std::uint64_t image_ = 0;
};

}  // namespace vboard::coverage
