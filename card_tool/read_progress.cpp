#include "card_tool/read_progress.h"

#include "card_tool/progress.h"

#include <cstdio>

sm_progress::sm_progress(uint32_t pages, unsigned page_bytes)
    : shown_(is_terminal(stderr)), pages_(pages), page_bytes_(page_bytes),
      start_(std::chrono::steady_clock::now()), last_(start_)
{
}

void sm_progress::update(uint32_t pages_done)
{
    if (!shown_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (pages_done < pages_ && now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? double(pages_done) * page_bytes_ / seconds : 0;  // bytes per second
    const double left = rate > 0 ? double(pages_ - pages_done) * page_bytes_ / rate : 0;
    constexpr int width = 30;
    const int filled = pages_ ? int(uint64_t{pages_done} * width / pages_) : width;
    char bar[width + 1];
    for (int i = 0; i < width; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[width] = '\0';
    std::fprintf(stderr, "\r[%s] %u/%u pages  %.2f MB/s  %.0f s left ", bar, unsigned(pages_done), unsigned(pages_),
                 rate / 1e6, left);
    std::fflush(stderr);
}

void sm_progress::done()
{
    if (shown_)
        std::fputs("\n", stderr);
    shown_ = false;
}
