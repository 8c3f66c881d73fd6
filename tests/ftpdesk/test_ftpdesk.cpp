// ftpdesk's logic against the scripted FTP server on the harness: login and lists, every
// action's lines, the confirmations, the session-ending events and the walker's reports, the
// port field, the log's 1001st line and "ftpapp.cfg" byte for byte. The local lists show a
// temporary folder; the library is started once per process, so its files are the scripted
// server's in-memory ones (MemoryFiles) whatever services the program hands it.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "../ftp/ftp_server.h"
#include "ftp_files.h"
#include "ftpdesk_logic.h"

namespace tarnet::test {
namespace {

using namespace ftpdesk;
namespace fs = std::filesystem;

class OnePort : public desktop::AdapterPort {
  public:
    bool List(std::vector<desktop::AdapterEntry>& out, std::string&) override {
        out = {
            {"veth0", "Test link"}
        };
        return true;
    }
    bool Open(const std::string&, std::string&) override { return open = true; }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }
    bool open = false;
};

class RecordingView : public View {
  public:
    void LogAppended(const std::string&, bool emptied) override { emptiedAt += emptied ? 1 : 0; }
    void ShowStatus(const std::string& text, bool fail) override {
        status  = text;
        failure = fail;
    }
    void ShowProgress(int percent) override { progress = percent; }
    void ShowCounters(std::uint64_t s, std::uint64_t r) override { counters = {s, r}; }
    void ShowLocalFiles(const std::vector<FileRow>&) override {}
    void ShowRemoteFiles(const std::vector<FileRow>&) override {}
    void ShowLease(const TnDhcpLease&) override {}
    bool Ask(Question& q) override {
        asked.push_back(q.title + "|" + q.message);
        if (answers.empty()) {
            return false;  // Cancel
        }
        q.edit = answers.front();
        answers.pop_front();
        return true;
    }

