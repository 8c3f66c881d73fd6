#include "maildesk_settings.h"

#include <algorithm>
#include <cstring>

#include "settings_store.h"
#include "text.h"

namespace tarnet::maildesk {

namespace {

constexpr std::size_t kPortAt    = 0;
constexpr std::size_t kAddressAt = 4;
constexpr std::size_t kServerAt  = 8;
constexpr std::size_t kFromAt    = kServerAt + kRecordText;
constexpr std::size_t kToAt      = kFromAt + kRecordText;
static_assert(kToAt + kRecordText == kRecordSize);

void PutText(Record& r, std::size_t at, const std::string& text) {
    // At most 79 bytes, so that a terminating zero always follows; a UTF-8 sequence that does
    // not fit whole is left out rather than cut.
    std::size_t n = std::min(text.size(), kRecordText - 1);
    while (n > 0 && n < text.size() && (static_cast<std::uint8_t>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    std::memcpy(r.data() + at, text.data(), n);
}

std::string GetText(const Record& r, std::size_t at) {
    const std::uint8_t* field = r.data() + at;
    const auto* end           = std::find(field, field + kRecordText, std::uint8_t{0});
    return desktop::ValidUtf8(field, static_cast<std::size_t>(end - field));
}

}  // namespace

Record Encode(const Settings& s) {
    Record r{};
    r[kPortAt]     = static_cast<std::uint8_t>(s.port);
    r[kPortAt + 1] = static_cast<std::uint8_t>(s.port >> 8);
    for (std::size_t i = 0; i < 4; ++i) {
        r[kAddressAt + i] = static_cast<std::uint8_t>(s.address >> (8 * i));
    }
    PutText(r, kServerAt, s.server);
    PutText(r, kFromAt, s.from);
    PutText(r, kToAt, s.to);
    return r;
}

Record DefaultRecord() {
    Settings s;
    s.from.clear();
    s.to.clear();
    return Encode(s);
}

Settings Decode(const Record& r) {
    Settings s;
    s.port    = static_cast<std::uint16_t>(r[kPortAt] | r[kPortAt + 1] << 8);
    s.address = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        s.address |= std::uint32_t{r[kAddressAt + i]} << (8 * i);
    }
    s.server = GetText(r, kServerAt);
    s.from   = GetText(r, kFromAt);
    s.to     = GetText(r, kToAt);
    return s;
}

std::uint16_t PortOfText(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return kDefaultPort;
    }
    const unsigned long value = std::stoul(text);
    return value <= 65535 ? static_cast<std::uint16_t>(value) : kDefaultPort;
}

Settings LoadSettings(const std::string& path, std::string& note) {
    const desktop::SettingsStore store(path);
    Record record = DefaultRecord();
    switch (store.Load(record.data(), record.size())) {
        case desktop::SettingsStore::Loaded::kMissing: {
            std::string error;
            if (!store.Save(record.data(), record.size(), error)) {
                note = "Settings not created: " + error;
            }
            return Settings{};
        }
        case desktop::SettingsStore::Loaded::kDamaged:
            note = "Settings file " + path + " is not usable; the defaults are in use";
            return Settings{};
        case desktop::SettingsStore::Loaded::kShort:
        case desktop::SettingsStore::Loaded::kWhole:
            break;
    }
    return Decode(record);
}

bool SaveSettings(const std::string& path, const Settings& s, std::string& error) {
    const Record record = Encode(s);
    return desktop::SettingsStore(path).Save(record.data(), record.size(), error);
}

}  // namespace tarnet::maildesk
