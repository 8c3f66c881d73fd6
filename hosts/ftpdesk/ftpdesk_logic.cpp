#include "ftpdesk_logic.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings_store.h"
#include "tarnet/tndhcp.h"

namespace tarnet::ftpdesk {

FtpDesk* FtpDesk::instance_ = nullptr;

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

// A reply line or library message as shown: up to the first CR or LF, at most 299 characters,
// control bytes (which a hostile server may send) shown as '?'.
std::string Shown(const std::string& text) {
    std::string out = text.substr(0, text.find_first_of("\r\n"));
    if (out.size() > kReplyChars) {
        out.resize(kReplyChars);
    }
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return out;
}

// The text of a zero-padded field, without the padding; a field with no zero gives all of it.
std::string FieldText(const Settings::Record& record, std::size_t offset, std::size_t size) {
    const auto* begin = reinterpret_cast<const char*>(record.data() + offset);
    return std::string(begin, strnlen(begin, size));
}

// Copies `text` into a zero-padded field, leaving room for the terminating zero and never
// cutting a UTF-8 sequence in two.
void PutField(Settings::Record& record, std::size_t offset, std::size_t size,
              const std::string& text) {
    std::size_t n = std::min(text.size(), size - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    std::memcpy(record.data() + offset, text.data(), n);
}

// A plain decimal number that fits `max` (no sign, no blanks, no other text).
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    errno = 0;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0 && value <= max;
}

// A name the server listed that is safe as a local file name in the current folder.
bool PlainName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || u < 0x20 || u == 0x7F;
    });
}

bool LocalExists(const std::string& name) {
    struct stat info {};
    return stat(name.c_str(), &info) == 0;
}

const char* SkipReason(std::uintptr_t why) {
    switch (why) {
        case TNTREE_SKIP_UNSAFE_NAME:
            return "not a plain name";
        case TNTREE_SKIP_LINE_TOO_LONG:
            return "listing line too long";
        case TNTREE_SKIP_LINK:
            return "a symbolic link";
        case TNTREE_SKIP_UNREADABLE:
            return "listing line not understood";
        case TNTREE_SKIP_PRESENT:
            return "already present with the same size";
        default:
            return "not handled";
    }
}

}  // namespace

// ---- Settings ----------------------------------------------------------------------------------

Settings::Record Settings::Encode() const {
    Record record{};
    PutField(record, kServerOffset, kServerSize, server);
    PutField(record, kUserOffset, kUserSize, user);
    PutField(record, kPassOffset, kPassSize, password);
    for (std::size_t i = 0; i < 4; ++i) {
        record[kTimeoutAt + i] = static_cast<std::uint8_t>(timeoutMs >> (8 * i));
    }
    return record;
}

Settings Settings::Decode(const Record& record) {
    Settings s;
    s.server    = FieldText(record, kServerOffset, kServerSize - 1);
    s.user      = FieldText(record, kUserOffset, kUserSize - 1);
    s.password  = FieldText(record, kPassOffset, kPassSize - 1);
    s.timeoutMs = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        s.timeoutMs |= static_cast<std::uint32_t>(record[kTimeoutAt + i]) << (8 * i);
    }
    if (s.timeoutMs == 0) {
        s.timeoutMs = kDefaultTimeout;
    }
    return s;
}

std::uint64_t FileRow::Bytes() const {
    std::uint64_t value = 0;
    return ParseNumber(size, UINT64_MAX, value) ? value : 0;
}

// ---- Life cycle --------------------------------------------------------------------------------

FtpDesk::FtpDesk(View& view, desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill,
                 const TnFtpServices& services, const TnFtpTreeLocalFs& localFs)
    : view_(view),
      services_(services),
      localFs_(localFs),
      stack_(
          port,
          [fill = std::move(fill)](TnSockConfig& config) {
              fill(config);
              config.logText = LogText;
          },
          [this](const std::string& line) { Log(line); }) {
    instance_ = this;
    stack_.Session().AddListener(this);  // a lease fills the four address fields
}

FtpDesk::~FtpDesk() {
    Shutdown();
    TnFtpTreeDeinit();
    stack_.Session().RemoveListener(this);
    instance_ = nullptr;
}

