// The progress bar of a card read, on standard error when it is a terminal:
// pages, MB/s and time left, redrawn at most ten times a second.
#pragma once

#include <chrono>
#include <cstdint>

class sm_progress {
public:
    sm_progress(uint32_t pages, unsigned page_bytes);
    ~sm_progress() { done(); }
    sm_progress(const sm_progress&) = delete;
    sm_progress& operator=(const sm_progress&) = delete;
    void update(uint32_t pages_done);
    // Ends the bar's line.
    void done();

private:
    bool shown_ = false;
    uint32_t pages_ = 0;
    unsigned page_bytes_ = 0;
    std::chrono::steady_clock::time_point start_, last_;
};
