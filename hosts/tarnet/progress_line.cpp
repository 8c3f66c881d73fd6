// The progress line (see progress_line.h).
#include "progress_line.h"

#include <cstdarg>
#include <cstdio>

namespace tarnet::cli {

bool ProgressLine::Due(std::uint64_t nowMs, std::uint64_t periodMs) {
    if (!enabled_ || nowMs < shownAtMs_ + periodMs) {
        return false;
    }
    shownAtMs_ = nowMs;
    return true;
}

void ProgressLine::Show(const char* format, ...) {
    if (!enabled_) {
        return;
    }
    std::fputc('\r', stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    shown_ = true;
}

void ProgressLine::Break() {
    if (shown_) {
        std::fputc('\n', stderr);
        shown_ = false;
    }
}

void ProgressLine::Clear() {
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        shown_ = false;
    }
}

const char* ProgressLine::Replace() {
    const bool shown = shown_;
    shown_           = false;
    return shown ? "\r" : "";
}

}  // namespace tarnet::cli