    int emptiedAt = 0;
    std::string status;
    bool failure = false;
    int progress = -1;
    std::pair<std::uint64_t, std::uint64_t> counters{0, 0};
    std::vector<std::string> asked;
    std::deque<std::string> answers;  // the edit text of each OK, in order
};

class FtpDeskTest : public FtpTest {
  protected:
    void SetUp() override {
        FtpTest::SetUp();
        start  = fs::current_path();
        folder = fs::temp_directory_path() / ("ftpdesk-test-" + std::to_string(getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder / "work");
        fs::current_path(folder / "work");
        listing = Text(
            "drwxr-xr-x 2 u g 4096 Jan 01 00:00 pub\r\n"
            "-rw-r--r-- 1 u g 5 Jan 01 00:00 a.txt\r\n");
        remote["a.txt"] = Text("hello");
    }
    void TearDown() override {
        desk.reset();
        fs::current_path(start);
        fs::remove_all(folder);
        FtpTest::TearDown();
    }

    static Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

    void Make(const std::string& settingsFolder) {
        TnFtpServices services = platform::FtpHostServices();
        services.timerStart    = config.timerStart;
        services.timerStop     = config.timerStop;
        services.getTickCount  = config.getTickCount;
        desk                   = std::make_unique<FtpDesk>(
            view, port, [](TnSockConfig& c) { c = VirtualHost::Get().Config(); }, services,
            platform::FtpHostLocalFs());
        desk->LoadSettings(settingsFolder);
        desk->LoadAdapters();
        desktop::InitRequest request{0, "192.0.2.10", "02:54:4e:00:00:01", false};
        request.order = platform::StartOrder::kAdapterFirst;
        ASSERT_TRUE(desk->Initialise(request));
    }
    void LogIn(const std::string& portText = "21") {
        Make(folder.string());
        desk->Connect({"192.0.2.1", portText, "user", "secret", "15000"});
        Pump();
    }
    // The virtual clock, with the program's idle work on each millisecond.
    void Idle(std::uint64_t ms) {
        for (std::uint64_t t = 0; t < ms; ++t) {
            Advance(1);
            FtpDesk::Work(desk.get());
            Pump();
        }
    }
    std::vector<std::string> LogSince(std::size_t from) const {
        const auto& rows = desk->LogRows();
        return {rows.begin() + static_cast<std::ptrdiff_t>(from), rows.end()};
    }
    int RowOf(const std::string& name) const {
        for (std::size_t i = 0; i < desk->RemoteRows().size(); ++i) {
            if (desk->RemoteRows()[i].name == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::string bytes(static_cast<std::size_t>(fs::exists(path) ? fs::file_size(path) : 0),
                          '\0');
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }

    void OnCommand(const std::string& line) override {
        if (refuseRetr && line.rfind("RETR", 0) == 0) {
            ServerSend(Control(), "550 No such file.\r\n");
            return;
        }
        FtpTest::OnCommand(line);
    }

    fs::path start;
    fs::path folder;
    bool refuseRetr = false;
    OnePort port;
    RecordingView view;
    std::unique_ptr<FtpDesk> desk;
};

TEST_F(FtpDeskTest, ConnectLogsInAndFillsBothLists) {
    std::ofstream(folder / "work" / "local.bin") << "12345678";
    fs::create_directory(folder / "work" / "sub");
    LogIn();
    EXPECT_EQ(desk->CurrentState(), kLoggedIn);
    EXPECT_EQ(LogSince(0), (std::vector<std::string>{"Tarnet Initialized", "Connecting",
                                                     "Connected to Server. 230 logged in"}));
    EXPECT_EQ(view.status, "Connected to Server. 230 logged in");
    EXPECT_FALSE(view.failure);
    ASSERT_EQ(desk->RemoteRows().size(), 3u);
    EXPECT_EQ(desk->RemoteRows()[0].name, "..");  // put first: the listing has none
    EXPECT_EQ(desk->RemoteRows()[1].type, "d");
    EXPECT_EQ(desk->RemoteRows()[2].size, "5");
    std::vector<std::string> local;
    for (const FileRow& r : desk->LocalRows()) {
        local.push_back(r.type + r.name + "=" + r.size);
    }
    ASSERT_EQ(local.size(), 4u);
    EXPECT_EQ(local[0].substr(0, 2), "d.");
    EXPECT_EQ(local[2].substr(0, 4), "dsub");
    EXPECT_EQ(local[3], " local.bin=8");  // files after every directory
}

TEST(FtpDeskRows, SizesAreReadAsWhole64BitNumbers) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"0",                    0           },
        {"5",                    5           },
        {"12345678901",          12345678901u},
        {"18446744073709551615", UINT64_MAX  },
        {"18446744073709551616", 0           },
        {"",                     0           },
        {"<DIR>",                0           },
        {"-1",                   0           },
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ((FileRow{"-", "f", text}.Bytes()), value) << text;
    }
}

TEST_F(FtpDeskTest, PortFieldMustBeANumberFrom1To65535) {
    Make(folder.string());
    for (const char* text : {"", "abc", "0", "65536", "21x", "-21", " 21"}) {
        desk->Connect({"192.0.2.1", text, "user", "secret", "15000"});
        Pump();
        EXPECT_EQ(desk->LogRows().back(), "Cannot connect: no port specified") << text;
        EXPECT_EQ(desk->CurrentState(), kNotConnected) << text;
    }
    EXPECT_TRUE(synTargets.empty()) << "no connection attempt";
}

TEST_F(FtpDeskTest, ActionsLogTheirSuccessAndFailureLines) {
    struct Case {
        const char* name;
        std::function<void(FtpDesk&)> act;
        std::deque<std::string> answers;
        const char* verb;
        std::string reply;  // "" keeps the canned one
        std::vector<std::string> lines;
    };
    const auto onRow = [this](const char* row, void (FtpDesk::*f)()) {
        return [this, row, f](FtpDesk& d) {
            d.SelectRemote(RowOf(row));
            (d.*f)();
        };
    };
    const Case cases[] = {
        {"mkdir",
         [](FtpDesk& d) { d.MkDir(); },
         {"new"},
         "MKD",                                                                      "",
         {"Creating Directory..", "Created Directory: 257 \"x\" created"}                                },
        {"mkdir refused",
         [](FtpDesk& d) { d.MkDir(); },
         {"new"},
         "MKD",                                                                      "550 exists\r\n",
         {"Creating Directory..", "Create directory failed: 550 exists"}                                 },
        {"rmdir",
         onRow("pub",                                                  &FtpDesk::RmDir),
         {"pub"},
         "RMD",                                                                                        "",
         {"Removing Directory..", "Deleted Directory: 250 removed"}},
        {"rmdir emptied",
         onRow("pub",                                            &FtpDesk::RmDir),
         {""},
         nullptr,                                                                                         "",
         {"cannot remove directory with null name, not proceeding"}},
        {"delete",
         onRow("a.txt", &FtpDesk::DeleteFile),
         {"a.txt"},
         "DELE",                                                         "550 denied\r\n",
         {"Deleting File..", "Deleting file failed: 550 denied"}},
        {"delete emptied",
         onRow("a.txt",      &FtpDesk::DeleteFile),
         {""},
         nullptr,                                                                                "",
         {"cannot delete null name, not proceeding"}},
        {"rename",
         onRow("a.txt",                                                  &FtpDesk::Rename),
         {"b.txt"},
         "RNTO",                                       "",
         {"Rename from: a.txt", "File or folder renamed: Success"}},
        {"rename refused",
         onRow("a.txt",                                                       &FtpDesk::Rename),
         {"b.txt"},
         "RNFR",                                  "550 no\r\n",
         {"Rename from: a.txt", "Rename failed: 550 no"}},
        {"rename emptied",
         onRow("a.txt",                                                    &FtpDesk::Rename),
         {""},
         nullptr,                                              "",
         {"cannot rename to null name, not proceeding"}},
        {"noop",
         [](FtpDesk& d) { d.Noop(); },
         {},
         "NOOP",                                                                    "",
         {"Sending NOOP command..", "NOOP complete: 200 ok"}                                                  },
        {"pwd",
         [](FtpDesk& d) { d.GetCurrentDir(); },
         {},
         "PWD",                                                                     "",
         {"Requesting Current Working Direcrory name...", "Current Directory=\"/home/u\""}                                             },
        {"pwd refused",
         [](FtpDesk& d) { d.GetCurrentDir(); },
         {},
         "PWD",                                                                      "550 gone\r\n",
         {"Requesting Current Working Direcrory name...",
          "Get current directory failed: 550 gone"}               },
        {"cwd ..",
         [this](FtpDesk& d) { d.OpenRemote(RowOf("..")); },
         {},
         "CWD",                                                                      "",
         {"Changed Directory: 250 ok"}                                                      },
        {"cwd refused",
         [this](FtpDesk& d) { d.OpenRemote(RowOf("pub")); },
         {},
         "CWD",                                                                      "550 denied\r\n",
         {"Change directory failed: 550 denied"}                                                                   },
        {"get a directory",
         onRow("pub",           &FtpDesk::GetFile),
         {},
         nullptr, "",
         {"Remote file is a directory, not proceeding."}},
        {"send nothing selected",
         [](FtpDesk& d) {
             d.SelectLocal(-1);
             d.SendFile();
         },                                                  {},
         nullptr,                                                                         "",
         {"No local filename selected, please select from the list"}                                                                                     },
    };
    LogIn();
    const std::map<std::string, std::string> canned = replies;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        replies = canned;
        if (c.verb != nullptr && !c.reply.empty()) {
            replies[c.verb] = c.reply;
        }
        view.answers = c.answers;
        commands.clear();
        const std::size_t from = desk->LogRows().size();
        c.act(*desk);
        Pump();
        EXPECT_EQ(LogSince(from), c.lines);
        EXPECT_EQ(desk->CurrentState(), kLoggedIn);
        if (c.verb == nullptr) {
            EXPECT_TRUE(commands.empty());
        }
        Settle();
    }
}

