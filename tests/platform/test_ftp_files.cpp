// The FTP library's local files and folders on Linux (hosts/platform/ftp_files), in a scratch
// folder: what each open mode does to existing files, that nothing can block the loop, short
// reads only at the end, the one-shot name mapping, and what a folder upload gets to see.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "ftp_files.h"

namespace tarnet::platform {
namespace {

class FtpFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnet-ftp-files-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_NE(::getcwd(home_, sizeof home_), nullptr);
        ASSERT_EQ(::chdir(dir_.c_str()), 0);
        FtpClearFileError();
    }
    void TearDown() override {
        EXPECT_EQ(FtpOpenFileCount(), 0);
        ASSERT_EQ(::chdir(home_), 0);
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }

    static void Write(const char* name, const std::string& bytes) {
        std::FILE* f = std::fopen(name, "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    static std::string Read(const char* name) {
        std::string bytes(4096, '\0');
        std::FILE* f = std::fopen(name, "rb");
        if (f == nullptr) {
            return "(missing)";
        }
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
        std::fclose(f);
        return bytes;
    }

    std::string dir_;
    char home_[PATH_MAX]{};
};

TEST_F(FtpFiles, OpenModesKeepTheLoopAndOldFilesSafe) {
    Write("long.txt", "an old and much longer text");
    ASSERT_EQ(::mkdir("folder", 0755), 0);
    ASSERT_EQ(::mkfifo("pipe", 0644), 0);
    struct Case {
        const char* name;
        int mode;
        int create;
        bool opens;
    };
    const Case cases[] = {
        {"long.txt", 1, 1, true }, // receiving truncates (checked below)
        {"new.txt",  1, 1, true },
        {"missing",  1, 0, false}, // must exist
        {"missing",  0, 0, false},
        {"folder",   0, 0, false},
        {"folder",   1, 1, false},
        {"pipe",     0, 0, false}, // a FIFO would block the loop until a writer came
        {"pipe",     1, 1, false},
        {"",         0, 0, false},
    };
    for (const Case& c : cases) {
        const TnFtpFile file = FtpFileOpen(c.name, c.mode, c.create);
        EXPECT_EQ(file != 0, c.opens) << c.name << " mode " << c.mode;
        if (!c.opens) {
            continue;
        }
        std::uint32_t written = 0;
        EXPECT_EQ(FtpFileWrite(file, reinterpret_cast<const std::uint8_t*>("new"), 3, &written), 1);
        EXPECT_EQ(written, 3u);
        FtpFileClose(file);
        EXPECT_EQ(Read(c.name), "new") << c.name;
    }
    EXPECT_FALSE(FtpLastFileError().empty());
}

TEST_F(FtpFiles, ReadsFullChunksUntilTheEnd) {
    Write("data.bin", std::string(5000, 'x'));
    const TnFtpFile file = FtpFileOpen("data.bin", 0, 0);
    ASSERT_NE(file, 0u);
    std::uint8_t buffer[2048];
    std::vector<std::uint32_t> counts;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t got = 99;
        ASSERT_EQ(FtpFileRead(file, buffer, sizeof buffer, &got), 1);
        counts.push_back(got);
    }
    FtpFileClose(file);
    EXPECT_EQ(counts, (std::vector<std::uint32_t>{2048, 2048, 904, 0}));
}

TEST_F(FtpFiles, FilesReadInTurnsKeepTheirOwnPlaces) {
    std::string first(100000, '\0');
    std::string second(100000, '\0');
    for (std::size_t i = 0; i < first.size(); ++i) {
        first[i]  = static_cast<char>(i % 251);
        second[i] = static_cast<char>(i % 241);
    }
    Write("first.bin", first);
    Write("second.bin", second);
    const TnFtpFile files[] = {FtpFileOpen("first.bin", 0, 0), FtpFileOpen("second.bin", 0, 0)};
    std::string got[2];
    std::uint8_t buffer[2048];
    for (bool more = true; more;) {
        more = false;
        for (int i = 0; i < 2; ++i) {
            std::uint32_t n = 0;
            ASSERT_EQ(FtpFileRead(files[i], buffer, sizeof buffer, &n), 1);
            got[i].append(reinterpret_cast<char*>(buffer), n);
            more = more || n == sizeof buffer;
        }
    }
    FtpFileClose(files[0]);
    FtpFileClose(files[1]);
    EXPECT_TRUE(got[0] == first);
    EXPECT_TRUE(got[1] == second);
}

TEST_F(FtpFiles, GatheredWritesReachTheFileAndTheirFailuresAreKept) {
    struct Case {
        const char* name;
        std::uint32_t blocks;  // of 1460 bytes, like TCP segments
        bool failed;
    };
    const Case cases[] = {
        {"small.bin", 3,   false},
        {"large.bin", 200, false}, // more than the buffer holds
        {"/dev/full", 3,   true }, // the failure only shows when the bytes reach the device
    };
    const std::string block(1460, 'b');
    for (const Case& c : cases) {
        FtpClearFileError();
        const TnFtpFile file = FtpFileOpen(c.name, 1, 1);
        ASSERT_NE(file, 0u) << c.name;
        for (std::uint32_t i = 0; i < c.blocks; ++i) {
            std::uint32_t written = 0;
            FtpFileWrite(file, reinterpret_cast<const std::uint8_t*>(block.data()), 1460, &written);
        }
        FtpFileClose(file);
        EXPECT_EQ(FtpWriteFailed(), c.failed) << c.name;
        if (!c.failed) {
            struct stat st {};
            ASSERT_EQ(::stat(c.name, &st), 0);
            EXPECT_EQ(st.st_size, 1460 * static_cast<off_t>(c.blocks)) << c.name;
        }
    }
}