void FtpDesk::LoadSettings(const std::string& folder) {
    settingsPath_           = folder + "/" + kSettingsFile;
    Settings::Record record = Settings{}.Encode();
    const desktop::SettingsStore store(settingsPath_);
    if (store.Load(record.data(), record.size()) != desktop::SettingsStore::Loaded::kMissing) {
        settings_ = Settings::Decode(record);
    }
    RefreshLocal();
    Status("Not Connected", false);
}

bool FtpDesk::SaveSettings() {
    if (settingsPath_.empty()) {
        return false;
    }
    const Settings::Record record = settings_.Encode();
    std::string error;
    if (!desktop::SettingsStore(settingsPath_).Save(record.data(), record.size(), error)) {
        Log("Settings not saved: " + error);
        return false;
    }
    return true;
}

bool FtpDesk::Initialise(const desktop::InitRequest& request) {
    if (!stack_.Initialise(request)) {
        return false;
    }
    TnFtpInit(&services_);  // a repeated start carries on with the library as it was
    ftpUp_ = true;
    TnFtpSetTimeout(&settings_.timeoutMs);
    TnFtpTreeInit(OnTreeReport, &localFs_);
    Log("Tarnet Initialized");
    return true;
}

void FtpDesk::Shutdown() {
    if (!ftpUp_ && !stack_.Up()) {
        return;
    }
    TnFtpDeinit();
    ftpUp_ = false;
    stack_.Shutdown();
    // The library's sessions are gone with it: the program is no longer connected.
    if (state_ != kNotConnected || recursive_) {
        state_     = kNotConnected;
        session_   = nullptr;
        recursive_ = false;
        remoteRows_.clear();
        view_.ShowRemoteFiles(remoteRows_);
        Status("Not Connected", false);
    }
    Log("TnSock de-initialized OK");
}

void FtpDesk::Close() {
    SaveSettings();
    TnFtpDeinit();
    TnFtpTreeDeinit();
    ftpUp_ = false;
    stack_.Shutdown();
    state_   = kNotConnected;
    session_ = nullptr;
}

// ---- Reporting ---------------------------------------------------------------------------------

void FtpDesk::Log(const std::string& text) {
    const desktop::LogRows::Change change = log_.Append(text);
    view_.LogAppended(log_.Last(), change == desktop::LogRows::Change::kEmptied);
}

void FtpDesk::Status(const std::string& text, bool failure) {
    view_.ShowStatus(text, failure);
}

void FtpDesk::Progress(int percent) {
    view_.ShowProgress(std::clamp(percent, 0, 100));
}

bool FtpDesk::Check(int rc) {
    if (rc == TNFTP_OK) {
        return true;
    }
    const char* text = TnFtpResultText(rc);
    Log(Format("TN FTP error: %s", text != nullptr ? text : "unknown result"));
    return false;
}

void FtpDesk::List() {
    if (session_ != nullptr) {
        Check(TnFtpList(session_));
    }
}

int FtpDesk::LogText(const char* text) {
    if (instance_ != nullptr && text != nullptr) {
        instance_->Log(text);
    }
    return 0;
}

// ---- Idle work ---------------------------------------------------------------------------------

bool FtpDesk::HasWork(void* context) {
    const auto* self = static_cast<const FtpDesk*>(context);
    std::uint64_t now[2]{};
    TnFtpGetCounters(now);
    // Counters still to be shown keep the work going until their next display.
    const bool unshown = self->ftpUp_ && (now[0] != self->shown_[0] || now[1] != self->shown_[1]);
    // A logged-in session with nothing outstanding needs no ticks: the program sleeps until the
    // next frame, timer or user action (which runs a pass of its own).
    return TnFtpNeedsTick() != 0 || self->recursive_ || unshown;
}

void FtpDesk::Work(void* context) {
    auto* self = static_cast<FtpDesk*>(context);
    TnFtpTimerTick();
    TnFtpTreeDispatch();
    self->ShowCountersIfChanged(false);
}