// A listed name with a separator would put the download in another local folder.
TEST_F(FtpDeskTest, GetFileRefusesANameThatIsNotPlain) {
    listing = Text("-rw-r--r-- 1 u g 5 Jan 01 00:00 ../evil\r\n");
    LogIn();
    ASSERT_GE(RowOf("../evil"), 0);
    desk->SelectRemote(RowOf("../evil"));
    commands.clear();
    desk->GetFile();
    Pump();
    EXPECT_EQ(desk->LogRows().back(), "Remote file name is not a plain name, not proceeding.");
    EXPECT_TRUE(commands.empty());
}

TEST_F(FtpDeskTest, CancelSendsNothing) {
    std::ofstream(folder / "work" / "a.txt") << "local";
    LogIn();
    commands.clear();
    const int localA = [&] {
        for (std::size_t i = 0; i < desk->LocalRows().size(); ++i) {
            if (desk->LocalRows()[i].name == "a.txt") {
                return static_cast<int>(i);
            }
        }
        return -1;
    }();
    desk->SelectLocal(localA);
    desk->SendFile();
    desk->SelectRemote(RowOf("a.txt"));
    desk->GetFile();
    desk->MkDir();
    desk->RmDir();
    desk->DeleteFile();
    desk->Rename();
    desk->DeleteFolder();
    desk->DownloadFolder();
    Pump();
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(view.asked.size(), 8u);
    EXPECT_EQ(view.asked[0], "Confirm file overwrite|File exists on remote. Overwrite?");
    EXPECT_EQ(view.asked[1], "Confirm file overwrite|File already exists. Overwrite?");
    EXPECT_EQ(Read(folder / "work" / "a.txt"), "local");
}

