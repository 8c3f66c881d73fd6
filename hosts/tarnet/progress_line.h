// The progress line of the transfer commands (tcp, mail, ftp): one line on stderr, rewritten in
// place while the transfer runs, and only when stderr is a terminal, so that scripts and logs see
// the final lines alone.
#pragma once

#include <cstdint>

namespace tarnet::cli {

class ProgressLine {
  public:
    ProgressLine() = default;
    // Shown only when `enabled` (stderr is a terminal).
    explicit ProgressLine(bool enabled) : enabled_(enabled) {}

    bool Enabled() const { return enabled_; }
    // True when the line is enabled and was last rewritten at least `periodMs` before `nowMs`;
    // the time counts as the line's latest from then on.
    bool Due(std::uint64_t nowMs, std::uint64_t periodMs);
    // Rewrites the line (printf format) when enabled.
    void Show(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Ends a shown line, so that the next message starts on a line of its own.
    void Break();
    // Erases a shown line, so that the next message takes its place.
    void Clear();
    // For a final line that takes the progress line's place: "\r" when one is shown, else "".
    // The line counts as gone afterwards.
    const char* Replace();

  private:
    bool enabled_            = false;
    bool shown_              = false;
    std::uint64_t shownAtMs_ = 0;
};

}  // namespace tarnet::cli
