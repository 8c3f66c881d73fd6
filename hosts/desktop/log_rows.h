// The rows of a program's log view, with the policy the program chose when a row arrives and
// the log is full: drop the oldest row (sockbench keeps the newest 1000), or empty the log and
// start again with the new row (the FTP program: the 1001st line empties the log). Rows are
// valid UTF-8, cut to a character limit; the view is told what changed.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace tarnet::desktop {

class LogRows {
  public:
    enum class Policy { kDropOldest, kEmptyWhenFull };
    enum class Change { kAppended, kOldestDropped, kEmptied };

    LogRows(Policy policy, std::size_t capacity, std::size_t charLimit)
        : policy_(policy), capacity_(capacity), charLimit_(charLimit) {}

    // Adds a row (made valid and cut first). kOldestDropped: the row was added and the first
    // one removed; kEmptied: every earlier row was removed and the log holds only this one.
    Change Append(const std::string& text);
    void Clear() { rows_.clear(); }

    const std::deque<std::string>& Rows() const { return rows_; }
    const std::string& Last() const { return rows_.back(); }

  private:
    Policy policy_;
    std::size_t capacity_;
    std::size_t charLimit_;
    std::deque<std::string> rows_;
};

}  // namespace tarnet::desktop
