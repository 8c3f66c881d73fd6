// The client core: the reply scanner under the rules of RFC 959 and RFC 5321, fed byte by byte
// as a connection would split it anywhere; the text and number helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "reply_scanner.h"
#include "text_out.h"

namespace tarnet::netclient {
namespace {

// What a scan of a whole input produced: each reply as "code class text", each error by name.
std::vector<std::string> ScanAll(ReplyRules rules, const std::string& input,
                                 std::size_t lineLimit = 1024) {
    ReplyScanner scanner;
    scanner.Start(rules, lineLimit);
    std::vector<std::string> out;
    for (const char c : input) {
        switch (scanner.Push(static_cast<std::uint8_t>(c))) {
            case Scan::kMore:
                break;
            case Scan::kReply:
                out.push_back(std::to_string(scanner.Code()) + " " +
                              std::to_string(scanner.Class()) + " " + std::string(scanner.Text()) +
                              " | " + scanner.LastLine());
                break;
            case Scan::kMixedCodes:
                out.emplace_back("mixed");
                break;
            case Scan::kLineTooLong:
                out.emplace_back("too long");
                return out;
        }
    }
    return out;
}

TEST(ReplyScanner, RulesOfEachProtocol) {
    struct Case {
        ReplyRules rules;
        std::string input;
        std::vector<std::string> replies;
    };
    const std::vector<Case> cases{
  // One line; a bare code; LF without CR; lines that are no reply are skipped.
        {ReplyRules::kSmtp, "250 ok\r\n",                            {"250 2 250 ok | 250 ok"}                                                },
        {ReplyRules::kSmtp, "hello\r\n\r\n220\n",                    {"220 2 220 | 220"}                                                      },
 // RFC 5321: every line carries the code; a different one is an error, not the last.
        {ReplyRules::kSmtp,
         "250-a\r\n250-b\r\n250 c\r\n",                              {"250 2 250-a\r\n250-b\r\n250 c | 250 c"}                                },
        {ReplyRules::kSmtp, "550-no\r\n250 Ok\r\n",                  {"mixed"}                                                                },
        {ReplyRules::kSmtp,
         "550-no\r\n250 Ok\r\n221 bye\r\n",                          {"mixed", "221 2 221 bye | 221 bye"}                                     },
        {ReplyRules::kSmtp, "25x ok\r\n",                            {"-1 2 25x ok | 25x ok"}                                                 },
 // RFC 959: the lines between "xyz-" and "xyz " are text, digits or not.
        {ReplyRules::kFtp,
         "230-Welcome\r\n  text\r\n550 in the text\r\n230 done\r\n", {"230 2 230-Welcome\r\n  text\r\n550 in the text\r\n230 done | 230 done"}},
        {ReplyRules::kFtp,
         "211-x\r\n211-still text\r\n211\r\n",                       {"211 2 211-x\r\n211-still text\r\n211 | 211"}                           },
        {ReplyRules::kFtp,
         "noise\r\n150 go\r\n226 done\r\n",                          {"150 1 150 go | 150 go", "226 2 226 done | 226 done"}                   },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(ScanAll(c.rules, c.input), c.replies);
    }
}

// A line longer than the limit stops the scanner; the limit counts the CR.
TEST(ReplyScanner, LineLimitAndTextCut) {
    EXPECT_EQ(ScanAll(ReplyRules::kSmtp, "250 " + std::string(6, 'x') + "\r\n", 11).size(), 1u);
    EXPECT_EQ(ScanAll(ReplyRules::kSmtp, "250 " + std::string(7, 'x') + "\r\n", 11),
              std::vector<std::string>{"too long"});
    // The joined text is cut at its size; the reply still ends and its class stays right.
    std::string many;
    for (int i = 0; i < 40; ++i) {
        many += "250-" + std::string(60, 'a') + "\r\n";
    }
    ReplyScanner scanner;
    scanner.Start(ReplyRules::kSmtp, 1024);
    Scan last = Scan::kMore;
    for (const char c : many + "250 end\r\n") {
        last = scanner.Push(static_cast<std::uint8_t>(c));
    }
    EXPECT_EQ(last, Scan::kReply);
    EXPECT_EQ(scanner.Text().size(), kReplyTextSize);
    EXPECT_EQ(scanner.Class(), 2);
}

TEST(ReplyScanner, ScannerNotStartedTakesNoBytes) {
    ReplyScanner scanner;
    EXPECT_EQ(scanner.Push('2'), Scan::kLineTooLong);
}

TEST(TextOut, NumbersInDecimalWithPadding) {
    struct Case {
        std::uint64_t value;
        int width;
        const char* text;
    };
    const Case cases[] = {
        {0,                       1,  "0"                   },
        {7,                       2,  "07"                  },
        {1970,                    4,  "1970"                },
        {4294967296ULL,           1,  "4294967296"          },
        {5000000000ULL,           12, "005000000000"        },
        {18446744073709551615ULL, 1,  "18446744073709551615"},
    };
    for (const Case& c : cases) {
        char buffer[32];
        TextOut out(buffer, sizeof buffer);
        out.Number(c.value, c.width);
        EXPECT_STREQ(buffer, c.text);
        EXPECT_FALSE(out.Overflow());
    }
}

TEST(TextOut, WhatDoesNotFitIsDroppedAndTheTextStaysTerminated) {
    char buffer[8] = "zzzzzzz";
    TextOut out(buffer, 6);
    out.Put("abc");
    out.Number(12345);
    EXPECT_STREQ(buffer, "abc12");
    EXPECT_EQ(out.Length(), 5u);
    EXPECT_TRUE(out.Overflow());
    EXPECT_EQ(buffer[6], 'z') << "nothing past the capacity";
}

TEST(TextHelpers, PercentRoundsDownAndStopsAt100) {
    struct Case {
        std::uint64_t done;
        std::uint64_t total;
        std::uint32_t percent;
    };
    const Case cases[] = {
        {0,                1,          0  },
        {1,                3,          33 },
        {3072,             3073,       99 },
        {3073,             3073,       100},
        {9,                4,          100},
        {7,                0,          100},
        {1ULL << 40,       3ULL << 40, 33 },
        {(1ULL << 50) - 1, 1ULL << 50, 99 },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Percent(c.done, c.total), c.percent) << c.done << " of " << c.total;
    }
}

TEST(TextHelpers, SearchesFindWhatIsThereAndNothingElse) {
    EXPECT_EQ(FindText("link -> target", " -> "), 4u);
    EXPECT_EQ(FindText("a ->b", " -> "), std::string_view::npos);
    EXPECT_EQ(FindText(" -", " -> "), std::string_view::npos);
    EXPECT_EQ(FindText("", ""), 0u);
    EXPECT_TRUE(HasLineBreak("a\rb"));
    EXPECT_TRUE(HasLineBreak("a\n"));
    EXPECT_FALSE(HasLineBreak("plain text"));
}

}  // namespace
}  // namespace tarnet::netclient
