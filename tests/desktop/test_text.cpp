// Received bytes shown as UTF-8 (the character limits are tested with the programs' fields).
#include <gtest/gtest.h>

#include <string>

#include "text.h"

namespace tarnet::desktop {
namespace {

TEST(DesktopText, ReceivedBytesBecomeValidUtf8) {
    const std::string r = "\xEF\xBF\xBD";
    const std::string nul("a\0b", 3);
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain",                                "plain"                               },
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"a\x80z",                               "a" + r + "z"                         }, // stray continuation byte
        {"\xC3",                                 r                                     }, // sequence cut by the end of the data
        {"\xE2\x82",                             r + r                                 }, // cut three-byte sequence
        {"\xC0\xAF",                             r + r                                 }, // overlong '/'
        {"\xED\xA0\x80",                         r + r + r                             }, // surrogate
        {"\xF4\x90\x80\x80",                     r + r + r + r                         }, // above U+10FFFF
        {nul,                                    nul                                   },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ValidUtf8(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size()), c.out)
            << c.in;
    }
    const std::uint8_t longer[] = {'o', 'k', 0xE2, 0x82, 0xAC};
    EXPECT_EQ(ValidUtf8(longer, 3), "ok" + r) << "never reads past the length";
}

}  // namespace
}  // namespace tarnet::desktop