TEST_F(FtpDeskTest, DownloadReplacesOnlyOnSuccessAndUploadSends) {
    std::ofstream(folder / "work" / "a.txt") << "an older and longer local file";
    MemoryFiles::Get().files["a.txt"] = Text("an older and longer local file");
    LogIn();
    desk->SelectRemote(RowOf("a.txt"));
    refuseRetr       = true;
    view.answers     = {""};
    std::size_t from = desk->LogRows().size();
    desk->GetFile();
    Pump();
    EXPECT_EQ(MemoryFiles::Get().files["a.txt"], Text("an older and longer local file"));
    EXPECT_TRUE(MemoryFiles::Get().finished.empty()) << "never opened";
    // The library ends the session on a refused RETR.
    EXPECT_EQ(LogSince(from),
              (std::vector<std::string>{"Getting file a.txt ...",
                                        "(11) Server Error: 550 No such file.", "Disconnected"}));
    Settle();
    desk->Connect({"192.0.2.1", "21", "user", "secret", "15000"});
    Pump();

    refuseRetr   = false;
    view.answers = {""};
    desk->SelectRemote(RowOf("a.txt"));
    from = desk->LogRows().size();
    desk->GetFile();
    Idle(50);
    EXPECT_EQ(MemoryFiles::Get().files["a.txt"], Text("hello")) << "cut to the received length";
    EXPECT_EQ(LogSince(from), (std::vector<std::string>{"Getting file a.txt ...",
                                                        "File receive complete (5) bytes"}));
    EXPECT_EQ(view.progress, 100);
    Settle();

    std::ofstream(folder / "work" / "up.bin") << "upload me";
    MemoryFiles::Get().files["up.bin"] = Text("upload me");
    desk->RefreshLocal();
    for (std::size_t i = 0; i < desk->LocalRows().size(); ++i) {
        if (desk->LocalRows()[i].name == "up.bin") {
            desk->SelectLocal(static_cast<int>(i));
        }
    }
    from = desk->LogRows().size();
    desk->SendFile();
    Idle(50);
    EXPECT_EQ(remote["up.bin"], Text("upload me"));
    EXPECT_EQ(LogSince(from), (std::vector<std::string>{"Sending file up.bin ...",
                                                        "File sending complete (9) bytes"}));
    Idle(2100);
    EXPECT_GE(view.counters.first, 9u);
    EXPECT_GE(view.counters.second, 5u);
}

