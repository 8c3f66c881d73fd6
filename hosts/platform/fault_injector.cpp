#include "fault_injector.h"

#include <charconv>
#include <cstring>

namespace tarnet::platform {

namespace {

constexpr std::uint32_t kMaxBasisPoints = 10000;
constexpr std::uint32_t kMaxDelayMs     = 10000;

// "12", "0.5" or "2.25" percent as hundredths of a percent.
bool ParsePercent(std::string_view text, std::uint32_t& out) {
    std::uint32_t whole = 0;
    const char* begin   = text.data();
    const char* end     = text.data() + text.size();
    const auto [p, ec]  = std::from_chars(begin, end, whole);
    if (ec != std::errc{} || p == begin || whole > 100) {
        return false;
    }
    std::uint32_t fraction = 0;
    if (p != end) {
        if (*p != '.') {
            return false;
        }
        const std::string_view digits(p + 1, static_cast<std::size_t>(end - p - 1));
        if (digits.empty() || digits.size() > 2) {
            return false;
        }
        for (const char c : digits) {
            if (c < '0' || c > '9') {
                return false;
            }
        }
        fraction = static_cast<std::uint32_t>(digits[0] - '0') * 10;
        if (digits.size() == 2) {
            fraction += static_cast<std::uint32_t>(digits[1] - '0');
        }
    }
    const std::uint32_t value = whole * 100 + fraction;
    if (value > kMaxBasisPoints) {
        return false;
    }
    out = value;
    return true;
}

template <typename T>
bool ParseInteger(std::string_view text, T& out) {
    T value{};
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || p != text.data() + text.size() || text.empty()) {
        return false;
    }
    out = value;
    return true;
}

std::string PercentText(std::uint32_t bp) {
    std::string text = std::to_string(bp / 100);
    if (bp % 100 != 0) {
        const std::uint32_t f = bp % 100;
        text += '.';
        text += static_cast<char>('0' + f / 10);
        if (f % 10 != 0) {
            text += static_cast<char>('0' + f % 10);
        }
    }
    return text;
}

// splitmix64: small, fast and good enough to pick faults; the sequence depends only on the seed.
std::uint64_t Mix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z               = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z               = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

std::string ParseFaultConfig(std::string_view text, FaultConfig& out) {
    FaultConfig config = out;
    if (text.empty()) {
        return "empty impairment (expected e.g. loss=2,dup=1,reorder=5,delay=20,seed=7)";
    }
    while (!text.empty()) {
        const std::size_t comma     = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            return "'" + std::string(item) + "' is not NAME=VALUE";
        }
        const std::string_view name  = item.substr(0, equals);
        const std::string_view value = item.substr(equals + 1);
        bool ok                      = false;
        if (name == "loss") {
            ok = ParsePercent(value, config.lossBp);
        } else if (name == "dup") {
            ok = ParsePercent(value, config.dupBp);
        } else if (name == "reorder") {
            ok = ParsePercent(value, config.reorderBp);
        } else if (name == "delay") {
            ok = ParseInteger(value, config.delayMs) && config.delayMs <= kMaxDelayMs;
        } else if (name == "span") {
            ok = ParseInteger(value, config.reorderSpanMs) && config.reorderSpanMs >= 1 &&
                 config.reorderSpanMs <= kMaxDelayMs;
        } else if (name == "seed") {
            ok               = ParseInteger(value, config.seed);
            config.seedGiven = ok;
        } else {
            return "unknown impairment '" + std::string(name) +
                   "' (known: loss, dup, reorder, delay, span, seed)";
        }
        if (!ok) {
            return "bad value in '" + std::string(item) +
                   "' (percentages 0 to 100 with at most two decimals, times 0 to 10000 ms)";
        }
    }
    out = config;
    return {};
}

std::string FormatFaultConfig(const FaultConfig& config) {
    return "loss=" + PercentText(config.lossBp) + ",dup=" + PercentText(config.dupBp) +
           ",reorder=" + PercentText(config.reorderBp) +
           ",delay=" + std::to_string(config.delayMs) +
           ",span=" + std::to_string(config.reorderSpanMs) + ",seed=" + std::to_string(config.seed);
}

