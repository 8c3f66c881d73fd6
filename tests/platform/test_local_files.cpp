// The local files behind the FTP and SMTP host services (hosts/platform/local_files), in a
// scratch folder: the same checks on both libraries' callbacks, reads in full chunks until the
// end, files read in turns, gathered writes and their late failures, and side files that only a
// completed transfer turns into the file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ftp_files.h"
#include "scratch_folder.h"
#include "smtp_files.h"

namespace tarnet::platform {
namespace {

using LocalFiles = ScratchFolder;

// One library's view of the files: its callbacks as the library gets them, and the chunk it
// reads an upload or an attachment in.
struct LibraryPath {
    const char* name;
    TnFtpFileOpenFn open;
    TnFtpFileCloseFn close;
    TnFtpFileReadFn read;
    TnFtpFileWriteFn write;
    std::uint32_t chunk;
};

std::vector<LibraryPath> LibraryPaths() {
    const TnFtpServices ftp = FtpHostServices();
    TnSmtpConfig smtp{};
    SmtpFillCallbacks(smtp, "[10.0.0.1]");
    return {
        {"ftp",  ftp.fileOpen,  ftp.fileClose,  ftp.fileRead,  ftp.fileWrite,  2048},
        {"smtp", smtp.fileOpen, smtp.fileClose, smtp.fileRead, smtp.fileWrite, 3072},
    };
}

// Reads the whole file the way the libraries do: a read shorter than the chunk is the end, so
// a short read in the middle shows as missing bytes.
std::string ReadToEnd(const LibraryPath& path, TnFtpFile file) {
    std::string bytes;
    std::vector<std::uint8_t> buffer(path.chunk);
    std::uint32_t got = path.chunk;
    while (got == path.chunk) {
        got = 0;
        EXPECT_EQ(path.read(file, buffer.data(), path.chunk, &got), 1);
        bytes.append(reinterpret_cast<const char*>(buffer.data()), got);
    }
    EXPECT_EQ(path.read(file, buffer.data(), path.chunk, &got), 1);
    EXPECT_EQ(got, 0u) << "bytes after the end";
    return bytes;
}

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

// A FIFO, a folder, a link to a file outside and an old file; whatever a case before left is
// removed.
void MakeFolderOfEveryKind() {
    for (const char* name : {"pipe", "link.txt", "new.txt", "outside/victim.txt"}) {
        ::unlink(name);
    }
    ::rmdir("folder");
    ::rmdir("outside");
    ASSERT_EQ(::mkfifo("pipe", 0644), 0);
    ASSERT_EQ(::mkdir("folder", 0755), 0);
    ASSERT_EQ(::mkdir("outside", 0755), 0);
    ScratchFolder::Write("outside/victim.txt", "old");
    ASSERT_EQ(::symlink("outside/victim.txt", "link.txt"), 0);
    ScratchFolder::Write("long.txt", "an old and much longer text");
}

// What neither library may open, and what each gets from what it may: the same on both paths.
TEST_F(LocalFiles, BothLibrariesGetTheSameChecks) {
    struct Case {
        const char* name;
        int mode;
        int create;
        bool opens;
        std::string content;  // read back (mode 0) or in the file after writing "new" (mode 1)
    };
    const std::string big = Pattern(100000);  // read-ahead pieces end inside a chunk
    const Case cases[]    = {
           {"pipe",      0, 0, false, ""   }, // a FIFO would block the loop until a writer came
           {"pipe",      1, 1, false, ""   },
           {"folder",    0, 0, false, ""   },
           {"folder",    1, 1, false, ""   },
           {"missing",   0, 0, false, ""   },
           {"missing",   1, 0, false, ""   }, // must exist
           {"",          0, 0, false, ""   },
           {"long.txt",  2, 1, false, ""   }, // no such mode
           {"new.txt",   1, 1, true,  "new"},
           {"long.txt",  1, 1, true,  "new"}, // no stale bytes of the longer old text
           {"link.txt",  0, 0, true,  "old"}, // a link to a file reads that file
           {"link.txt",  1, 1, true,  "new"}, // the link is replaced, its target stays "old"
           {"big.bin",   0, 0, true,  big  },
           {"empty.bin", 0, 0, true,  ""   },
    };
    Write("big.bin", big);
    Write("empty.bin", "");
    for (const LibraryPath& path : LibraryPaths()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(path.name) + " " + c.name + " mode " + std::to_string(c.mode));
            MakeFolderOfEveryKind();

            const TnFtpFile file = path.open(c.name, c.mode, c.create);
            EXPECT_EQ(file != 0, c.opens);
            if (file != 0 && c.mode == 0) {
                EXPECT_TRUE(ReadToEnd(path, file) == c.content);
                path.close(file);
            } else if (file != 0) {
                std::uint32_t written = 0;
                EXPECT_EQ(
                    path.write(file, reinterpret_cast<const std::uint8_t*>("new"), 3, &written), 1);
                EXPECT_EQ(written, 3u);
                path.close(file);
                EXPECT_EQ(Read(c.name), c.content);
            }
            EXPECT_EQ(Read("outside/victim.txt"), "old");
            EXPECT_EQ(LocalOpenFileCount(), 0);
        }
    }
    EXPECT_FALSE(LocalFileError().empty());
}

