// Composition of the message text: the header block, the MIME part heads, the body encodings
// (line endings, quoted-printable), base64 and the KOI8-R encoded-word subject. Pure functions
// over caller-owned buffers; the session logic (smtp.cpp) decides when each text is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tarnet/tnsmtp.h"
#include "text_out.h"

namespace tarnet::smtp {

// The multipart boundary is kBoundaryPrefix, a serial of at least four hexadecimal digits and
// kBoundarySuffix. Base64 and quoted-printable text cannot contain it ('-', '_' and '.' are
// outside the base64 alphabet; quoted-printable writes '=' as "=3D"); plain text can, so the
// serial is chosen for each message (ChooseBoundary).
inline constexpr std::string_view kBoundaryPrefix = "----=_NextPart_000_";
inline constexpr std::string_view kBoundarySuffix = "_01C80074.E5884AE0";
// A boundary and its terminator; the serial has at most 8 digits.
inline constexpr std::size_t kBoundarySize =
    kBoundaryPrefix.size() + 8 + kBoundarySuffix.size() + 1;
// RFC 5321 4.1.1.4: the message text always ends in CR LF here, so the end of data is the line
// "." alone.
inline constexpr std::string_view kEndOfData = ".\r\n";

// Encoded lines of base64 (RFC 2045 6.8) and quoted-printable (RFC 2045 6.7) hold at most 76
// characters; an RFC 2047 encoded word at most 75.
inline constexpr int kBase64Line        = 76;
inline constexpr int kQpLine            = 76;
inline constexpr std::size_t kWordLimit = 75;
// "Subject: " takes 9 columns of the first line of the header (RFC 2047 2: a line that holds an
// encoded word stays within 76 characters).
inline constexpr std::size_t kSubjectHeaderSize = 192;

using netclient::HasLineBreak;
using netclient::TextOut;

// Base64 (RFC 4648 alphabet, '=' padding) of `length` bytes into `out`, which must hold
// Base64Size(length, breakLines) bytes. With breakLines a CR LF goes in before the 77th character
// of a line; `column` is the position in the current line and carries over between calls, so
// chunks encoded one after another (all but the last a multiple of 3 long) form one stream of
// 76-character lines. The last line never ends in CR LF. Returns the count written.
std::size_t Base64(const std::uint8_t* in, std::size_t length, char* out, int& column,
                   bool breakLines);
constexpr std::size_t Base64Size(std::size_t length, bool breakLines) {
    const std::size_t chars = (length + 2) / 3 * 4;
    // Breaks: one per 76 characters, and one more when the first line was already begun.
    return breakLines && chars > 0 ? chars + ((chars - 1) / kBase64Line + 1) * 2 : chars;
}
// The base64 of one attachment chunk with its line breaks.
inline constexpr std::size_t kBase64ChunkSize = Base64Size(TNSMTP_ATTACH_CHUNK, true);

// Windows-1251 to KOI8-R: the 66 Cyrillic letters and the no-break space; other bytes unchanged.
std::uint8_t Win1251ToKoi8r(std::uint8_t byte);

// The Subject header's value: unchanged with TNSMTP_CHARSET_NONE (and unknown charsets), else
// KOI8-R encoded words of at most 75 characters, folded with CR LF and a space so that no line
// passes 76 characters. `out` holds kSubjectHeaderSize bytes. False when it does not fit.
bool EncodeSubject(const char* subject, int charset, char* out);

// The body as it goes on the wire before dot stuffing: every line ending (CR LF, a bare LF or a
// bare CR) becomes CR LF; with quotedPrintable, RFC 2045 6.7 encoding on top. A last line
// without an ending keeps none. BodySize measures, EncodeBody writes into a buffer of that size.
std::size_t BodySize(const std::uint8_t* body, std::size_t length, bool quotedPrintable);
std::size_t EncodeBody(const std::uint8_t* body, std::size_t length, bool quotedPrintable,
                       std::uint8_t* out);

struct HeaderFields {
    const char* from;
    const char* to;
    const char* cc;          // empty: no CC line
    const char* subject;     // the header value from EncodeSubject
    const TnSmtpDate* date;  // null: no Date line
    bool attachment;
    bool quotedPrintable;
    const char* boundary;  // with an attachment: from ChooseBoundary
};
// The header block after DATA, up to and including the head of the text part.
void ComposeHeader(const HeaderFields& fields, TextOut& out);
// The attachment part's delimiter and head. An ASCII file name goes as a quoted string; one with
// other bytes as an RFC 2231 extended value (filename*=utf-8''R%C3%A9sum%C3%A9.txt), so the
// message stays 7-bit.
void ComposeAttachmentHead(std::string_view fileName, std::string_view boundary, TextOut& out);
// The delimiter that ends the last part (RFC 2046 5.1.1), with the CR LF in front that belongs
// to it, so the part before it keeps its last byte.
void ComposeClosingDelimiter(std::string_view boundary, TextOut& out);
// Writes into `out` (kBoundarySize bytes) a boundary that occurs in neither the text nor the
// file name (RFC 2046 5.1.1): the lowest serial from 1 on that no occurrence of the prefix
// there could spell. False when the working memory could not be had.
bool ChooseBoundary(const std::uint8_t* text, std::size_t length, std::string_view fileName,
                    char* out);

// True when `address` is one mailbox as RFC 5321 4.1.2 writes it between angle brackets:
// printable ASCII without spaces, '<' or '>', a local part, '@' and a domain.
bool IsMailbox(std::string_view address);

// The part of a path after its last '/'.
std::string_view FileNameOf(const char* path);

}  // namespace tarnet::smtp