void FaultInjector::Configure(const FaultConfig& config, Deliver deliver, void* context) {
    Clear();
    config_       = config;
    enabled_      = config.Enabled() && deliver != nullptr;
    deliver_      = deliver;
    context_      = context;
    state_        = config.seed;
    nextSequence_ = 1;
    counters_[0]  = {};
    counters_[1]  = {};
}

std::uint64_t FaultInjector::NextRandom() {
    return Mix(state_);
}

bool FaultInjector::Chance(std::uint32_t basisPoints) {
    if (basisPoints == 0) {
        return false;
    }
    return NextRandom() % kMaxBasisPoints < basisPoints;
}

void FaultInjector::Submit(Direction direction, const std::uint8_t* frame, std::uint32_t length,
                           std::uint64_t nowMs) {
    if (frame == nullptr || deliver_ == nullptr) {
        return;
    }
    FaultCounters& counters = counters_[static_cast<std::size_t>(direction)];
    ++counters.submitted;
    if (!enabled_) {
        ++counters.passed;
        deliver_(context_, direction, frame, length);
        return;
    }
    // Draw every decision for every frame, so that the faults a seed gives depend only on the
    // order of frames, not on which earlier decisions happened to apply.
    const bool lose           = Chance(config_.lossBp);
    const bool twice          = Chance(config_.dupBp);
    const bool reorder        = Chance(config_.reorderBp);
    const std::uint64_t extra = 1 + NextRandom() % config_.reorderSpanMs;
    if (lose) {
        ++counters.lost;
        return;
    }
    const int copies = twice ? 2 : 1;
    if (twice) {
        ++counters.duplicated;
    }
    std::uint64_t hold = config_.delayMs;
    if (reorder) {
        ++counters.reordered;
        hold += extra;
    }
    for (int i = 0; i < copies; ++i) {
        if (hold == 0) {
            ++counters.passed;
            deliver_(context_, direction, frame, length);
        } else {
            Hold(direction, frame, length, nowMs + hold);
        }
    }
}

void FaultInjector::Hold(Direction direction, const std::uint8_t* frame, std::uint32_t length,
                         std::uint64_t due) {
    FaultCounters& counters = counters_[static_cast<std::size_t>(direction)];
    if (length > kMaxFrame) {
        ++counters.overflowed;
        return;
    }
    for (Slot& slot : slots_) {
        if (slot.inUse) {
            continue;
        }
        slot.inUse     = true;
        slot.direction = direction;
        slot.length    = length;
        slot.due       = due;
        slot.sequence  = nextSequence_++;
        std::memcpy(slot.bytes, frame, length);
        ++held_;
        return;
    }
    ++counters.overflowed;
}

void FaultInjector::Service(std::uint64_t nowMs) {
    if (held_ == 0) {
        return;
    }
    const std::uint64_t sequenceLimit = nextSequence_;
    for (;;) {
        Slot* next = nullptr;
        for (Slot& slot : slots_) {
            if (!slot.inUse || slot.due > nowMs || slot.sequence >= sequenceLimit) {
                continue;
            }
            if (next == nullptr || slot.due < next->due ||
                (slot.due == next->due && slot.sequence < next->sequence)) {
                next = &slot;
            }
        }
        if (next == nullptr) {
            return;
        }
        // The slot stays taken while the frame is delivered: the receiver may submit frames of
        // its own, which must not land in this slot.
        ++counters_[static_cast<std::size_t>(next->direction)].passed;
        deliver_(context_, next->direction, next->bytes, next->length);
        next->inUse = false;
        --held_;
    }
}

std::optional<std::uint64_t> FaultInjector::NextDue() const {
    std::optional<std::uint64_t> earliest;
    if (held_ == 0) {
        return earliest;
    }
    for (const Slot& slot : slots_) {
        if (slot.inUse && (!earliest || slot.due < *earliest)) {
            earliest = slot.due;
        }
    }
    return earliest;
}

std::size_t FaultInjector::HeldCount() const {
    return held_;
}

void FaultInjector::Clear() {
    for (Slot& slot : slots_) {
        slot.inUse = false;
    }
    held_ = 0;
}

}  // namespace tarnet::platform
