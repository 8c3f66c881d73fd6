// The mail host services on Linux: UTF-8 text into the charsets a mail carries, and the file
// services the SMTP library reads an attachment through.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "charsets.h"
#include "smtp_files.h"

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

class SmtpFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnet-smtpfiles-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::remove((dir_ + "/file").c_str());
        std::remove((dir_ + "/fifo").c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
};

TEST_F(SmtpFiles, ReadsWholeChunksUntilTheEnd) {
    const std::string path = dir_ + "/file";
    std::string content(7000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7);
    }
    const TnSmtpFile out = SmtpFileOpen(path.c_str(), 1, 1);
    ASSERT_NE(out, 0U);
    std::uint32_t written = 0;
    EXPECT_EQ(SmtpFileWrite(out, reinterpret_cast<const std::uint8_t*>(content.data()),
                            static_cast<std::uint32_t>(content.size()), &written),
              1);
    SmtpFileClose(out);

    const TnSmtpFile in = SmtpFileOpen(path.c_str(), 0, 0);
    ASSERT_NE(in, 0U);
    std::uint64_t size = 0;
    ASSERT_EQ(SmtpFileSize(in, &size), 1);
    EXPECT_EQ(size, content.size());
    std::string back;
    std::vector<std::uint32_t> reads;
    for (;;) {
        std::uint8_t buffer[3072];
        std::uint32_t got = 0;
        ASSERT_EQ(SmtpFileRead(in, buffer, sizeof buffer, &got), 1);
        reads.push_back(got);
        if (got == 0) {
            break;
        }
        back.append(reinterpret_cast<const char*>(buffer), got);
    }
    SmtpFileClose(in);
    EXPECT_EQ(reads, (std::vector<std::uint32_t>{3072, 3072, 856, 0}));
    EXPECT_EQ(back, content);
}

TEST_F(SmtpFiles, RefusesWhatIsNoRegularFile) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir_, fifo, dir_ + "/missing"}) {
        EXPECT_EQ(SmtpFileOpen(path.c_str(), 0, 0), 0U) << path;
    }
    EXPECT_EQ(SmtpFileOpen((dir_ + "/missing").c_str(), 1, 0), 0U);
}

}  // namespace
}  // namespace tarnet::platform
