// Card contents from an image file: raw pages (data, then spare) in page order.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "card/card.h"

namespace vboard::card {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string capacity_text(uint8_t device, const Geometry& g) {
    char text[96];
    if (g.pages == 0)
        std::snprintf(text, sizeof text, "device code %02x is unknown, the card has no pages", device);
    else
        std::snprintf(text, sizeof text, "%llu bytes fit (%u pages of %u bytes)",
                      static_cast<unsigned long long>(g.image_bytes()), g.pages, g.page_bytes());
    return text;
}

}  // namespace

bool Card::load_image(const std::string& path, std::string& error) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open card image '" + path + "': " + std::strerror(errno);
        return false;
    }
    const Geometry& g = geometry_;
    const size_t page_bytes = g.page_bytes();
    std::unordered_map<uint32_t, std::vector<uint8_t>> loaded;
    std::vector<uint8_t> page(std::max<size_t>(page_bytes, 1));

    // Only pages that are not wholly erased take memory, so an image of a
    // large, mostly empty card stays small.
    for (uint32_t index = 0;; ++index) {
        const size_t want = index < g.pages ? page_bytes : 1;  // past the end: is there more?
        const size_t got = std::fread(page.data(), 1, want, file.get());
        if (std::ferror(file.get())) {
            error = "cannot read card image '" + path + "': " + std::strerror(errno);
            return false;
        }
        if (got == 0) break;
        if (index >= g.pages) {
            error = "card image '" + path + "' is larger than the card: " + capacity_text(identity_.device, g);
            return false;
        }
        std::fill(page.begin() + std::ptrdiff_t(got), page.begin() + std::ptrdiff_t(page_bytes), 0xFF);
        if (std::any_of(page.begin(), page.begin() + std::ptrdiff_t(page_bytes), [](uint8_t b) { return b != 0xFF; }))
            loaded.emplace(index, std::vector<uint8_t>(page.begin(), page.begin() + std::ptrdiff_t(page_bytes)));
        if (got < want) break;
    }

    pages_ = std::move(loaded);
    // The array changed under the data register: start over as at power-on.
    mode_ = Mode::read;
    pointer_ = Area::first_half;
    addr_count_ = 0;
    addr_done_ = false;
    cursor_valid_ = false;
    program_buffer_.clear();
    status_ = kStatusReady;
    return true;
}

}  // namespace vboard::card
