// ftpdesk's logic without any widget: the connection state, the settings record "ftpapp.cfg",
// every action of the buttons and menus with its conditions and log lines, the FTP library's
// events and the folder walker's reports, the local and remote file rows, and the idle work.
// The window (ftpdesk_window.h) is a thin View over it; tests drive it on the harness's virtual
// clock against a scripted server.
//
// The stack, the FTP library and the walker are one instance per process, and so is this class:
// their callbacks reach the instance through a static pointer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "desktop_stack.h"
#include "log_rows.h"
#include "tarnet/tnftp.h"

namespace tarnet::ftpdesk {

inline constexpr std::size_t kLogRows           = 1000;
inline constexpr std::size_t kLogChars          = 600;
inline constexpr std::size_t kReplyChars        = 299;  // reply texts up to the first CR
inline constexpr std::size_t kNameChars         = 511;  // the dialog's edit field
inline constexpr std::size_t kRenameLimit       = 300;  // names this long are not renamed
inline constexpr std::uint64_t kCounterPeriodMs = 2000;
inline constexpr std::uint32_t kDefaultTimeout  = 15000;
inline constexpr const char* kSettingsFile      = "ftpapp.cfg";
// The sandbox's DNS serves this name for its FTP server (scripts/netns-sandbox).
inline constexpr const char* kDefaultServer = "ftp.tarnet.test";

enum State : int { kNotConnected = 0, kConnecting = 1, kLoggedIn = 3 };

// "ftpapp.cfg": 460 bytes, no header. Server name (256), user name (100) and password (100),
// each zero-padded text, then the reply timeout in ms as u32 little-endian (0 reads as 15000).
struct Settings {
    static constexpr std::size_t kSize         = 460;
    static constexpr std::size_t kServerOffset = 0;
    static constexpr std::size_t kServerSize   = 256;
    static constexpr std::size_t kUserOffset   = 256;
    static constexpr std::size_t kUserSize     = 100;
    static constexpr std::size_t kPassOffset   = 356;
    static constexpr std::size_t kPassSize     = 100;
    static constexpr std::size_t kTimeoutAt    = 456;
    using Record                               = std::array<std::uint8_t, kSize>;

    std::string server      = kDefaultServer;
    std::string user        = "anonymous";
    std::string password    = {};
    std::uint32_t timeoutMs = kDefaultTimeout;
    std::uint16_t port      = 21;  // kept only for the running program

    Record Encode() const;
    static Settings Decode(const Record& record);
};

// One row of either file list.
struct FileRow {
    std::string type;  // "d" for a directory, " " (local) or the listing's letter otherwise
    std::string name;
    std::string size;  // decimal text
    bool IsDirectory() const { return type == "d"; }
    std::uint64_t Bytes() const;
};

// The connection area as the user left it.
struct ConnectFields {
    std::string server;
    std::string port;
    std::string user;
    std::string password;
    std::string timeout;
};

// The confirmation dialog: title, message, optional edit field (preset, read back on OK),
// optional "Overwrite Local Files?" box.
struct Question {
    std::string title;
    std::string message;
    bool hasEdit = false;
    std::string edit;
    bool hasCheckBox = false;
    bool checked     = false;
};

// What the window shows; the logic tells it every change.
class View {
  public:
    virtual ~View()                                                       = default;
    virtual void LogAppended(const std::string& row, bool emptiedFirst)   = 0;
    virtual void ShowStatus(const std::string& text, bool failure)        = 0;
    virtual void ShowProgress(int percent)                                = 0;
    virtual void ShowCounters(std::uint64_t sent, std::uint64_t received) = 0;
    virtual void ShowLocalFiles(const std::vector<FileRow>& rows)         = 0;
    virtual void ShowRemoteFiles(const std::vector<FileRow>& rows)        = 0;
    virtual void ShowLease(const TnDhcpLease& lease)                      = 0;
    // The modal confirmation dialog: true for OK (edit and box copied back), false for Cancel.
    virtual bool Ask(Question& question) = 0;
};

class FtpDesk : private platform::StackListener {
  public:
    // `services` and `localFs` are the host's file services for the library and the walker.
    FtpDesk(View& view, desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill,
            const TnFtpServices& services, const TnFtpTreeLocalFs& localFs);
    ~FtpDesk() override;
    FtpDesk(const FtpDesk&)            = delete;
    FtpDesk& operator=(const FtpDesk&) = delete;

    // "ftpapp.cfg" in `folder` (the folder the program started in): read now, written by
    // SaveSettings to the same place whatever the local folder is by then.
    void LoadSettings(const std::string& folder);
    bool SaveSettings();
    const Settings& CurrentSettings() const { return settings_; }
    const std::string& SettingsPath() const { return settingsPath_; }