void FtpDesk::ShowCountersIfChanged(bool force) {
    const std::uint64_t now = services_.getTickCount != nullptr ? services_.getTickCount() : 0;
    if (!force && countersShownOnce_ && now - lastCountersMs_ < kCounterPeriodMs) {
        return;
    }
    lastCountersMs_    = now;
    countersShownOnce_ = true;
    std::uint64_t counters[2]{};
    TnFtpGetCounters(counters);
    if (counters[0] != shown_[0] || counters[1] != shown_[1]) {
        shown_[0] = counters[0];
        shown_[1] = counters[1];
        view_.ShowCounters(counters[0], counters[1]);
    }
}

// ---- Lists -------------------------------------------------------------------------------------

void FtpDesk::RefreshLocal() {
    std::vector<FileRow> directories;
    std::vector<FileRow> files;
    if (DIR* dir = opendir("."); dir != nullptr) {
        while (const dirent* entry = readdir(dir)) {
            struct stat info {};
            const bool known = stat(entry->d_name, &info) == 0;
            const bool isDir = known && S_ISDIR(info.st_mode);
            FileRow row{isDir ? "d" : " ", entry->d_name,
                        std::to_string(known ? static_cast<std::uint64_t>(info.st_size) : 0)};
            (isDir ? directories : files).push_back(std::move(row));
        }
        closedir(dir);
    }
    const auto byName = [](const FileRow& x, const FileRow& y) { return x.name < y.name; };
    std::sort(directories.begin(), directories.end(), byName);
    std::sort(files.begin(), files.end(), byName);
    // Directories in front of the first file, files at the end.
    localRows_ = std::move(directories);
    localRows_.insert(localRows_.end(), files.begin(), files.end());
    localSelected_ = -1;
    view_.ShowLocalFiles(localRows_);
}

void FtpDesk::FillRemote(const char* bytes, int count) {
    remoteRows_.clear();
    remoteSelected_ = -1;
    TnList entries{};
    TnListInit(&entries);
    if (TnFtpParseListing(bytes,
                          count > 0 && bytes != nullptr ? static_cast<std::uint32_t>(count) : 0,
                          &entries, nullptr) < 0) {
        Log("Remote listing could not be read: out of memory");
    }
    for (const TnListNode* node = entries.first; node != nullptr; node = node->next) {
        FileRow row{node->extra2 != nullptr ? static_cast<const char*>(node->extra2) : " ",
                    static_cast<const char*>(node->payload),
                    node->extra1 != nullptr ? static_cast<const char*>(node->extra1) : "0"};
        if (row.size == "<DIR>") {
            row.size = "0";
            row.type = "d";
        }
        if (remoteRows_.empty() && row.name != "." && row.name != "..") {
            remoteRows_.push_back(FileRow{"d", "..", "0"});
        }
        remoteRows_.push_back(std::move(row));
    }
    TnListFreeAll(&entries);
    if (remoteRows_.empty()) {
        remoteRows_.push_back(FileRow{"d", "..", "0"});
    }
    view_.ShowRemoteFiles(remoteRows_);
}

const FileRow* FtpDesk::Remote() const {
    return remoteSelected_ >= 0 && static_cast<std::size_t>(remoteSelected_) < remoteRows_.size()
               ? &remoteRows_[static_cast<std::size_t>(remoteSelected_)]
               : nullptr;
}

const FileRow* FtpDesk::Local() const {
    return localSelected_ >= 0 && static_cast<std::size_t>(localSelected_) < localRows_.size()
               ? &localRows_[static_cast<std::size_t>(localSelected_)]
               : nullptr;
}

void FtpDesk::OpenRemote(int row) {
    if (!Ready() || row < 0 || static_cast<std::size_t>(row) >= remoteRows_.size()) {
        return;
    }
    Check(TnFtpCwd(session_, remoteRows_[static_cast<std::size_t>(row)].name.c_str()));
}

void FtpDesk::OpenLocal(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= localRows_.size()) {
        return;
    }
    if (chdir(localRows_[static_cast<std::size_t>(row)].name.c_str()) == 0) {
        RefreshLocal();
    }
}

// ---- Actions -----------------------------------------------------------------------------------

