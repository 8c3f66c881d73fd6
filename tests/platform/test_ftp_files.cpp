// The FTP library's host services on Linux (hosts/platform/ftp_files), in a scratch folder: the
// one-shot name mapping, and what a folder walk gets to see and may enter. The files themselves
// are local_files' (tests/platform/test_local_files.cpp).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <string>

#include "ftp_files.h"
#include "scratch_folder.h"

namespace tarnet::platform {
namespace {

using FtpFiles = ScratchFolder;

TEST_F(FtpFiles, MappingRedirectsOnlyTheNextOpenOfThatName) {
    Write("local copy.bin", "mapped");
    Write("remote.bin", "plain");
    const TnFtpServices services = FtpHostServices();
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
        const TnFtpFile file = services.fileOpen(step.name, 0, 0);
        ASSERT_NE(file, 0u);
        std::uint8_t buffer[16]{};
        std::uint32_t got = 0;
        ASSERT_EQ(services.fileRead(file, buffer, sizeof buffer, &got), 1);
        services.fileClose(file);
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