    std::vector<std::string> LoadAdapters() { return stack_.LoadAdapters(); }
    bool Initialise(const desktop::InitRequest& request);
    void Shutdown();
    // The window's close: settings saved, the library, the walker and the stack shut down.
    void Close();

    // The list rows the user selected (-1: none).
    void SelectLocal(int row) { localSelected_ = row; }
    void SelectRemote(int row) { remoteSelected_ = row; }

    void Connect(const ConnectFields& fields);
    void Disconnect();
    void GetFile();
    void SendFile();
    void Abort();
    void MkDir();
    void RmDir();
    void DeleteFile();
    void Rename();
    void Noop();
    void GetCurrentDir();
    void DeleteFolder();
    void DownloadFolder();
    void UploadFolder();
    void OpenRemote(int row);
    void OpenLocal(int row);
    void RefreshLocal();

    // The loop's periodic work while a session or a walk is open: the library's tick, the
    // walker's queued events, and the byte counters at most every 2000 ms.
    static bool HasWork(void* context);
    static void Work(void* context);

    void Log(const std::string& text);
    // The walker's report (TnFtpTreeReportFn without the session).
    void HandleReport(int kind, std::uintptr_t a, std::uintptr_t b);

    State CurrentState() const { return state_; }
    bool Recursive() const { return recursive_; }
    TnFtpSession* Session() const { return session_; }
    bool OverwriteChoice() const { return overwrite_; }
    const std::deque<std::string>& LogRows() const { return log_.Rows(); }
    const std::vector<FileRow>& LocalRows() const { return localRows_; }
    const std::vector<FileRow>& RemoteRows() const { return remoteRows_; }
    const desktop::DesktopStack& Stack() const { return stack_; }

  private:
    static void OnFtpEvent(std::uintptr_t context, int event, const char* text, int textLength,
                           std::uintptr_t extra);
    static void OnTreeReport(TnFtpSession* session, int kind, std::uintptr_t a, std::uintptr_t b);
    void OnLease(const TnDhcpLease& lease) override { view_.ShowLease(lease); }
    static int LogText(const char* text);

    void HandleEvent(int event, const std::string& text, int textLength, std::uintptr_t extra);
    bool HandleSessionEvent(int event, const std::string& text, std::uintptr_t extra);
    void HandleItem(int kind, std::uintptr_t a, std::uintptr_t b);
    // The session check of the walker's failure reports: false when the library event `b`
    // ended the session.
    bool SessionStillThere(std::uintptr_t event);
    void FillRemote(const char* bytes, int count);
    void Lost(const std::string& status, const std::string& line, bool disconnected);

    // One check for every synchronous answer: false (and the line logged) unless TNFTP_OK.
    bool Check(int rc);
    void Status(const std::string& text, bool failure);
    void Progress(int percent);
    void List();
    void ShowCountersIfChanged(bool force);
    bool Ready() const { return state_ == kLoggedIn && session_ != nullptr; }
    const FileRow* Remote() const;
    const FileRow* Local() const;
    // The confirmation of RmDir, Delete File and the folder actions: the name typed, empty when
    // the user cancelled or emptied it (`emptied` tells which).
    bool AskName(const char* title, const char* message, const std::string& preset, bool checkBox,
                 std::string& name, bool& emptied);
    // After a walker start: an answer other than TNTREE_STARTED is logged and ends the walk.
    void StartTree(const char* failFormat, int rc);

    static FtpDesk* instance_;

    View& view_;
    TnFtpServices services_;
    const TnFtpTreeLocalFs& localFs_;
    desktop::DesktopStack stack_;
    desktop::LogRows log_{desktop::LogRows::Policy::kEmptyWhenFull, kLogRows, kLogChars};
    Settings settings_;
    std::string settingsPath_;
    State state_           = kNotConnected;
    TnFtpSession* session_ = nullptr;
    bool recursive_        = false;
    bool ftpUp_            = false;
    bool overwrite_        = false;  // the download dialog's box, kept between uses
    std::string nameBuffer_;         // the dialog's edit field, shared by the actions
    std::vector<FileRow> localRows_;
    std::vector<FileRow> remoteRows_;
    int localSelected_            = -1;
    int remoteSelected_           = -1;
    std::uint64_t sent_           = 0;  // this transfer's bytes, for the progress bar
    std::uint64_t received_       = 0;
    std::uint64_t sendSize_       = 0;
    std::uint64_t receiveSize_    = 0;
    std::uint64_t shown_[2]       = {0, 0};
    std::uint64_t lastCountersMs_ = 0;
    bool countersShownOnce_       = false;
};

}  // namespace tarnet::ftpdesk