void FtpDesk::Connect(const ConnectFields& fields) {
    if (state_ != kNotConnected) {
        return;
    }
    std::uint64_t timeout = 0;
    if (ParseNumber(fields.timeout, UINT32_MAX, timeout)) {
        settings_.timeoutMs = static_cast<std::uint32_t>(timeout);
        TnFtpSetTimeout(&settings_.timeoutMs);  // 0 comes back as 15000
    }
    // A port that is not a number from 1 to 65535 would connect somewhere the user never asked.
    std::uint64_t port = 0;
    if (!ParseNumber(fields.port, 65535, port) || port == 0) {
        Log("Cannot connect: no port specified");
        return;
    }
    settings_.port     = static_cast<std::uint16_t>(port);
    settings_.server   = fields.server;
    settings_.user     = fields.user;
    settings_.password = fields.password;
    const TnFtpConnectParams params{
        settings_.server.c_str(),   settings_.port, settings_.user.c_str(),
        settings_.password.c_str(), OnFtpEvent,     reinterpret_cast<std::uintptr_t>(this)};
    TnFtpSession* session = nullptr;
    const int rc          = TnFtpConnect(&params, &session);
    if (rc != TNFTP_OK) {
        state_                 = kNotConnected;
        const char* text       = TnFtpResultText(rc);
        const std::string line = Format("TN FTP error: %s", text != nullptr ? text : "unknown");
        Status(line, true);
        Log(line);
        return;
    }
    session_ = session;
    state_   = kConnecting;
    Status("Connecting", false);
    Log("Connecting");
    Progress(0);
}

void FtpDesk::Disconnect() {
    if (state_ != kConnecting && state_ != kLoggedIn) {
        return;
    }
    if (!Check(TnFtpClose(session_))) {
        return;
    }
    session_ = nullptr;
    if (recursive_) {
        // The walk's session is gone without an event to end it: start the walker afresh so
        // that the folder actions are not blocked for good.
        TnFtpTreeDeinit();
        TnFtpTreeInit(OnTreeReport, &localFs_);
        recursive_ = false;
    }
    remoteRows_.clear();
    view_.ShowRemoteFiles(remoteRows_);
    state_ = kNotConnected;
    Status("Not Connected", false);
    Log("Disconnected");
    Progress(0);
}

void FtpDesk::GetFile() {
    const FileRow* row = Remote();
    if (!Ready() || row == nullptr) {
        return;
    }
    if (row->IsDirectory()) {
        Log("Remote file is a directory, not proceeding.");
        return;
    }
    // The local file takes the listed name: one with a separator would land in another folder.
    if (!PlainName(row->name)) {
        Log("Remote file name is not a plain name, not proceeding.");
        return;
    }
    const std::string name   = row->name;
    const std::uint64_t size = row->Bytes();
    if (LocalExists(name)) {
        Question q{"Confirm file overwrite", "File already exists. Overwrite?", false, {}};
        if (!view_.Ask(q)) {
            return;
        }
    }
    Log(Format("Getting file %s ...", name.c_str()));
    if (Check(TnFtpGetFile(session_, name.c_str(), static_cast<std::uint32_t>(size),
                           static_cast<std::uint32_t>(size >> 32)))) {
        receiveSize_ = size;
        received_    = 0;
        Progress(0);
    }
}

void FtpDesk::SendFile() {
    if (!Ready()) {
        return;
    }
    const FileRow* row = Local();
    if (row == nullptr) {
        Log("No local filename selected, please select from the list");
        return;
    }
    if (row->IsDirectory()) {
        Log("Local file is a directory, not proceeding.");
        return;
    }
    const std::string name   = row->name;
    const std::uint64_t size = row->Bytes();
    const bool listed        = std::any_of(remoteRows_.begin(), remoteRows_.end(),
                                           [&](const FileRow& r) { return r.name == name; });
    if (listed) {
        Question q{"Confirm file overwrite", "File exists on remote. Overwrite?", false, {}};
        if (!view_.Ask(q)) {
            return;
        }
    }
    if (Check(TnFtpPutFile(session_, name.c_str()))) {
        sendSize_ = size;
        sent_     = 0;
        Progress(0);
        Log(Format("Sending file %s ...", name.c_str()));
    }
}

void FtpDesk::Abort() {
    if (Ready() && Check(TnFtpAbort(session_))) {
        Log("Abort by user...");
    }
}