TEST_F(FtpDeskTest, SessionEndingEventsReturnToNotConnected) {
    greeting = "421 Too many users\r\n";
    LogIn();
    EXPECT_EQ(desk->CurrentState(), kNotConnected);
    EXPECT_EQ(LogSince(2),
              (std::vector<std::string>{"(0) Server Error: 421 Too many users", "Disconnected"}));
    EXPECT_TRUE(view.failure);
    Settle();

    greeting = "220 ready\r\n";
    desk->Connect({"192.0.2.1", "21", "user", "secret", ""});
    Pump();
    ASSERT_EQ(desk->CurrentState(), kLoggedIn);
    replies["NOOP"] = "";  // never answered
    desk->Noop();
    const std::size_t from = desk->LogRows().size();
    Idle(15100);
    ASSERT_EQ(LogSince(from).size(), 2u);
    EXPECT_EQ(LogSince(from)[0].rfind("ERROR: TIMEOUT WAITING FOR SERVER RESPONSE: (", 0), 0u);
    EXPECT_EQ(LogSince(from)[1], "Disconnected");
    EXPECT_EQ(desk->CurrentState(), kNotConnected);
    EXPECT_TRUE(desk->RemoteRows().empty());
}

TEST_F(FtpDeskTest, WalkerReportsAndTheSessionCheck) {
    struct Case {
        int kind;
        std::uintptr_t a, b;
        std::vector<std::string> lines;
        State after;
        const char* status;  // nullptr: unchanged
    };
    const Case cases[] = {
        {TNTREE_REP_DELETE_ITEM,
         reinterpret_cast<std::uintptr_t>("x"),
         1,                                                                 {"Recursive Folder Delete: Deleting: x"},
         kLoggedIn,     nullptr                                              },
        {TNTREE_REP_DOWNLOAD_ITEM,
         0,                                        2,
         {"Recursive Folder Download: item downloaded"},
         kLoggedIn,     nullptr                                              },
        {TNTREE_REP_ENTRY_SKIPPED,
         reinterpret_cast<std::uintptr_t>("../x"),
         TNTREE_SKIP_UNSAFE_NAME,                                           {"Recursive Folder: skipped ../x: not a plain name"},
         kLoggedIn,     nullptr                                              },
        {TNTREE_REP_DOWNLOAD_DONE,
         0,                                        0,
         {"Recursive Folder Download: Success."},
         kLoggedIn,     nullptr                                              },
 // b counts skipped entries here: 3 is no TNFTP_EV_SERVER_ERROR.
        {TNTREE_REP_UPLOAD_FAILED,
         TNTREE_ENTRIES_SKIPPED,                   3,
         {"Recursive Folder Upload: Failed (RC=17) (core ev=3) Requesting remote listing.."},
         kLoggedIn,     nullptr                                              },
        {TNTREE_REP_DOWNLOAD_FAILED,
         TNTREE_FILE_FAILED,                       TNFTP_EV_RECEIVE_FAILED,
         {"Recursive Folder Download: Failed (RC=8) (core ev=14)"},
         kLoggedIn,     nullptr                                              },
        {TNTREE_REP_DELETE_FAILED,
         TNTREE_RMD_FAILED,                        TNFTP_EV_TIMEOUT,
         {"Recursive Folder Delete: Failed (RC=9) (core ev=7) Requesting remote listing..",
          "Disconnected"},
         kNotConnected, "Timeout waiting for server reponse. Session closed."},
        {TNTREE_REP_UPLOAD_FAILED,
         TNTREE_PUT_FAILED,                        TNFTP_EV_CLOSED,
         {"Recursive Folder Upload: Failed (RC=13) (core ev=1) Requesting remote listing..",
          "Ftp control connection closed"},
         kNotConnected, "Ftp control connection closed. Session closed."     },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.front());
        if (!desk || desk->CurrentState() != kLoggedIn) {
            desk.reset();
            Settle();
            LogIn();
        }
        const std::size_t from = desk->LogRows().size();
        desk->HandleReport(c.kind, c.a, c.b);
        EXPECT_EQ(LogSince(from), c.lines);
        EXPECT_EQ(desk->CurrentState(), c.after);
        if (c.status != nullptr) {
            EXPECT_EQ(view.status, c.status);
            EXPECT_TRUE(view.failure);
        }
        Pump();
    }
}

