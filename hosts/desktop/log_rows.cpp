#include "log_rows.h"

#include <cstdint>

#include "text.h"

namespace tarnet::desktop {

LogRows::Change LogRows::Append(const std::string& text) {
    const std::string valid =
        ValidUtf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::string row(CutChars(valid, charLimit_));
    if (policy_ == Policy::kEmptyWhenFull && rows_.size() >= capacity_) {
        rows_.clear();
        rows_.push_back(std::move(row));
        return Change::kEmptied;
    }
    rows_.push_back(std::move(row));
    if (rows_.size() > capacity_) {
        rows_.pop_front();
        return Change::kOldestDropped;
    }
    return Change::kAppended;
}

}  // namespace tarnet::desktop
