// Card contents from an image file: raw pages (data, then spare) in page order.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <unistd.h>

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
    modified_ = false;
    // The array changed under the data register: start over as at power-on.
    restart();
    return true;
}

bool Card::save_image(const std::string& path, std::string& error) const {
    const std::string temporary = path + ".tmp";
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(temporary.c_str(), "wb"));
    if (!file) {
        error = "cannot write card image '" + temporary + "': " + std::strerror(errno);
        return false;
    }
    const std::vector<uint8_t> erased(geometry_.page_bytes(), 0xFF);
    bool written = true;
    for (uint32_t index = 0; index < geometry_.pages && written; ++index) {
        const auto it = pages_.find(index);
        const std::vector<uint8_t>& bytes = it == pages_.end() ? erased : it->second;
        written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    }
    int why = errno;
    // The data must be on the disk before the rename makes them the image.
    if (written && (std::fflush(file.get()) != 0 || ::fsync(::fileno(file.get())) != 0)) {
        written = false;
        why = errno;
    }
    if (std::fclose(file.release()) != 0 && written) {
        written = false;
        why = errno;
    }
    if (!written) {
        error = "cannot write card image '" + temporary + "': " + std::strerror(why);
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename '" + temporary + "' to '" + path + "': " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace vboard::card