// Ending the session under a running walk, or the stack under a session, leaves nothing that
// blocks the next session's actions.
TEST_F(FtpDeskTest, DisconnectAndShutdownEndAWalkAndTheSession) {
    LogIn();
    autoTransfer = false;  // the walk waits for its first listing
    desk->SelectRemote(RowOf("pub"));
    view.answers = {"pub"};
    desk->DeleteFolder();
    Pump();
    ASSERT_TRUE(desk->Recursive());
    desk->Disconnect();
    EXPECT_FALSE(desk->Recursive());
    EXPECT_EQ(desk->LogRows().back(), "Disconnected");
    Settle();
    autoTransfer = true;
    desk->Connect({"192.0.2.1", "21", "user", "secret", "15000"});
    Pump();
    ASSERT_EQ(desk->CurrentState(), kLoggedIn);
    view.asked.clear();
    desk->DeleteFolder();  // cancelled: asked, so not blocked
    EXPECT_EQ(view.asked.size(), 1u);

    desk->Shutdown();
    EXPECT_EQ(desk->CurrentState(), kNotConnected);
    EXPECT_EQ(view.status, "Not Connected");
    EXPECT_EQ(desk->LogRows().back(), "TnSock de-initialized OK");
    desk->Noop();
    EXPECT_EQ(desk->LogRows().back(), "TnSock de-initialized OK") << "not logged in any more";
}

TEST_F(FtpDeskTest, TheLogIsEmptiedWhenThe1001stLineArrives) {
    Make(folder.string());
    while (desk->LogRows().size() < kLogRows) {
        desk->Log("line");
    }
    EXPECT_EQ(view.emptiedAt, 0);
    desk->Log("line 1001");
    EXPECT_EQ(view.emptiedAt, 1);
    EXPECT_EQ(desk->LogRows(), std::deque<std::string>{"line 1001"});
    desk->Log("next");
    EXPECT_EQ(desk->LogRows().size(), 2u);
}

TEST_F(FtpDeskTest, SettingsRecordByteForByte) {
    Settings::Record record{};
    const std::string server = "ftp.example.test", user = "joe", password = "pw";
    std::copy(server.begin(), server.end(), record.begin());
    std::copy(user.begin(), user.end(), record.begin() + 256);
    std::copy(password.begin(), password.end(), record.begin() + 356);
    // timeout 0 in the file: 15000 is used
    {
        std::ofstream out(folder / kSettingsFile, std::ios::binary);
        out.write(reinterpret_cast<const char*>(record.data()), record.size());
    }
    Make(folder.string());
    EXPECT_EQ(desk->CurrentSettings().server, server);
    EXPECT_EQ(desk->CurrentSettings().user, user);
    EXPECT_EQ(desk->CurrentSettings().password, password);
    EXPECT_EQ(desk->CurrentSettings().timeoutMs, 15000u);

    // The library waits 15 s for a reply, not 0.
    desk->Connect({"192.0.2.1", "21", "user", "secret", "not a number"});
    Pump();
    ASSERT_EQ(desk->CurrentState(), kLoggedIn);
    replies["NOOP"] = "";
    desk->Noop();
    Idle(14900);
    EXPECT_EQ(desk->CurrentState(), kLoggedIn);
    Idle(200);
    EXPECT_EQ(desk->CurrentState(), kNotConnected);

    // Written where it was read, though the local folder moved, as the Part's record: the
    // typed user and password, 15000 little-endian; owner-only.
    fs::current_path(folder / "work");
    desk->Close();
    const std::string bytes = Read(folder / kSettingsFile);
    ASSERT_EQ(bytes.size(), 460u);
    EXPECT_EQ(bytes.substr(0, 10), std::string("192.0.2.1\0", 10));
    EXPECT_EQ(bytes.substr(256, 5), std::string("user\0", 5));
    EXPECT_EQ(bytes.substr(356, 7), std::string("secret\0", 7));
    EXPECT_EQ(bytes.substr(456), std::string("\x98\x3a\0\0", 4));
    EXPECT_EQ(bytes.find_first_not_of('\0', 363), 456u) << "zero-padded";
    EXPECT_FALSE(fs::exists(folder / "work" / kSettingsFile));

    // A new file holds the password: owner-only.
    fs::remove(folder / kSettingsFile);
    ASSERT_TRUE(desk->SaveSettings());
    struct stat info {};
    ASSERT_EQ(stat((folder / kSettingsFile).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace tarnet::test
