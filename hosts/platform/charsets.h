// Text from the user (UTF-8 on Linux) to the single-byte character sets a mail carries: the
// SMTP library sends a quoted-printable body labelled ISO-8859-1 and turns a Windows-1251 subject
// into KOI8-R encoded words. A character the target cannot hold is refused, never replaced, so
// the reader sees exactly what was written or nothing at all.
#pragma once

#include <string>
#include <string_view>

namespace tarnet::platform {

enum class Charset {
    kIso8859_1,    // U+0000 to U+00FF, byte for code point
    kWindows1251,  // the whole Windows-1251 code page
    // The part of Windows-1251 that the library's KOI8-R subject conversion carries over
    // unchanged in meaning: ASCII, the 64 letters А to я, Ё, ё and the no-break space. Other
    // Windows-1251 bytes would pass into KOI8-R as different characters.
    kWindows1251Koi8r,
};

const char* CharsetName(Charset charset);

// Converts UTF-8 `text` into `charset`. False, with one line in `error` naming the first
// problem (a byte that is not UTF-8, or a character the charset cannot hold, with its position
// counted in characters from 1), when that cannot be done; `out` is then unspecified.
bool FromUtf8(std::string_view text, Charset charset, std::string& out, std::string& error);

}  // namespace tarnet::platform
