// fwcov: the firmware's coverage from coverage files, over its listings.
//
//   fwcov --image BIN --source DIR --listings DIR --known FILE
//         [--listing OUT] [--summary OUT] [--branch-target PERCENT] COVERAGE...
//
// COVERAGE: coverage files (`vboard ... --coverage FILE`, NEBU_COVERAGE_DIR)
// or directories, whose *.cov files are read; they are merged, and the
// counts of the image BIN (the built nebu.bin) are laid over the relocated
// listings (<module>.rst in --listings) of the sources in --source. Counts
// of other images are left out. Writes the annotated listing and the
// summary, prints the summary.
//
// Exit status: 0 the target is met (every instruction executed unless an
// entry of the known file explains it, at least PERCENT (default 95) of the
// reachable conditional jumps taken both ways, every gap explained, no stale
// entry); 1 the target is missed or an input cannot be read (one line);
// 2 usage error.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "coverage/coverage.h"
#include "listing.h"
#include "report.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* usage =
    "usage: fwcov --image BIN --source DIR --listings DIR --known FILE\n"
    "             [--listing OUT] [--summary OUT] [--branch-target PERCENT] COVERAGE...\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "fwcov: %s\n", message.c_str());
    return 1;
}

bool write_text(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out << text;
    if (out) out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string image_path, source_dir, listings_dir, known_path, listing_out, summary_out, target_text = "95";
    bool help = false;
    const std::vector<cmdline::Option> options = {
        cmdline::text("--image", "", "BIN", "the firmware image the counts are for", image_path),
        cmdline::text("--source", "", "DIR", "the firmware's sources (<module>.asm, included files)", source_dir),
        cmdline::text("--listings", "", "DIR", "the relocated listings <module>.rst", listings_dir),
        cmdline::text("--known", "", "FILE", "the known uncovered entries", known_path),
        cmdline::text("--listing", "", "OUT", "write the annotated listing to OUT", listing_out),
        cmdline::text("--summary", "", "OUT", "write the summary to OUT", summary_out),
        cmdline::text("--branch-target", "", "PERCENT", "conditional jumps taken both ways, at least (95)", target_text),
        cmdline::flag("--help", "-h", "this text", help),
    };
    cmdline::Parsed parsed;
    std::string error;
    if (!cmdline::parse(options, argc - 1, argv + 1, parsed, error)) {
        std::fprintf(stderr, "fwcov: %s\n%s", error.c_str(), usage);
        return 2;
    }
    if (help) {
        std::printf("%s%s", usage, cmdline::help(options).c_str());
        return 0;
    }
    char* end = nullptr;
    const double target = std::strtod(target_text.c_str(), &end);
    if (image_path.empty() || source_dir.empty() || listings_dir.empty() || known_path.empty() ||
        parsed.operands.empty() || *end != '\0' || !(target >= 0 && target <= 100)) {
        std::fprintf(stderr, "fwcov: %s\n%s",
                     *end != '\0' || !(target >= 0 && target <= 100)
                         ? "--branch-target needs a percentage from 0 to 100"
                         : "--image, --source, --listings, --known and at least one COVERAGE are needed",
                     usage);
        return 2;
    }

    // The image and its identity.
    std::ifstream in(image_path, std::ios::binary);
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) return fail("cannot read " + image_path);
    if (image.empty()) return fail("cannot read " + image_path + " (missing or empty)");
    const std::uint64_t id = vboard::coverage::image_id(image);

    // The coverage files, merged.
    vboard::coverage::Profile profile;
    int files = 0;
    for (const std::string& operand : parsed.operands) {
        std::vector<std::string> paths;
        std::error_code ec;
        if (fs::is_directory(operand, ec)) {
            for (const auto& entry : fs::directory_iterator(operand, ec))
                if (entry.path().extension() == ".cov") paths.push_back(entry.path().string());
            if (ec) return fail("cannot read the directory " + operand + ": " + ec.message());
            std::sort(paths.begin(), paths.end());
        } else {
            paths.push_back(operand);
        }
        for (const std::string& p : paths) {
            if (!profile.read(p, error)) return fail(error);
            ++files;
        }
    }
    const auto counts = profile.images().find(id);
    if (counts == profile.images().end())
        return fail("no counts for " + image_path + " in the " + std::to_string(files) +
                    " coverage files (were they recorded with this build's firmware?)");

    // The listings, in address order.
    std::vector<fwcov::Module> modules;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(listings_dir, ec)) {
        if (entry.path().extension() != ".rst") continue;
        fwcov::Module m;
        if (!fwcov::read_module(entry.path().string(), source_dir, m, error)) return fail(error);
        modules.push_back(std::move(m));
    }
    if (ec) return fail("cannot read the directory " + listings_dir + ": " + ec.message());
    if (modules.empty()) return fail("no listings (<module>.rst) in " + listings_dir);
    const auto first_address = [](const fwcov::Module& m) {
        for (const auto& line : m.lines)
            if (line.placed) return static_cast<int>(line.address);
        return 0x10000;
    };
    std::sort(modules.begin(), modules.end(),
              [&](const fwcov::Module& a, const fwcov::Module& b) { return first_address(a) < first_address(b); });

    std::vector<fwcov::KnownEntry> known;
    if (!fwcov::read_known(known_path, known, error)) return fail(error);

    std::vector<fwcov::Instruction> instructions;
    fwcov::Figures figures;
    if (!fwcov::collect(modules, image, counts->second, known, instructions, figures, error)) return fail(error);

    char head[512];
    std::snprintf(head, sizeof head,
                  "Firmware coverage of %s (image %016" PRIx64 "), from %d coverage files (%zu other images left out)\n",
                  image_path.c_str(), id, files, profile.images().size() - 1);
    const std::string text = fwcov::summary(instructions, known, figures, target, head);
    if (!listing_out.empty() && !write_text(listing_out, fwcov::annotated_listing(modules, instructions), error))
        return fail(error);
    if (!summary_out.empty() && !write_text(summary_out, text, error)) return fail(error);
    std::fputs(text.c_str(), stdout);
    return figures.target_met(target) ? 0 : 1;
}
