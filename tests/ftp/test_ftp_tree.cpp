// Folder walker against a scripted server with a remote directory tree, and an in-memory local
// file system: command sequences, the three operations, hostile listings and failures.
#include <algorithm>
#include <set>

#include "ftp_internal.h"
#include "ftp_server.h"

namespace tarnet::test {
namespace {

struct Report {
    int kind;
    std::uintptr_t a;
    std::uintptr_t b;
    std::string name;  // a as text, for item and skip reports that carry a name
};

std::vector<Report>& Reports() {
    static std::vector<Report> reports;
    return reports;
}

void OnReport(TnFtpSession*, int kind, std::uintptr_t a, std::uintptr_t b) {
    Report r{kind, a, b, {}};
    if ((kind == TNTREE_REP_ENTRY_SKIPPED || (kind >= 6 && kind <= 8 && b == 1)) && a != 0) {
        r.name = reinterpret_cast<const char*>(a);
    }
    Reports().push_back(r);
}

// Local directories (full paths) beside MemoryFiles' files; the current one is MemoryFiles::cwd.
std::set<std::string>& LocalDirs() {
    static std::set<std::string> dirs;
    return dirs;
}

std::string Parent(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

int LocalMkdir(const char* name) {
    LocalDirs().insert(MemoryFiles::Get().Key(name));
    return 1;
}
int LocalChdir(const char* name) {
    std::string& cwd         = MemoryFiles::Get().cwd;
    const std::string target = std::string(name) == ".." ? Parent(cwd)
                               : name[0] == '/'          ? std::string(name)
                                                         : cwd + "/" + name;
    if (!LocalDirs().contains(target)) {
        return 0;
    }
    cwd = target;
    return 1;
}
bool& LocalCwdFails() {
    static bool fails = false;
    return fails;
}
int LocalCwd(char* buffer, std::uint32_t capacity) {
    const std::string& cwd = MemoryFiles::Get().cwd;
    if (cwd.size() >= capacity || LocalCwdFails()) {
        return 0;
    }
    std::memcpy(buffer, cwd.c_str(), cwd.size() + 1);
    return 1;
}
int LocalList(void* context, TnFtpTreeAddEntryFn add) {
    const std::string& cwd = MemoryFiles::Get().cwd;
    for (const std::string& d : LocalDirs()) {
        if (Parent(d) == cwd) {
            add(context, d.substr(cwd.size() + 1).c_str(), 0, 1);
        }
    }
    for (const auto& [path, bytes] : MemoryFiles::Get().files) {
        if (Parent(path) == cwd) {
            add(context, path.substr(cwd.size() + 1).c_str(), bytes.size(), 0);
        }
    }
    return 1;
}
int LocalSize(const char* name, std::uint64_t* size) {
    const auto& files = MemoryFiles::Get().files;
    const auto it     = files.find(MemoryFiles::Get().Key(name));
    if (it == files.end()) {
        return 0;
    }
    *size = it->second.size();
    return 1;
}

class FtpTreeTest : public FtpTest {
  protected:
    void SetUp() override {
        FtpTest::SetUp();
        Reports().clear();
        LocalCwdFails()        = false;
        LocalDirs()            = {"/l"};
        MemoryFiles::Get().cwd = "/l";
        static const TnFtpTreeLocalFs fs{LocalMkdir, LocalChdir, LocalCwd, LocalList, LocalSize};
        TnFtpTreeInit(OnReport, &fs);
        remoteDirs  = {"/r"};
        rcwd        = "/r";
        remotePath  = [this](const std::string& n) { return rcwd + "/" + n; };
        listingNow  = [this] { return RemoteListing(); };
        session     = LoggedIn();
        EventHook() = [this](const FtpEventRecord& r) {
            TnFtpTreeOnEvent(session, r.event, r.text.empty() ? nullptr : r.text.data(),
                             r.textLength, r.extra);
        };
    }
    void TearDown() override {
        TnFtpTreeDeinit();
        FtpTest::TearDown();
    }

    // The remote tree: directories in remoteDirs, files in `remote` (full paths), and raw lines
    // a hostile server adds to a directory's listing.
    std::set<std::string> remoteDirs;
    std::set<std::string> links;  // listed as "name -> /etc"; DELE removes them
    std::map<std::string, std::string> extraLines;
    std::string rcwd;
    std::string closeOn;  // the server drops the control connection on this command
    TnFtpSession* session = nullptr;

    Bytes RemoteListing() {
        std::string text;
        for (const std::string& d : remoteDirs) {
            if (Parent(d) == rcwd) {
                text += "drwxr-xr-x 2 u g 4096 Aug 25 09:15 " + d.substr(rcwd.size() + 1) + "\r\n";
            }
        }
        for (const auto& [path, bytes] : remote) {
            if (Parent(path) == rcwd) {
                text += "-rw-r--r-- 1 u g " + std::to_string(bytes.size()) + " Aug 25 09:15 " +
                        path.substr(rcwd.size() + 1) + "\r\n";
            }
        }
        for (const std::string& l : links) {
            if (Parent(l) == rcwd) {
                text +=
                    "lrwxrwxrwx 1 u g 4 Aug 25 09:15 " + l.substr(rcwd.size() + 1) + " -> /etc\r\n";
            }
        }
        text += extraLines[rcwd];
        return Text(text);
    }

    bool HasChildren(const std::string& dir) const {
        for (const std::string& d : remoteDirs) {
            if (Parent(d) == dir) {
                return true;
            }
        }
        for (const auto& [path, bytes] : remote) {
            if (Parent(path) == dir) {
                return true;
            }
        }
        return std::any_of(links.begin(), links.end(),
                           [&](const std::string& l) { return Parent(l) == dir; });
    }

    void OnCommand(const std::string& line) override {
        const std::string verb = line.substr(0, line.find(' '));
        const std::string arg =
            line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        const std::string path = arg == ".." ? Parent(rcwd) : rcwd + "/" + arg;
        std::string reply;
        if (verb == closeOn) {
            ServerClose(Control());
            return;
        }
        if (verb == "CWD") {
            const bool ok = remoteDirs.contains(path);
            rcwd          = ok ? path : rcwd;
            reply         = ok ? "250 ok\r\n" : "550 no such directory\r\n";
        } else if (verb == "MKD") {
            reply = remoteDirs.insert(path).second ? "257 created\r\n" : "550 exists\r\n";
        } else if (verb == "RMD") {
            const bool ok = remoteDirs.contains(path) && !HasChildren(path);
            reply         = ok ? "250 removed\r\n" : "550 not empty\r\n";
            remoteDirs.erase(ok ? path : "");
        } else if (verb == "DELE") {
            const bool gone = remote.erase(path) + links.erase(path) == 1;
            reply           = gone ? "250 deleted\r\n" : "550 no such file\r\n";
        } else {
            FtpTest::OnCommand(line);
            return;
        }
        ServerSend(Control(), reply);
    }

    // Runs the host loop until the walker reports an outcome (kinds 0 to 5).
    const Report& RunWalker() {
        for (int i = 0; i < 5000; ++i) {
            TnFtpTreeDispatch();
            for (const Report& r : Reports()) {
                if (r.kind <= TNTREE_REP_UPLOAD_DONE) {
                    return r;
                }
            }
            Run(1);
        }
        ADD_FAILURE() << "the walker never finished";
        static const Report none{-1, 0, 0, {}};
        return none;
    }

    std::vector<std::string> Skipped(std::uintptr_t why = 0) const {
        std::vector<std::string> names;
        for (const Report& r : Reports()) {
            if (r.kind == TNTREE_REP_ENTRY_SKIPPED && (why == 0 || r.b == why)) {
                names.push_back(r.name);
            }
        }
        return names;
    }

    // A remote tree three levels deep with spaces in names and an empty folder.
    void MakeRemoteTree() {
        remoteDirs.insert({"/r/top", "/r/top/sub dir", "/r/top/sub dir/deep", "/r/top/empty"});
        remote["/r/top/a.txt"]                = Pattern(3000, 1);
        remote["/r/top/b c"]                  = Pattern(0, 2);
        remote["/r/top/sub dir/d"]            = Pattern(5000, 3);
        remote["/r/top/sub dir/deep/e f.bin"] = Pattern(2048, 4);
    }
};

TEST_F(FtpTreeTest, DeletingAnEmptyFolderListsGoesUpAndRemovesIt) {
    remoteDirs.insert("/r/gone");
    ASSERT_EQ(TnFtpTreeDelete(session, "gone"), TNTREE_STARTED);
    EXPECT_EQ(TnFtpTreeDelete(session, "gone"), TNTREE_BUSY);
    EXPECT_EQ(RunWalker().kind, TNTREE_REP_DELETE_DONE);
    EXPECT_EQ(commands,
              (std::vector<std::string>{"CWD gone", "PASV", "LIST", "CWD ..", "RMD gone"}));
    EXPECT_FALSE(remoteDirs.contains("/r/gone"));
    EXPECT_EQ(rcwd, "/r");
}

TEST_F(FtpTreeTest, StepNamesFollowTheWalk) {
    remoteDirs.insert("/r/gone");
    EXPECT_STREQ(TnFtpTreeStep(), "idle");
    ASSERT_EQ(TnFtpTreeDelete(session, "gone"), TNTREE_STARTED);
    EXPECT_STREQ(TnFtpTreeStep(), "delete: entered");
    EXPECT_EQ(RunWalker().kind, TNTREE_REP_DELETE_DONE);
    EXPECT_STREQ(TnFtpTreeStep(), "idle");
    TnFtpTreeDeinit();
    EXPECT_STREQ(TnFtpTreeStep(), "uninitialised");
}

TEST_F(FtpTreeTest, DeleteRemovesTheWholeTree) {
    MakeRemoteTree();
    ASSERT_EQ(TnFtpTreeDelete(session, "top"), TNTREE_STARTED);
    EXPECT_EQ(RunWalker().kind, TNTREE_REP_DELETE_DONE);
    EXPECT_EQ(remoteDirs, (std::set<std::string>{"/r"}));
    EXPECT_TRUE(remote.empty());
    EXPECT_EQ(rcwd, "/r");
}

TEST_F(FtpTreeTest, DownloadCopiesTheTreeAndSkipsFilesAlreadyHere) {
    MakeRemoteTree();
    MemoryFiles::Get().files["/l/top/a.txt"] =
        Pattern(3000, 9);  // same size: kept unless overwrite
    LocalDirs().insert("/l/top");
    ASSERT_EQ(TnFtpTreeDownload(session, "top", 0), TNTREE_STARTED);
    EXPECT_EQ(RunWalker().kind, TNTREE_REP_DOWNLOAD_DONE);
    auto& files = MemoryFiles::Get().files;
    EXPECT_EQ(files["/l/top/a.txt"], Pattern(3000, 9));
    EXPECT_EQ(files["/l/top/b c"], remote["/r/top/b c"]);
    EXPECT_EQ(files["/l/top/sub dir/deep/e f.bin"], remote["/r/top/sub dir/deep/e f.bin"]);
    EXPECT_TRUE(LocalDirs().contains("/l/top/empty"));
    EXPECT_EQ(MemoryFiles::Get().cwd, "/l");
    EXPECT_EQ(rcwd, "/r");
    EXPECT_EQ(Skipped(TNTREE_SKIP_PRESENT), (std::vector<std::string>{"a.txt"}));

    Reports().clear();
    ASSERT_EQ(TnFtpTreeDownload(session, "top", 1), TNTREE_STARTED);
    EXPECT_EQ(RunWalker().kind, TNTREE_REP_DOWNLOAD_DONE);
    EXPECT_EQ(files["/l/top/a.txt"], remote["/r/top/a.txt"]);
    EXPECT_EQ(files.size(), 4u);
}

// Names a hostile server lists are never used as paths: nothing lands outside the target folder.
// Lines that cannot be read are passed over, the rest still read, and the walk fails with the
// count of what it passed over (a link is not followed, and not counted).
TEST_F(FtpTreeTest, DownloadSkipsNamesThatWouldLeaveTheFolder) {
    remoteDirs.insert("/r/top");
    remote["/r/top/ok"] = Pattern(10);
    extraLines["/r/top"] =
        "-rw-r--r-- 1 u g 4 Aug 25 09:15 ../evil\r\n"
        "-rw-r--r-- 1 u g 4 Aug 25 09:15 /etc/evil\r\n"
        "drwxr-xr-x 2 u g 4096 Aug 25 09:15 a/../../b\r\n"
        "-rw-r--r-- 1 u g 4 Aug 25 09:15 back\\slash\r\n"
        "lrwxrwxrwx 1 u g 4 Aug 25 09:15 link -> /etc\r\n"
        "-rw-r--r-- 1 u g 4 Aug 25 09:15 " +
        std::string(1100, 'x') +
        "\r\n"
        "+i8388621.29609,m824255902,/,\tdev\r\n"
        "-rw-r--r-- 1 u g 10 Aug 25 09:15 later\r\n";
    remote["/r/top/later"] = Pattern(10, 2);
    ASSERT_EQ(TnFtpTreeDownload(session, "top", 1), TNTREE_STARTED);
    const Report& outcome = RunWalker();
    EXPECT_EQ(outcome.kind, TNTREE_REP_DOWNLOAD_FAILED);
    EXPECT_EQ(outcome.a, static_cast<std::uintptr_t>(TNTREE_ENTRIES_SKIPPED));
    EXPECT_EQ(outcome.b, 6u);
    EXPECT_EQ(Skipped(), (std::vector<std::string>{"", "", "../evil", "/etc/evil", "a/../../b",
                                                   "back\\slash", "link -> /etc"}));
    EXPECT_EQ(Skipped(TNTREE_SKIP_UNREADABLE).size(), 1u);
    for (const auto& [path, bytes] : MemoryFiles::Get().files) {
        EXPECT_EQ(path.rfind("/l/top/", 0), 0u) << path;
    }
    EXPECT_EQ(MemoryFiles::Get().files.size(), 2u);  // "ok" and "later"
    EXPECT_EQ(MemoryFiles::Get().cwd, "/l");
}

TEST_F(FtpTreeTest, UploadCreatesTheTreeRemotely) {
    auto& files = MemoryFiles::Get().files;
    LocalDirs().insert({"/l/up", "/l/up/s 1", "/l/up/s 1/s2", "/l/up/empty"});
    files["/l/up/x"]        = Pattern(4096, 5);
    files["/l/up/s 1/y z"]  = Pattern(1, 6);
    files["/l/up/s 1/s2/w"] = Pattern(0, 7);
    ASSERT_EQ(TnFtpTreeUpload(session, "up"), TNTREE_STARTED);
    EXPECT_EQ(RunWalker().kind, TNTREE_REP_UPLOAD_DONE);
    EXPECT_EQ(remote["/r/up/x"], files["/l/up/x"]);
    EXPECT_EQ(remote["/r/up/s 1/y z"], files["/l/up/s 1/y z"]);
    EXPECT_TRUE(remote.contains("/r/up/s 1/s2/w"));
    EXPECT_TRUE(remoteDirs.contains("/r/up/empty"));
    EXPECT_EQ(MemoryFiles::Get().cwd, "/l");
    EXPECT_EQ(rcwd, "/r");
}

TEST_F(FtpTreeTest, FailuresReportTheStepAndTheLibraryEvent) {
    struct Case {
        const char* name;
        std::function<int()> start;
        std::function<void()> breakIt;
        int kind;
        std::uintptr_t code;
        std::uintptr_t event;
    };
    // The last case ends the session.
    const Case cases[] = {
        {"upload into an existing folder", [&] { return TnFtpTreeUpload(session, "up"); },
         [&] { remoteDirs.insert("/r/up"); },                                                           TNTREE_REP_UPLOAD_FAILED,   TNTREE_MKD_FAILED,
         TNFTP_EV_MKD_FAILED                                                                                                                                               },
        {"delete of a missing folder",     [&] { return TnFtpTreeDelete(session, "nope"); },     [] {},
         TNTREE_REP_DELETE_FAILED,                                                                                                  TNTREE_CWD_FAILED,  TNFTP_EV_CWD_FAILED},
        {"server gone mid-download",       [&] { return TnFtpTreeDownload(session, "top", 1); },
         [&] { closeOn = "TYPE"; },                                                                     TNTREE_REP_DOWNLOAD_FAILED, TNTREE_FILE_FAILED,
         TNFTP_EV_CLOSED                                                                                                                                                   },
    };
    LocalDirs().insert("/l/up");
    MakeRemoteTree();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reports().clear();
        c.breakIt();
        ASSERT_EQ(c.start(), TNTREE_STARTED);
        const Report& r = RunWalker();
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.a, c.code);
        EXPECT_EQ(r.b, c.event);
        EXPECT_EQ(MemoryFiles::Get().cwd, "/l");
    }
}

TEST_F(FtpTreeTest, QueueOverflowFailsTheOperation) {
    remoteDirs.insert("/r/q");
    ASSERT_EQ(TnFtpTreeDelete(session, "q"), TNTREE_STARTED);
    for (int i = 0; i < 11; ++i) {
        TnFtpTreeOnEvent(session, TNFTP_EV_DELE_DONE, nullptr, 0, 0);
    }
    TnFtpTreeDispatch();
    ASSERT_FALSE(Reports().empty());
    EXPECT_EQ(Reports().back().kind, TNTREE_REP_DELETE_FAILED);
    EXPECT_EQ(Reports().back().a, static_cast<std::uintptr_t>(TNTREE_QUEUE_FULL));
}

// A server that shows a folder inside itself: the walk stops at the depth bound, with a local
// folder per level at most, and the local side back where it started.
TEST_F(FtpTreeTest, WalkDepthIsBounded) {
    std::string path = "/r/top";
    for (int i = 0; i < TNTREE_MAX_DEPTH + 5; ++i) {
        remoteDirs.insert(path);
        path += "/loop";
    }
    struct Case {
        const char* name;
        std::function<int()> start;
        int kind;
    };
    const Case cases[] = {
        {"delete",   [&] { return TnFtpTreeDelete(session, "top"); },      TNTREE_REP_DELETE_FAILED},
        {"download", [&] { return TnFtpTreeDownload(session, "top", 1); },
         TNTREE_REP_DOWNLOAD_FAILED                                                                },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reports().clear();
        rcwd = "/r";
        ASSERT_EQ(c.start(), TNTREE_STARTED);
        const Report& r = RunWalker();
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.a, static_cast<std::uintptr_t>(TNTREE_TOO_DEEP));
        EXPECT_EQ(MemoryFiles::Get().cwd, "/l");
    }
    // The folder itself and TNTREE_MAX_DEPTH levels below it.
    EXPECT_EQ(LocalDirs().size(), 1u + 1u + TNTREE_MAX_DEPTH);
}