TEST_F(LocalFiles, SizeCountsTheBytesStillGathered) {
    Write("data.bin", std::string(7000, 'x'));
    std::uint64_t size = 0;
    const LocalFile in = LocalFileOpen("data.bin", kLocalRead, 0);
    ASSERT_NE(in, 0u);
    ASSERT_EQ(LocalFileSize(in, &size), 1);
    EXPECT_EQ(size, 7000u);
    LocalFileClose(in);

    const LocalFile out = LocalFileOpen("out.bin", kLocalWrite, 1);
    ASSERT_NE(out, 0u);
    std::uint32_t written = 0;
    ASSERT_EQ(LocalFileWrite(out, reinterpret_cast<const std::uint8_t*>("12345"), 5, &written), 1);
    ASSERT_EQ(LocalFileSize(out, &size), 1);
    EXPECT_EQ(size, 5u);
    LocalFileClose(out);
    EXPECT_EQ(LocalFileSize(0, &size), 0);
}

TEST_F(LocalFiles, FilesReadInTurnsKeepTheirOwnPlaces) {
    std::string first(100000, '\0');
    std::string second(100000, '\0');
    for (std::size_t i = 0; i < first.size(); ++i) {
        first[i]  = static_cast<char>(i % 251);
        second[i] = static_cast<char>(i % 241);
    }
    Write("first.bin", first);
    Write("second.bin", second);
    const LocalFile files[] = {LocalFileOpen("first.bin", kLocalRead, 0),
                               LocalFileOpen("second.bin", kLocalRead, 0)};
    std::string got[2];
    std::uint8_t buffer[2048];
    for (bool more = true; more;) {
        more = false;
        for (int i = 0; i < 2; ++i) {
            std::uint32_t n = 0;
            ASSERT_EQ(LocalFileRead(files[i], buffer, sizeof buffer, &n), 1);
            got[i].append(reinterpret_cast<char*>(buffer), n);
            more = more || n == sizeof buffer;
        }
    }
    LocalFileClose(files[0]);
    LocalFileClose(files[1]);
    EXPECT_TRUE(got[0] == first);
    EXPECT_TRUE(got[1] == second);
}

TEST_F(LocalFiles, GatheredWritesReachTheFileAndTheirFailuresAreKept) {
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
        LocalClearFileError();
        const LocalFile file = LocalFileOpen(c.name, kLocalWrite, 1);
        ASSERT_NE(file, 0u) << c.name;
        for (std::uint32_t i = 0; i < c.blocks; ++i) {
            std::uint32_t written = 0;
            LocalFileWrite(file, reinterpret_cast<const std::uint8_t*>(block.data()), 1460,
                           &written);
        }
        LocalFileClose(file);
        EXPECT_EQ(LocalWriteFailed(), c.failed) << c.name;
        if (!c.failed) {
            struct stat st {};
            ASSERT_EQ(::stat(c.name, &st), 0);
            EXPECT_EQ(st.st_size, 1460 * static_cast<off_t>(c.blocks)) << c.name;
        }
    }
}

// A received file is written to a side file; finishing it completed replaces the target (a link
// is replaced, never followed), finishing it failed removes it, and a final write that fails is
// reported.
TEST_F(LocalFiles, ReceivedFilesReplaceTheFileOnlyWhenFinishedComplete) {
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
        const LocalFile file = LocalFileOpen(c.name, kLocalWrite, 1);
        ASSERT_NE(file, 0u);
        std::uint32_t written = 0;
        ASSERT_EQ(LocalFileWrite(file, reinterpret_cast<const std::uint8_t*>("new"), 3, &written),
                  1);
        EXPECT_EQ(LocalFileFinish(file, c.completed), c.result);
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

// A name of one of the process's own descriptors (how /dev/stdout is made) is written through
// that descriptor, after what it already holds; the name itself is never replaced.
TEST_F(LocalFiles, OwnDescriptorsAreWrittenWhereTheyPoint) {
    Write("out.txt", "head;");
    const int fd = ::open("out.txt", O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    ASSERT_EQ(::symlink(proc.c_str(), "stdout-like"), 0);
    std::string expected = "head;";
    for (const std::string& name :
         {proc, "/dev/fd/" + std::to_string(fd), std::string("stdout-like")}) {
        SCOPED_TRACE(name);
        const LocalFile file = LocalFileOpen(name.c_str(), kLocalWrite, 1);
        ASSERT_NE(file, 0u) << LocalFileError();
        std::uint32_t written = 0;
        ASSERT_EQ(LocalFileWrite(file, reinterpret_cast<const std::uint8_t*>("new;"), 4, &written),
                  1);
        EXPECT_EQ(LocalFileFinish(file, 1), 1);
        expected += "new;";
        EXPECT_EQ(Read("out.txt"), expected);
        struct stat st {};
        ASSERT_EQ(::lstat("stdout-like", &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
    ::close(fd);
}

}  // namespace
}  // namespace tarnet::platform