void FtpDesk::MkDir() {
    if (!Ready()) {
        return;
    }
    nameBuffer_.clear();
    Question q{"Create Directory", "Okay to Create Directory?", true, nameBuffer_};
    if (!view_.Ask(q)) {
        return;
    }
    nameBuffer_ = q.edit;
    Log("Creating Directory..");
    Check(TnFtpMkd(session_, nameBuffer_.c_str()));
}

bool FtpDesk::AskName(const char* title, const char* message, const std::string& preset,
                      bool checkBox, std::string& name, bool& emptied) {
    nameBuffer_ = preset.substr(0, kNameChars);
    Question q{title, message, true, nameBuffer_, checkBox, overwrite_};
    if (!view_.Ask(q)) {
        return false;
    }
    nameBuffer_ = q.edit;
    if (checkBox) {
        overwrite_ = q.checked;
    }
    name    = nameBuffer_;
    emptied = name.empty();
    return true;
}

void FtpDesk::RmDir() {
    const FileRow* row = Remote();
    std::string name;
    bool emptied = false;
    if (!Ready() || row == nullptr ||
        !AskName("Delete Directory", "Okay to Delete Directory?", row->name, false, name,
                 emptied)) {
        return;
    }
    if (emptied) {
        Log("cannot remove directory with null name, not proceeding");
        return;
    }
    Log("Removing Directory..");
    Check(TnFtpRmd(session_, name.c_str()));
}

void FtpDesk::DeleteFile() {
    const FileRow* row = Remote();
    std::string name;
    bool emptied = false;
    if (!Ready() || row == nullptr ||
        !AskName("Delete File", "Okay to Delete File?", row->name, false, name, emptied)) {
        return;
    }
    if (emptied) {
        Log("cannot delete null name, not proceeding");
        return;
    }
    Log("Deleting File..");
    Check(TnFtpDele(session_, name.c_str()));
}

void FtpDesk::Rename() {
    const FileRow* row = Remote();
    if (!Ready() || row == nullptr || row->name.size() >= kRenameLimit) {
        return;
    }
    const std::string from  = row->name;
    const std::string title = Format("Rename from: %s", from.c_str());
    nameBuffer_             = from;
    Question q{title, "Type pathname to rename to:", true, nameBuffer_};
    if (!view_.Ask(q)) {
        return;
    }
    nameBuffer_ = q.edit;
    if (nameBuffer_.empty()) {
        Log("cannot rename to null name, not proceeding");
        return;
    }
    Log(title);
    Check(TnFtpRename(session_, from.c_str(), nameBuffer_.c_str()));
}

void FtpDesk::Noop() {
    if (Ready()) {
        Log("Sending NOOP command..");
        Check(TnFtpNoop(session_));
    }
}

void FtpDesk::GetCurrentDir() {
    if (Ready()) {
        Log("Requesting Current Working Direcrory name...");
        Check(TnFtpPwd(session_));
    }
}

void FtpDesk::StartTree(const char* failFormat, int rc) {
    if (rc != TNTREE_STARTED) {
        Log(Format(failFormat, static_cast<unsigned>(rc)));
        recursive_ = false;
    }
}

void FtpDesk::DeleteFolder() {
    if (!Ready() || recursive_) {
        return;
    }
    const FileRow* row = Remote();
    std::string name;
    bool emptied = false;
    if (!AskName("Recursive Delete Folder", "Okay to Delete Folder and all contents?",
                 row != nullptr ? row->name : std::string(), false, name, emptied)) {
        return;
    }
    Log(Format("Recursive Deleting Folder..%s", name.c_str()));
    if (emptied) {
        return;
    }
    recursive_ = true;
    StartTree("Recursive folder delete failed (RC=%u)", TnFtpTreeDelete(session_, name.c_str()));
}

void FtpDesk::DownloadFolder() {
    if (!Ready() || recursive_) {
        return;
    }
    const FileRow* row = Remote();
    std::string name;
    bool emptied = false;
    if (!AskName("Recursive Download Folder", "Okay to Download Folder and all contents?",
                 row != nullptr ? row->name : std::string(), true, name, emptied)) {
        return;
    }
    Log(Format("Recursive Downloading Folder..%s", name.c_str()));
    if (emptied) {
        return;
    }
    recursive_ = true;
    StartTree("Recursive folder download failed (RC=%u)",
              TnFtpTreeDownload(session_, name.c_str(), overwrite_ ? 1 : 0));
}

