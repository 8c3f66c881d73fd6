// Composition of the message text (see smtp_compose.h).
#include "smtp_compose.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace tarnet::smtp {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kHex = "0123456789ABCDEF";

constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// KOI8-R codes of the Windows-1251 letters 0xC0 (А) to 0xFF (я).
constexpr std::array<std::uint8_t, 64> kKoi8rLetters{
    0xE1, 0xE2, 0xF7, 0xE7, 0xE4, 0xE5, 0xF6, 0xFA, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
    0xF2, 0xF3, 0xF4, 0xF5, 0xE6, 0xE8, 0xE3, 0xFE, 0xFB, 0xFD, 0xFF, 0xF9, 0xF8, 0xFC, 0xE0, 0xF1,
    0xC1, 0xC2, 0xD7, 0xC7, 0xC4, 0xC5, 0xD6, 0xDA, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF, 0xD0,
    0xD2, 0xD3, 0xD4, 0xD5, 0xC6, 0xC8, 0xC3, 0xDE, 0xDB, 0xDD, 0xDF, 0xD9, 0xD8, 0xDC, 0xC0, 0xD1};

constexpr std::string_view kWordStart = "=?koi8-r?B?";
constexpr std::string_view kWordEnd   = "?=";
// Bytes per encoded word: the base64 of a word fills 75 characters less the start and end;
// the first word also shares its line with "Subject: " (76 columns in all).
constexpr std::size_t kFirstWordBytes = (76 - 9 - kWordStart.size() - kWordEnd.size()) / 4 * 3;
constexpr std::size_t kWordBytes      = (kWordLimit - kWordStart.size() - kWordEnd.size()) / 4 * 3;
static_assert(kFirstWordBytes == 39 && kWordBytes == 45);

constexpr std::string_view kPreamble = "This is a multi-part message in MIME format.\r\n";
constexpr std::string_view kTextHead = "Content-Type: text/plain;\r\n";
constexpr std::string_view kPlainCharset =
    "\tcharset=\"us-ascii\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n";
constexpr std::string_view kQpCharset =
    "\tcharset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";

// A line of the body: its bytes and whether a line ending followed them.
struct Line {
    std::size_t start;
    std::size_t length;
    bool ended;
};

// Finds the line at `at`: it ends at CR LF, a bare LF or a bare CR. Returns the position after
// the ending.
std::size_t NextLine(const std::uint8_t* body, std::size_t length, std::size_t at, Line& line) {
    std::size_t end = at;
    while (end < length && body[end] != '\r' && body[end] != '\n') {
        ++end;
    }
    line = {at, end - at, end < length};
    if (end == length) {
        return end;
    }
    if (body[end] == '\r' && end + 1 < length && body[end + 1] == '\n') {
        return end + 2;
    }
    return end + 1;
}

// RFC 2045 6.7 rules 2 and 3: printable characters but '=' go as themselves, and so do space
// and tab unless they end the line (a gateway may strip trailing white space).
bool Literal(std::uint8_t byte, bool lastOfLine) {
    if (byte == ' ' || byte == '\t') {
        return !lastOfLine;
    }
    return byte >= 33 && byte <= 126 && byte != '=';
}

// Writes (or, with out null, counts) one body line with quoted-printable encoding: lines of at
// most 76 characters, soft line breaks "=" CR LF where needed, never inside an "=XX".
std::size_t QpLine(const std::uint8_t* bytes, std::size_t length, std::uint8_t* out) {
    std::size_t written = 0;
    auto put            = [&](std::uint8_t c) {
        if (out != nullptr) {
            out[written] = c;
        }
        ++written;
    };
    std::size_t column = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const bool last         = i + 1 == length;
        const bool literal      = Literal(bytes[i], last);
        const std::size_t width = literal ? 1 : 3;
        // The last token may use the 76th column; any other needs room for a soft break after it.
        const std::size_t room = last ? kQpLine : kQpLine - 1;
        if (column + width > room) {
            put('=');
            put('\r');
            put('\n');
            column = 0;
        }
        if (literal) {
            put(bytes[i]);
        } else {
            put('=');
            put(static_cast<std::uint8_t>(kHex[bytes[i] >> 4]));
            put(static_cast<std::uint8_t>(kHex[bytes[i] & 0x0F]));
        }
        column += width;
    }
    return written;
}

std::size_t Body(const std::uint8_t* body, std::size_t length, bool quotedPrintable,
                 std::uint8_t* out) {
    std::size_t written = 0;
    std::size_t at      = 0;
    while (at < length) {
        Line line{};
        at = NextLine(body, length, at, line);
        if (quotedPrintable) {
            written +=
                QpLine(body + line.start, line.length, out != nullptr ? out + written : nullptr);
        } else {
            if (out != nullptr) {
                std::memcpy(out + written, body + line.start, line.length);
            }
            written += line.length;
        }
        if (line.ended) {
            if (out != nullptr) {
                out[written]     = '\r';
                out[written + 1] = '\n';
            }
            written += 2;
        }
    }
    return written;
}

}  // namespace