TEST_F(FtpFiles, MappingRedirectsOnlyTheNextOpenOfThatName) {
    Write("local copy.bin", "mapped");
    Write("remote.bin", "plain");
    FtpMapNextOpen("remote.bin", "local copy.bin");
    struct Step {
        const char* name;
        const char* content;
    };
    const Step steps[] = {
        {"remote.bin", "mapped"}, // the mapping, used once
        {"remote.bin", "plain" },
    };
    for (const Step& step : steps) {
        const TnFtpFile file = FtpFileOpen(step.name, 0, 0);
        ASSERT_NE(file, 0u);
        std::uint8_t buffer[16]{};
        std::uint32_t got = 0;
        ASSERT_EQ(FtpFileRead(file, buffer, sizeof buffer, &got), 1);
        FtpFileClose(file);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), step.content);
    }
}

TEST_F(FtpFiles, FolderWalkSeesFilesAndFoldersButNoLoopsOrSpecialFiles) {
    const TnFtpTreeLocalFs& fs = FtpHostLocalFs();
    ASSERT_EQ(fs.makeDirectory("sub dir"), 1);
    EXPECT_EQ(fs.makeDirectory("sub dir"), 1);  // an existing folder is fine
    Write("a file", std::string(1234, 'a'));
    EXPECT_EQ(fs.makeDirectory("a file"), 0);  // a file of that name is not
    ASSERT_EQ(::symlink("a file", "file link"), 0);
    ASSERT_EQ(::symlink(".", "loop"), 0);
    ASSERT_EQ(::mkfifo("pipe", 0644), 0);

    std::map<std::string, std::pair<std::uint64_t, int>> seen;
    ASSERT_EQ(fs.enumerate(&seen,
                           [](void* context, const char* name, std::uint64_t size, int isDir) {
                               (*static_cast<decltype(seen)*>(context))[name] = {size, isDir};
                           }),
              1);
    const decltype(seen) expected = {
        {"sub dir",   {0, 1}   },
        {"a file",    {1234, 0}},
        {"file link", {1234, 0}},
    };
    EXPECT_EQ(seen, expected);

    std::uint64_t size = 0;
    EXPECT_EQ(fs.fileSize("a file", &size), 1);
    EXPECT_EQ(size, 1234u);
    EXPECT_EQ(fs.fileSize("sub dir", &size), 0);
    ASSERT_EQ(fs.changeDirectory("sub dir"), 1);
    char cwd[PATH_MAX];
    ASSERT_EQ(fs.currentDirectory(cwd, sizeof cwd), 1);
    EXPECT_EQ(std::string(cwd), dir_ + "/sub dir");
    EXPECT_EQ(fs.changeDirectory("no such"), 0);
}

// A download writes a side file; finishing it completed replaces the target (a link is replaced,
// never followed), finishing it failed removes it, and a final write that fails is reported.
TEST_F(FtpFiles, DownloadsReplaceTheFileOnlyWhenFinishedComplete) {
    ASSERT_EQ(::mkdir("outside", 0755), 0);
    struct Case {
        const char* name;
        int completed;
        int result;
        const char* after;
    };
    const Case cases[] = {
        {"old.txt",   1, 1, "new"  },
        {"old.txt",   0, 1, "old"  },
        {"link.txt",  1, 1, "new"  }, // the link becomes a file; its target stays "old"
        {"/dev/full", 1, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write("old.txt", "old");
        Write("outside/victim.txt", "old");
        ::unlink("link.txt");
        ASSERT_EQ(::symlink("outside/victim.txt", "link.txt"), 0);
        const TnFtpFile file = FtpFileOpen(c.name, 1, 1);
        ASSERT_NE(file, 0u);
        std::uint32_t written = 0;
        ASSERT_EQ(FtpFileWrite(file, reinterpret_cast<const std::uint8_t*>("new"), 3, &written), 1);
        EXPECT_EQ(FtpFileFinish(file, c.completed), c.result);
        if (c.after != nullptr) {
            EXPECT_EQ(Read(c.name), c.after);
        }
        EXPECT_EQ(Read("outside/victim.txt"), "old");
        DIR* dir = ::opendir(".");
        ASSERT_NE(dir, nullptr);
        while (const dirent* entry = ::readdir(dir)) {
            EXPECT_NE(std::string(entry->d_name).rfind(".tarnet-partial", 0), 0u)
                << "a side file stays: " << entry->d_name;
        }
        ::closedir(dir);
    }
}

// The walker never enters or counts as created a folder that is a symbolic link.
TEST_F(FtpFiles, WalkerFoldersAreNeverLinks) {
    ASSERT_EQ(::mkdir("outside", 0755), 0);
    ASSERT_EQ(::symlink("outside", "sub"), 0);
    const TnFtpTreeLocalFs& fs = FtpHostLocalFs();
    EXPECT_EQ(fs.makeDirectory("sub"), 0);
    EXPECT_EQ(fs.changeDirectory("sub"), 0);
    EXPECT_EQ(fs.makeDirectory("outside"), 1);
    EXPECT_EQ(fs.changeDirectory("outside"), 1);
    EXPECT_EQ(fs.changeDirectory(".."), 1);
}

}  // namespace
}  // namespace tarnet::platform