void FtpDesk::UploadFolder() {
    if (!Ready() || recursive_) {
        return;
    }
    const FileRow* row = Local();
    std::string name;
    bool emptied = false;
    if (!AskName("Recursive Upload Folder", "Okay to Upload Folder and all contents?",
                 row != nullptr ? row->name : std::string(), false, name, emptied)) {
        return;
    }
    Log(Format("Recursive Uploading Folder..%s", name.c_str()));
    if (emptied) {
        return;
    }
    recursive_ = true;
    StartTree("Recursive folder upload failed (RC=%u)", TnFtpTreeUpload(session_, name.c_str()));
}

// ---- The library's events ----------------------------------------------------------------------

void FtpDesk::OnFtpEvent(std::uintptr_t, int event, const char* text, int textLength,
                         std::uintptr_t extra) {
    FtpDesk* self = instance_;
    if (self == nullptr) {
        return;
    }
    // While a walk runs, its session's events are the walker's, except the ones only this
    // program asks for (login, connect error, NOOP, PWD, rename).
    const bool walkers = event == TNFTP_EV_CLOSED ||
                         (event >= TNFTP_EV_SERVER_ERROR && event <= TNFTP_EV_DELE_DONE) ||
                         event == TNFTP_EV_BYTES_SENT || event == TNFTP_EV_BYTES_RECEIVED;
    if (self->recursive_ && walkers) {
        TnFtpTreeOnEvent(self->session_, event, text, textLength, extra);
        return;
    }
    if (event == TNFTP_EV_LISTING) {
        self->FillRemote(text, textLength);
        return;
    }
    self->HandleEvent(event, text != nullptr ? std::string(text) : std::string(), textLength,
                      extra);
}

void FtpDesk::Lost(const std::string& status, const std::string& line, bool disconnected) {
    state_   = kNotConnected;
    session_ = nullptr;  // the library releases it when the event returns
    Status(status, true);
    Log(line);
    if (disconnected) {
        Log("Disconnected");
        remoteRows_.clear();
        view_.ShowRemoteFiles(remoteRows_);
    }
}

bool FtpDesk::HandleSessionEvent(int event, const std::string& text, std::uintptr_t extra) {
    const int op = static_cast<int>(extra);
    switch (event) {
        case TNFTP_EV_LOGGED_IN: {
            state_                 = kLoggedIn;
            const std::string line = "Connected to Server. " + Shown(text);
            Status(line, false);
            Log(line);
            List();
            return true;
        }
        case TNFTP_EV_CLOSED: {
            const std::string line = Format("(%d) FTP Connection Closed", op);
            Lost(line, line, false);
            return true;
        }
        case TNFTP_EV_CONNECT_ERROR:
            Lost("FTP Connection Failed", Shown(text), false);
            return true;
        case TNFTP_EV_SERVER_ERROR:
        case TNFTP_EV_UNEXPECTED_REPLY:
        case TNFTP_EV_UNKNOWN_REPLY: {
            const char* what       = event == TNFTP_EV_SERVER_ERROR       ? "Server Error"
                                     : event == TNFTP_EV_UNEXPECTED_REPLY ? "Unexpected"
                                                                          : "Unknown";
            const std::string line = Format("(%d) %s: %s", op, what, Shown(text).c_str());
            Lost(line, line, true);
            return true;
        }
        case TNFTP_EV_NO_FREE_CONTEXT:
            Lost("FTP Connection Closed - No Free Contexts",
                 "FTP Connection Closed - No Free Contexts", false);
            return true;
        case TNFTP_EV_TIMEOUT: {
            const std::string line =
                "ERROR: TIMEOUT WAITING FOR SERVER RESPONSE: (" + Shown(text) + ")";
            Lost(line, line, true);
            return true;
        }
        case TNFTP_EV_NO_MEMORY: {
            const std::string line = Format("(%d) FTP Connection Closed - No Free Memory", op);
            Lost(line, line, false);
            return true;
        }
        default:
            return false;
    }
}