std::size_t Base64(const std::uint8_t* in, std::size_t length, char* out, int& column,
                   bool breakLines) {
    std::size_t written = 0;
    auto put            = [&](char c) {
        if (breakLines && column == kBase64Line) {
            out[written++] = '\r';
            out[written++] = '\n';
            column         = 0;
        }
        out[written++] = c;
        ++column;
    };
    for (std::size_t i = 0; i < length; i += 3) {
        const std::size_t left    = length - i;
        const std::uint32_t group = (std::uint32_t{in[i]} << 16) |
                                    (left > 1 ? std::uint32_t{in[i + 1]} << 8 : 0u) |
                                    (left > 2 ? std::uint32_t{in[i + 2]} : 0u);
        put(kAlphabet[(group >> 18) & 0x3F]);
        put(kAlphabet[(group >> 12) & 0x3F]);
        put(left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=');
        put(left > 2 ? kAlphabet[group & 0x3F] : '=');
    }
    return written;
}

std::uint8_t Win1251ToKoi8r(std::uint8_t byte) {
    if (byte >= 0xC0) {
        return kKoi8rLetters[byte - 0xC0];
    }
    switch (byte) {
        case 0xA8:  // Ё
            return 0xB3;
        case 0xB8:  // ё
            return 0xA3;
        case 0xA0:  // no-break space
            return 0x9A;
        default:
            return byte;
    }
}

bool EncodeSubject(const char* subject, int charset, char* out) {
    TextOut text(out, kSubjectHeaderSize);
    out[0] = '\0';
    if (subject == nullptr) {
        return true;
    }
    const std::size_t length = std::strlen(subject);
    if (charset != TNSMTP_CHARSET_KOI8R || length == 0) {
        text.Put({subject, length});
        return !text.Overflow();
    }
    // RFC 2047 2: each encoded word at most 75 characters and whole characters only (KOI8-R has
    // one byte per character); words on separate lines, folded with CR LF and a space.
    std::size_t at = 0;
    do {
        const std::size_t limit = at == 0 ? kFirstWordBytes : kWordBytes;
        const std::size_t take  = length - at < limit ? length - at : limit;
        std::uint8_t koi8[kWordBytes];
        for (std::size_t i = 0; i < take; ++i) {
            koi8[i] = Win1251ToKoi8r(static_cast<std::uint8_t>(subject[at + i]));
        }
        char encoded[Base64Size(kWordBytes, false)];
        int column              = 0;
        const std::size_t chars = Base64(koi8, take, encoded, column, false);
        if (at != 0) {
            text.Put("\r\n ");
        }
        text.Put(kWordStart);
        text.Put({encoded, chars});
        text.Put(kWordEnd);
        at += take;
    } while (at < length);
    return !text.Overflow();
}

std::size_t BodySize(const std::uint8_t* body, std::size_t length, bool quotedPrintable) {
    return Body(body, length, quotedPrintable, nullptr);
}

std::size_t EncodeBody(const std::uint8_t* body, std::size_t length, bool quotedPrintable,
                       std::uint8_t* out) {
    return Body(body, length, quotedPrintable, out);
}

void ComposeHeader(const HeaderFields& fields, TextOut& out) {
    out.Put("From: <");
    out.Put(fields.from);
    out.Put(">\r\nTo: <");
    out.Put(fields.to);
    out.Put(">\r\n");
    if (fields.cc[0] != '\0') {
        out.Put("CC: <");
        out.Put(fields.cc);
        out.Put(">\r\n");
    }
    out.Put("Subject: ");
    out.Put(fields.subject);
    out.Put("\r\n");
    if (const TnSmtpDate* d = fields.date; d != nullptr) {
        // RFC 5322 3.3: the zone is part of the date-time.
        const int zone   = d->zoneMinutes < 0 ? -d->zoneMinutes : d->zoneMinutes;
        const auto field = [](int value) {
            return static_cast<std::uint32_t>(value < 0 ? 0 : value);
        };
        out.Put("Date: ");
        out.Put(kDays[static_cast<std::size_t>(d->weekday) % kDays.size()]);
        out.Put(", ");
        out.Number(field(d->day));
        out.Char(' ');
        out.Put(kMonths[static_cast<std::size_t>(d->month - 1) % kMonths.size()]);
        out.Char(' ');
        out.Number(field(d->year), 4);
        out.Char(' ');
        out.Number(field(d->hour), 2);
        out.Char(':');
        out.Number(field(d->minute), 2);
        out.Char(':');
        out.Number(field(d->second), 2);
        out.Char(' ');
        out.Char(d->zoneMinutes < 0 ? '-' : '+');
        out.Number(field(zone / 60 * 100 + zone % 60), 4);
        out.Put("\r\n");
    }
    if (fields.attachment) {
        out.Put("MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"");
        out.Put(fields.boundary);
        out.Put("\"\r\n\r\n");
        out.Put(kPreamble);
        out.Put("\r\n--");
        out.Put(fields.boundary);
        out.Put("\r\n");
        out.Put(kTextHead);
        out.Put(fields.quotedPrintable ? kQpCharset : kPlainCharset);
    } else if (fields.quotedPrintable) {
        // Without these the reader would see the escapes of the quoted-printable text.
        out.Put("MIME-Version: 1.0\r\n");
        out.Put(kTextHead);
        out.Put(kQpCharset);
    } else {
        out.Put("\r\n");
    }
}

namespace {

bool IsAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// A parameter's value as a quoted string (RFC 5322 3.2.4): its quote and backslash as
// quoted-pairs.
void QuotedValue(std::string_view value, TextOut& out) {
    out.Char('"');
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            out.Char('\\');
        }
        out.Char(c);
    }
    out.Char('"');
}

// RFC 2231 4: charset, an empty language and the bytes, those outside attribute-char as %XX.
void ExtendedValue(std::string_view value, TextOut& out) {
    constexpr std::string_view kPlain = "!#$&+-.^_`|~";
    out.Put("utf-8''");
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
            kPlain.find(c) != std::string_view::npos) {
            out.Char(c);
        } else {
            out.Char('%');
            out.Char(kHex[u >> 4]);
            out.Char(kHex[u & 0x0F]);
        }
    }
}

