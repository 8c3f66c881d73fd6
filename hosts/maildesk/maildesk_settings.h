// maildesk's settings: the server's port, an IPv4 address no control shows, and the server name,
// From and To texts, kept between runs as one 248-byte little-endian record in a file of the
// user's configuration folder (written through the desktop kit's store: 0600, a temporary file
// and a rename).
//
//   offset 0   2   port
//   offset 2   2   zero
//   offset 4   4   IPv4 address, first octet most significant
//   offset 8   80  server name, NUL-padded
//   offset 88  80  From, NUL-padded
//   offset 168 80  To, NUL-padded
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnet::maildesk {

inline constexpr std::size_t kRecordSize      = 248;
inline constexpr std::size_t kRecordText      = 80;  // bytes of each text field
inline constexpr std::uint16_t kDefaultPort   = 25;
inline constexpr std::uint32_t kDefaultAddr   = 0xC0A80101;  // 192.168.1.1
inline constexpr const char* kDefaultServer   = "mail.tarnet.test";
inline constexpr const char* kPlaceholderFrom = "maildesk@tarnet.test";
inline constexpr const char* kPlaceholderTo   = "postmaster@tarnet.test";

using Record = std::array<std::uint8_t, kRecordSize>;

// The working values. Before a record is read they hold the placeholders.
struct Settings {
    std::uint16_t port    = kDefaultPort;
    std::uint32_t address = kDefaultAddr;
    std::string server    = kDefaultServer;
    std::string from      = kPlaceholderFrom;
    std::string to        = kPlaceholderTo;
};

// The record stored when none exists: port 25, 192.168.1.1, the placeholder server, no From
// and no To.
Record DefaultRecord();
// The record of `s`: each text cut to 79 bytes (never inside a UTF-8 sequence), NUL-padded.
Record Encode(const Settings& s);
// The values of `r`: a text field without a terminating zero ends after its 80 bytes; bytes
// that are not UTF-8 are shown as U+FFFD.
Settings Decode(const Record& r);

// The port the port field's text names: 25 when it is not a number of 0 to 65535.
std::uint16_t PortOfText(const std::string& text);

// The settings file at `path`: read into the working values when it exists (a short file as
// far as it goes, the rest of the record keeping its defaults); created with the default record
// when missing, the working values then keeping their placeholders. `note` receives a line
// when the file could not be read or created.
Settings LoadSettings(const std::string& path, std::string& note);
// Writes the record of `s` to `path`; false with the reason in `error`.
bool SaveSettings(const std::string& path, const Settings& s, std::string& error);

}  // namespace tarnet::maildesk
