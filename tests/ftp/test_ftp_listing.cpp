// LIST text parser: both layouts, skipped and ending lines, and its limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftp_internal.h"
#include "tarnet/tnftp.h"

namespace {

struct Entry {
    std::string name;
    std::string size;
    std::string type;
    bool operator==(const Entry&) const = default;
};

std::vector<Entry> Parse(const std::string& text, int* result = nullptr,
                         std::uint32_t* dropped = nullptr) {
    TnList list;
    TnListInit(&list);
    const int n =
        TnFtpParseListing(text.data(), static_cast<std::uint32_t>(text.size()), &list, dropped);
    if (result != nullptr) {
        *result = n;
    }
    std::vector<Entry> entries;
    for (const TnListNode* node = list.first; node != nullptr; node = node->next) {
        entries.push_back({static_cast<const char*>(node->payload),
                           static_cast<const char*>(node->extra1),
                           static_cast<const char*>(node->extra2)});
    }
    TnListFreeAll(&list);
    return entries;
}

TEST(FtpListing, ParsesUnixAndDosLines) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<Entry> entries;
    };
    const Case cases[] = {
        {"unix directory with a space",
         "drwxr-xr-x 2 owner group 4096 Aug 25 09:15 my docs\r\n",                              {{"my docs", "4096", "d"}}                  },
        {"unix file, link, spaces between fields",
         "-rw-r--r--   1 u  g   17 Jan  1  2020 a.txt\r\nlrwxrwxrwx 1 u g 7 Aug 25 09:15 l -> "
         "t\r\n",                                                                               {{"a.txt", "17", "-"}, {"l -> t", "7", "l"}}},
        {"total line skipped",
         "total 8\r\n-rw-r--r-- 1 u g 0 Aug 25 09:15 e\r\n",                                    {{"e", "0", "-"}}                           },
        {"dos directory and file",
         "08-25-26 09:15AM <DIR> pub\r\n08-25-26 09:15AM 1024 a.txt\r\n",                       {{"pub", "0", "d"}, {"a.txt", "1024", " "}} },
        {"short line is passed over",
         "-rw-r--r-- 1 u g 1 Aug 25 09:15 a\r\nx y z\r\n-rw-r--r-- 1 u g 1 Aug 25 09:15 b\r\n", {{"a", "1", "-"}, {"b", "1", "-"}}          },
        {"line without CR LF at the end is not parsed",
         "-rw-r--r-- 1 u g 1 Aug 25 09:15 a\r\n-rw-r--r-- 1 u g 1 Aug 25 09:15 b",              {{"a", "1", "-"}}                           },
        {"LF-only lines",
         "-rw-r--r-- 1 u g 1 Aug 25 09:15 a\n-rw-r--r-- 1 u g 2 Aug 25 09:15 b\n",              {{"a", "1", "-"}, {"b", "2", "-"}}          },
        {"empty listing",                               "",                                     {{"..", "0", "d"}}                          },
        {"64-bit size",
         "-rw-r--r-- 1 u g 5000000000 Aug 25 09:15 big\r\n",                                    {{"big", "5000000000", "-"}}                },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse(c.text), c.entries) << c.name;
    }
}

// A 255-byte name fits; a line longer than the buffer is dropped whole, never cut to another
// name, and the lines after it are still read.
TEST(FtpListing, LongNamesFitAndOverlongLinesAreDroppedWhole) {
    const std::string prefix = "-rw-r--r-- 1 u g 1 Aug 25 09:15 ";
    const std::string name255(255, 'n');
    const std::string overlong(TNFTP_MAX_LISTING_LINE, 'o');
    std::uint32_t dropped = 0;
    int result            = 0;
    const auto entries =
        Parse(prefix + name255 + "\r\n" + prefix + overlong + "\r\n" + prefix + "after\r\n",
              &result, &dropped);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, name255);
    EXPECT_EQ(entries[1].name, "after");
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(result, 2);
}

// Every line left out is counted by its cause, and none hides the lines after it.
TEST(FtpListing, LinesLeftOutAreCountedByCause) {
    const std::string file = "-rw-r--r-- 1 u g 1 Aug 25 09:15 ";
    struct Case {
        const char* name;
        std::string text;
        std::uint32_t entryLimit;
        TnFtpListingSkips skips;
        int entries;
    };
    const Case cases[] = {
        {"a layout we do not read",
         "+i8388621.29609,m824255902,/,\tdev\r\n" + file + "a\r\n",
         TNFTP_MAX_LISTING_ENTRIES,                                                       {0, 1, 0},
         1                                                                                                                                   },
        {"size field of 80 characters",
         file.substr(0,                                             17) + std::string(80, '9') + " Aug 25 x\r\n" + file + "a\r\n",
         TNFTP_MAX_LISTING_ENTRIES,                                                                                                            {0, 1, 0},
         1},
        {"overlong and unreadable",
         file + std::string(TNFTP_MAX_LISTING_LINE,                                                       'o') + "\r\nx\r\n" + file + "b\r\n",
         TNFTP_MAX_LISTING_ENTRIES,                                                                                {1, 1, 0},
         1},
        {"beyond the entry cap",
         "total 3\r\n" + file + "a\r\n" + file + "b\r\nx y\r\n" + file + "c\r\n",
         2,                                                                             {0, 1, 1},
         2                                                             },
        {"exactly at the entry cap",                    file + "a\r\n" + file + "b\r\n",                                                         2,                                                                             {0, 0, 0},                                                                                           2},
    };
    for (const Case& c : cases) {
        g_ftpListingEntryLimit = c.entryLimit;
        TnList list;
        TnListInit(&list);
        TnFtpListingSkips skips{9, 9, 9};
        const int n = TnFtpParseListingSkips(
            c.text.data(), static_cast<std::uint32_t>(c.text.size()), &list, &skips);
        TnListFreeAll(&list);
        g_ftpListingEntryLimit = TNFTP_MAX_LISTING_ENTRIES;
        EXPECT_EQ(n, c.entries) << c.name;
        EXPECT_EQ(skips.overlong, c.skips.overlong) << c.name;
        EXPECT_EQ(skips.unreadable, c.skips.unreadable) << c.name;
        EXPECT_EQ(skips.overCap, c.skips.overCap) << c.name;
        std::uint32_t dropped  = 0;
        g_ftpListingEntryLimit = c.entryLimit;
        Parse(c.text, nullptr, &dropped);
        g_ftpListingEntryLimit = TNFTP_MAX_LISTING_ENTRIES;
        EXPECT_EQ(dropped, c.skips.overlong + c.skips.unreadable + c.skips.overCap) << c.name;
    }
}

}  // namespace