// A link inside a deleted folder goes by its own name, not "name -> target"; a listing over the
// entry cap fails the walk before anything is deleted.
TEST_F(FtpTreeTest, DeleteRemovesLinksAndRefusesAnOverCapListing) {
    remoteDirs.insert({"/r/top", "/r/top/sub"});
    links              = {"/r/top/ln", "/r/top/sub/ln2"};
    remote["/r/top/f"] = Pattern(3);
    ASSERT_EQ(TnFtpTreeDelete(session, "top"), TNTREE_STARTED);
    EXPECT_EQ(RunWalker().kind, TNTREE_REP_DELETE_DONE);
    EXPECT_TRUE(links.empty());
    EXPECT_EQ(remoteDirs, (std::set<std::string>{"/r"}));
    EXPECT_TRUE(std::find(commands.begin(), commands.end(), "DELE ln") != commands.end());

    remoteDirs.insert("/r/big");
    remote["/r/big/a"] = Pattern(1);
    remote["/r/big/b"] = Pattern(1);
    remote["/r/big/c"] = Pattern(1);
    Reports().clear();
    g_ftpListingEntryLimit = 2;
    ASSERT_EQ(TnFtpTreeDelete(session, "big"), TNTREE_STARTED);
    const Report r         = RunWalker();
    g_ftpListingEntryLimit = TNFTP_MAX_LISTING_ENTRIES;
    EXPECT_EQ(r.kind, TNTREE_REP_DELETE_FAILED);
    EXPECT_EQ(r.a, static_cast<std::uintptr_t>(TNTREE_LIST_TOO_LARGE));
    EXPECT_EQ(remote.size(), 3u);
}

// When the local folder cannot be read at the start, a failed download has no folder to go
// back to and stays where it is (not in the folder an earlier walk started from).
TEST_F(FtpTreeTest, UnreadableStartFolderIsNotReplacedByAStaleOne) {
    remoteDirs.insert("/r/top");
    ASSERT_EQ(TnFtpTreeDownload(session, "top", 1), TNTREE_STARTED);
    ASSERT_EQ(RunWalker().kind, TNTREE_REP_DOWNLOAD_DONE);
    LocalDirs().insert("/l/elsewhere");
    MemoryFiles::Get().cwd = "/l/elsewhere";
    LocalCwdFails()        = true;
    Reports().clear();
    ASSERT_EQ(TnFtpTreeDownload(session, "top", 1), TNTREE_STARTED);
    const Report& r = RunWalker();
    EXPECT_EQ(r.kind, TNTREE_REP_DOWNLOAD_FAILED);
    EXPECT_EQ(r.a, static_cast<std::uintptr_t>(TNTREE_LOCAL_DIR_FAILED));
    EXPECT_EQ(MemoryFiles::Get().cwd, "/l/elsewhere");
}

}  // namespace
}  // namespace tarnet::test
