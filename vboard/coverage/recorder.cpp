// One core's counts, handed to a collection under the image they belong to.
#include "coverage/coverage.h"

#include <cstring>

namespace vboard::coverage {

Recorder::Recorder(Cpu& cpu, Collection& into) : cpu_(cpu), into_(into), counts_(std::make_unique<CodeCounts>()) {
    std::memset(counts_.get(), 0, sizeof(CodeCounts));
    cpu_.set_coverage(counts_.get());
}

Recorder::~Recorder() {
    cpu_.set_coverage(nullptr);
    hand_over();
}

void Recorder::start(const std::uint8_t* code) {
    hand_over();
    code_ = code;
    image_ = image_id({code, image_bytes});
}

void Recorder::stop() {
    hand_over();
    code_ = nullptr;
}

void Recorder::hand_over() {
    if (code_ && image_id({code_, image_bytes}) == image_) into_.add(image_, *counts_);
    std::memset(counts_.get(), 0, sizeof(CodeCounts));
}

}  // namespace vboard::coverage
