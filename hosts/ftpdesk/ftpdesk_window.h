// ftpdesk's window: "Tarnet C Source Library: FTP Demo", a thin layer over FtpDesk. The adapter
// area, the connection fields, the local and remote file lists, the operation log, the status
// line, progress bar and byte counters, every button and menu item, each calling one action of
// the logic; the View callbacks keep the widgets current and ask through the confirmation
// dialog.
#pragma once

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <functional>
#include <map>
#include <memory>

#include "adapter_area.h"
#include "ftpdesk_logic.h"
#include "qt_loop.h"
#include "report_widgets.h"

namespace tarnet::ftpdesk {

// The project's own pages, which About and Buy Online open.
QUrl AboutUrl();
QUrl OrderUrl();

class FtpDeskWindow : public QMainWindow, private View {
  public:
    // `fill` puts the host callbacks into the stack's configuration; `settingsFolder` is where
    // "ftpapp.cfg" is read now and written at close.
    FtpDeskWindow(desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill,
                  const TnFtpServices& services, const TnFtpTreeLocalFs& localFs,
                  const std::string& settingsFolder);
    ~FtpDeskWindow() override;

    FtpDesk& Logic() { return *logic_; }
    // Runs the logic's idle work on `loop` (the library's tick, the walker's queue, the byte
    // counters, while a session or a walk is open); each button's action is followed by a pass,
    // so work it started begins at once.
    void RunOn(desktop::QtLoop& loop);
    ConnectFields Fields() const;

    // Opens a web address (QDesktopServices::openUrl unless a test puts its own here).
    std::function<void(const QUrl&)> openUrl;

    QWidget* dialog;
    std::unique_ptr<desktop::AdapterArea> adapterArea;
    QLineEdit* server;
    QLineEdit* port;
    QLineEdit* user;
    QLineEdit* password;
    QLineEdit* timeout;
    QTableWidget* localFiles;
    QTableWidget* remoteFiles;
    QListWidget* operationLog;
    desktop::StatusLine* status;
    desktop::Progress* progress;
    QLabel* sentBytes;
    QLabel* receivedBytes;
    QLabel* description;
    // Every button by its label ("Connect", "Send File", ...), and every menu item by its text.
    std::map<QString, QPushButton*> buttons;
    std::map<QString, QAction*> menuItems;
    QAction* exitItem;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Build(const desktop::DialogUnits& units);
    void BuildConnection(const desktop::DialogUnits& units);
    void BuildLists(const desktop::DialogUnits& units);
    void BuildReports(const desktop::DialogUnits& units);
    void BuildButtons(const desktop::DialogUnits& units);
    void BuildMenus();
    QTableWidget* FileList(const desktop::DialogUnits& units, const char* label, int x);
    void Wire();
    void FillList(QTableWidget* list, const std::vector<FileRow>& rows);

    void LogAppended(const std::string& row, bool emptiedFirst) override;
    void ShowStatus(const std::string& text, bool failure) override;
    void ShowProgress(int percent) override;
    void ShowCounters(std::uint64_t sent, std::uint64_t received) override;
    void ShowLocalFiles(const std::vector<FileRow>& rows) override;
    void ShowRemoteFiles(const std::vector<FileRow>& rows) override;
    void ShowLease(const TnDhcpLease& lease) override;
    bool Ask(Question& question) override;

    std::unique_ptr<FtpDesk> logic_;
    bool closed_ = false;
};

}  // namespace tarnet::ftpdesk