void FtpDesk::HandleEvent(int event, const std::string& text, int textLength,
                          std::uintptr_t extra) {
    (void)textLength;
    if (HandleSessionEvent(event, text, extra)) {
        return;
    }
    const std::string reply = Shown(text);
    const int op            = static_cast<int>(extra);
    switch (event) {
        case TNFTP_EV_CWD_FAILED:
            Log("Change directory failed: " + reply);
            break;
        case TNFTP_EV_CWD_DONE:
            Log("Changed Directory: " + reply);
            List();
            break;
        case TNFTP_EV_RECEIVE_COMPLETE:
            Progress(100);
            Log(Format("File receive complete (%llu) bytes",
                       static_cast<unsigned long long>(received_)));
            RefreshLocal();
            break;
        case TNFTP_EV_SEND_COMPLETE:
            Progress(100);
            Log(Format("File sending complete (%llu) bytes",
                       static_cast<unsigned long long>(sent_)));
            List();
            break;
        case TNFTP_EV_RECEIVE_FAILED:
            Log("File receive failed: incomplete");
            if (!reply.empty()) {
                Log("File receive failed: " + reply);  // the library's own words
            }
            RefreshLocal();
            break;
        case TNFTP_EV_TYPE_FAILED:
            Log(Format("(%d) Setting transfer type failed: %s", op, reply.c_str()));
            break;
        case TNFTP_EV_SEND_FAILED:
            Log(reply.empty() ? Format("(%d) File Send Failed", op)
                              : Format("(%d) File Send Failed: %s", op, reply.c_str()));
            break;
        case TNFTP_EV_ABORT_DONE:
            Log(Format("(%d) Abort completed: %s", op, reply.c_str()));
            break;
        case TNFTP_EV_MKD_FAILED:
            Log("Create directory failed: " + reply);
            break;
        case TNFTP_EV_MKD_DONE:
            Log("Created Directory: " + reply);
            List();
            break;
        case TNFTP_EV_RMD_FAILED:
            Log("Deleting directory failed: " + reply);
            break;
        case TNFTP_EV_RMD_DONE:
            Log("Deleted Directory: " + reply);
            List();
            break;
        case TNFTP_EV_DELE_FAILED:
            Log("Deleting file failed: " + reply);
            break;
        case TNFTP_EV_DELE_DONE:
            Log("Deleted File: " + reply);
            List();
            break;
        case TNFTP_EV_NOOP_DONE:
            Log("NOOP complete: " + reply);
            break;
        case TNFTP_EV_PWD_DONE:
            Log("Current Directory=" +
                Shown(extra != 0 ? reinterpret_cast<const char*>(extra) : reply.c_str()));
            break;
        case TNFTP_EV_PWD_FAILED:
            Log("Get current directory failed: " + reply);
            break;
        case TNFTP_EV_RENAME_DONE:
            Log("File or folder renamed: Success");
            List();
            break;
        case TNFTP_EV_RENAME_FAILED:
            Log("Rename failed: " + reply);
            break;
        case TNFTP_EV_BYTES_SENT:
            sent_ += extra;
            if (sendSize_ != 0) {
                Progress(static_cast<int>(std::min<std::uint64_t>(sent_ * 100 / sendSize_, 100)));
            }
            break;
        case TNFTP_EV_BYTES_RECEIVED:
            received_ += extra;
            if (receiveSize_ != 0) {
                Progress(
                    static_cast<int>(std::min<std::uint64_t>(received_ * 100 / receiveSize_, 100)));
            }
            break;
        default:
            Log(Format("FTP event %d: %s", event, reply.c_str()));  // nothing goes unshown
            break;
    }
}

// ---- The walker's reports ----------------------------------------------------------------------

void FtpDesk::OnTreeReport(TnFtpSession*, int kind, std::uintptr_t a, std::uintptr_t b) {
    if (instance_ != nullptr) {
        instance_->HandleReport(kind, a, b);
    }
}