// "name=..." or "name*=..." as the value needs.
void Parameter(std::string_view name, std::string_view value, TextOut& out) {
    out.Put(name);
    if (IsAscii(value)) {
        out.Char('=');
        QuotedValue(value, out);
    } else {
        out.Put("*=");
        ExtendedValue(value, out);
    }
}

// The serial of a boundary that starts at `at` in `text`, or 0 when what follows the prefix
// there cannot be one of ours.
std::uint32_t SerialAt(std::string_view text, std::size_t at) {
    std::size_t i        = at + kBoundaryPrefix.size();
    std::uint32_t serial = 0;
    int digits           = 0;
    for (; i < text.size() && digits <= 8; ++i, ++digits) {
        const char c = text[i];
        const int v  = c >= '0' && c <= '9'   ? c - '0'
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                              : -1;
        if (v < 0) {
            break;
        }
        serial = serial << 4 | static_cast<std::uint32_t>(v);
    }
    if (digits == 0 || digits > 8 || text.size() - i < kBoundarySuffix.size() ||
        std::memcmp(text.data() + i, kBoundarySuffix.data(), kBoundarySuffix.size()) != 0) {
        return 0;
    }
    return serial;
}

// Marks in `taken` (serials 0 to `limit`) the serials that occurrences of the prefix in `text`
// spell.
void MarkSerials(std::string_view text, std::uint8_t* taken, std::size_t limit) {
    for (std::size_t at = text.find(kBoundaryPrefix); at != std::string_view::npos;
         at             = text.find(kBoundaryPrefix, at + 1)) {
        const std::uint32_t serial = SerialAt(text, at);
        if (serial <= limit) {
            taken[serial / 8] = static_cast<std::uint8_t>(taken[serial / 8] | 1U << (serial % 8));
        }
    }
}

std::size_t CountOf(std::string_view text, std::string_view part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos;
         at             = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

bool ChooseBoundary(const std::uint8_t* text, std::size_t length, std::string_view fileName,
                    char* out) {
    const std::string_view body(reinterpret_cast<const char*>(text), length);
    // n occurrences spell at most n serials, so one of 1 to n + 1 is free.
    const std::size_t limit =
        CountOf(body, kBoundaryPrefix) + CountOf(fileName, kBoundaryPrefix) + 1;
    auto* taken = static_cast<std::uint8_t*>(std::calloc(limit / 8 + 1, 1));
    if (taken == nullptr) {
        return false;
    }
    MarkSerials(body, taken, limit);
    MarkSerials(fileName, taken, limit);
    std::uint32_t serial = 1;
    while ((static_cast<unsigned>(taken[serial / 8]) >> (serial % 8) & 1U) != 0) {
        ++serial;
    }
    std::free(taken);
    TextOut boundary(out, kBoundarySize);
    boundary.Put(kBoundaryPrefix);
    for (int shift = serial > 0xFFFF ? 28 : 12; shift >= 0; shift -= 4) {
        boundary.Char(kHex[(serial >> shift) & 0x0F]);
    }
    boundary.Put(kBoundarySuffix);
    return !boundary.Overflow();
}

void ComposeAttachmentHead(std::string_view fileName, std::string_view boundary, TextOut& out) {
    out.Put("\r\n--");
    out.Put(boundary);
    out.Put("\r\nContent-Type: application/octet-stream;\r\n\t");
    Parameter("name", fileName, out);
    out.Put("\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n\t");
    Parameter("filename", fileName, out);
    out.Put("\r\n\r\n");
}

void ComposeClosingDelimiter(std::string_view boundary, TextOut& out) {
    out.Put("\r\n--");
    out.Put(boundary);
    out.Put("--\r\n");
}

bool IsMailbox(std::string_view address) {
    const std::size_t at = address.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == address.size()) {
        return false;
    }
    for (const char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '<' || c == '>') {
            return false;
        }
    }
    return true;
}

std::string_view FileNameOf(const char* path) {
    std::string_view name(path);
    name.remove_prefix(name.rfind('/') + 1);  // npos + 1 is 0: the whole path
    return name;
}

}  // namespace tarnet::smtp
