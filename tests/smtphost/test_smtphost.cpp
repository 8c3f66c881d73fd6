// The mail host services on Linux: UTF-8 text into the charsets a mail carries. The files an
// attachment is read through are local_files' (tests/platform/test_local_files.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "charsets.h"

namespace tarnet::platform {
namespace {

struct Conversion {
    const char* name;
    Charset charset;
    std::string utf8;
    std::string expected;  // the converted bytes, or the start of the error when refused
    bool ok;
};

TEST(Charsets, ConvertsWhatFitsAndNamesTheFirstProblem) {
    const std::vector<Conversion> cases = {
        {"ascii unchanged",           Charset::kIso8859_1,        "plain =41 text\r\n",                   "plain =41 text\r\n",         true },
        {"latin-1 letters",           Charset::kIso8859_1,        "caf\xC3\xA9 \xC3\xBF\xC2\xA0",         "caf\xE9 \xFF\xA0",
         true                                                                                                                                },
        {"euro not latin-1",          Charset::kIso8859_1,        "ab\xE2\x82\xAC",
         "character 3, U+20AC '\xE2\x82\xAC'",                                                                                          false},
        {"cyrillic not latin-1",      Charset::kIso8859_1,        "\xD0\x96",                             "character 1, U+0416",        false},
        {"truncated sequence",        Charset::kIso8859_1,        "ok\xC3",                               "byte 3 (0xC3) is not UTF-8", false},
        {"overlong slash",            Charset::kIso8859_1,        "\xC0\xAF",                             "byte 1 (0xC0) is not UTF-8", false},
        {"surrogate",                 Charset::kIso8859_1,        "a\xED\xA0\x80",                        "byte 2 (0xED) is not UTF-8", false},
        {"above U+10FFFF",            Charset::kIso8859_1,        "\xF4\x90\x80\x80",                     "byte 1 (0xF4)",              false},
        {"stray continuation",        Charset::kIso8859_1,        "\x80",                                 "byte 1 (0x80)",              false},
        {"1251 letters",              Charset::kWindows1251,      "\xD0\x90\xD1\x8F\xD0\x81\xD1\x91",
         "\xC0\xFF\xA8\xB8",                                                                                                            true },
        {"1251 punctuation",          Charset::kWindows1251,      "\xE2\x82\xAC\xE2\x80\x94\xE2\x84\x96",
         "\x88\x97\xB9",                                                                                                                true },
        {"umlaut not 1251",           Charset::kWindows1251,      "\xC3\xA4",                             "character 1, U+00E4",        false},
        {"koi8r subject letters",     Charset::kWindows1251Koi8r, "\xD0\x9F\xD1\x80\xD0\xB8 x\xC2\xA0",
         "\xCF\xF0\xE8 x\xA0",                                                                                                          true },
        {"koi8r refuses dash",        Charset::kWindows1251Koi8r, "a\xE2\x80\x94",                        "character 2, U+2014",
         false                                                                                                                               },
        {"koi8r refuses ukrainian i", Charset::kWindows1251Koi8r, "\xD1\x96",                             "character 1, U+0456",
         false                                                                                                                               },
    };
    for (const Conversion& c : cases) {
        std::string out;
        std::string error;
        const bool ok = FromUtf8(c.utf8, c.charset, out, error);
        EXPECT_EQ(ok, c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(out, c.expected) << c.name;
        } else {
            EXPECT_EQ(error.rfind(c.expected, 0), 0U) << c.name << ": " << error;
        }
    }
}

}  // namespace
}  // namespace tarnet::platform