bool FtpDesk::SessionStillThere(std::uintptr_t event) {
    const char* status = nullptr;
    switch (event) {
        case TNFTP_EV_CLOSED:
            status = "Ftp control connection closed. Session closed.";
            break;
        case TNFTP_EV_SERVER_ERROR:
            status = "Ftp control connection closed. Server Error Received.";
            break;
        case TNFTP_EV_UNEXPECTED_REPLY:
            status = "Ftp control connection closed. Unexpected Event.";
            break;
        case TNFTP_EV_UNKNOWN_REPLY:
            status = "Ftp control connection closed. Unknown Event.";
            break;
        case TNFTP_EV_NO_FREE_CONTEXT:
            status = "Ftp control connection closed. No Free Contexts.";
            break;
        case TNFTP_EV_TIMEOUT:
            status = "Timeout waiting for server reponse. Session closed.";
            break;
        case TNFTP_EV_NO_MEMORY:
            status = "Ftp control connection closed. Out of Memory.";
            break;
        default:
            return true;
    }
    state_   = kNotConnected;
    session_ = nullptr;
    Status(status, true);
    Log(event == TNFTP_EV_TIMEOUT ? "Disconnected" : "Ftp control connection closed");
    return false;
}

void FtpDesk::HandleItem(int kind, std::uintptr_t a, std::uintptr_t b) {
    static constexpr const char* kWhat[3][3] = {
        {"Recursive Folder Delete",   "Deleting",    "item deleted"   },
        {"Recursive Folder Download", "Downloading", "item downloaded"},
        {"Recursive Folder Upload",   "Uploading",   "item uploaded"  },
    };
    const auto* what = kWhat[kind - TNTREE_REP_DELETE_ITEM];
    if (b == 1 && a != 0) {
        Log(Format("%s: %s: %s", what[0], what[1],
                   Shown(reinterpret_cast<const char*>(a)).c_str()));
    } else {
        Log(Format("%s: %s", what[0], what[2]));
    }
}

void FtpDesk::HandleReport(int kind, std::uintptr_t a, std::uintptr_t b) {
    const auto rc = static_cast<unsigned>(a);
    const auto ev = static_cast<unsigned>(b);
    // With TNTREE_ENTRIES_SKIPPED `b` counts skipped entries; it is no library event.
    const bool eventInB = a != TNTREE_ENTRIES_SKIPPED;
    switch (kind) {
        case TNTREE_REP_DELETE_FAILED:
        case TNTREE_REP_UPLOAD_FAILED:
            recursive_ = false;
            Log(
                Format("Recursive Folder %s: Failed (RC=%u) (core ev=%u) Requesting remote "
                       "listing..",
                       kind == TNTREE_REP_DELETE_FAILED ? "Delete" : "Upload", rc, ev));
            if (!eventInB || SessionStillThere(b)) {
                List();
            }
            break;
        case TNTREE_REP_DOWNLOAD_FAILED:
            recursive_ = false;
            Log(Format("Recursive Folder Download: Failed (RC=%u) (core ev=%u)", rc, ev));
            if (eventInB) {
                SessionStillThere(b);
            }
            RefreshLocal();
            break;
        case TNTREE_REP_DELETE_DONE:
            recursive_ = false;
            Log("Recursive Folder Delete: Success. Requesting remote listing..");
            List();
            break;
        case TNTREE_REP_DOWNLOAD_DONE:
            recursive_ = false;
            Log("Recursive Folder Download: Success.");
            RefreshLocal();
            break;
        case TNTREE_REP_UPLOAD_DONE:
            recursive_ = false;
            Log("Recursive Folder Upload: Success. Requesting remote listing..");
            List();
            break;
        case TNTREE_REP_DELETE_ITEM:
        case TNTREE_REP_DOWNLOAD_ITEM:
        case TNTREE_REP_UPLOAD_ITEM:
            HandleItem(kind, a, b);
            break;
        case TNTREE_REP_PERCENT:
            Progress(static_cast<int>(std::min<std::uintptr_t>(a, 100)));
            break;
        case TNTREE_REP_ENTRY_SKIPPED:
            if (b != TNTREE_SKIP_PRESENT) {
                Log(Format(
                    "Recursive Folder: skipped %s: %s",
                    a != 0 ? Shown(reinterpret_cast<const char*>(a)).c_str() : "a listing line",
                    SkipReason(b)));
            } else {
                Log(Format("Recursive Folder: kept %s: %s",
                           a != 0 ? Shown(reinterpret_cast<const char*>(a)).c_str() : "a file",
                           SkipReason(b)));
            }
            break;
        default:
            Log(Format("Recursive Folder: report %d (%u, %u)", kind, rc, ev));
            break;
    }
}

}  // namespace tarnet::ftpdesk
