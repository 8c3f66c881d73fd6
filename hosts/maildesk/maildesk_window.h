// maildesk's window: "Tarnet C Source Library: SMTP Demo", a thin layer over MailDesk. Every
// control of the mail dialog at its dialog-unit place, the buttons calling the logic's commands,
// the View callbacks keeping the status line, the progress bar and the address fields current.
// The settings record is read before the controls are filled and written when the window goes.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>
#include <memory>
#include <string>

#include "adapter_area.h"
#include "maildesk_logic.h"
#include "maildesk_settings.h"
#include "report_widgets.h"

namespace tarnet::desktop {
class QtLoop;
}

namespace tarnet::maildesk {

class MailDeskWindow : public QWidget, private View {
  public:
    static constexpr int kWidth  = 625;  // pixels
    static constexpr int kHeight = 566;

    // `fill` and `smtpFill` put the host callbacks into the stack's and the library's
    // configurations; `settingsPath` is the settings file; `loop` (null in tests) runs the
    // library's periodic work while a mail session is open.
    MailDeskWindow(desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill,
                   MailDesk::SmtpFillFn smtpFill, std::string settingsPath,
                   desktop::QtLoop* loop = nullptr);
    ~MailDeskWindow() override;

    // "<AppConfigLocation>/maildesk.rec"; the folder is created when missing.
    static std::string DefaultSettingsPath();

    MailDesk& Logic() { return *logic_; }
    MailFields Fields() const;
    // What the settings file will hold when the window goes.
    Settings SettingsToSave() const;

    QWidget* dialog;
    std::unique_ptr<desktop::AdapterArea> adapterArea;
    QLineEdit* from;
    QLineEdit* to;
    QLineEdit* cc;
    QLineEdit* subject;
    QComboBox* charset;
    QLineEdit* attachment;
    QPushButton* attachButton;
    QPlainTextEdit* message;
    QLineEdit* server;
    QLineEdit* port;
    QCheckBox* authenticate;
    QLabel* userLabel;
    QLineEdit* user;
    QLabel* passwordLabel;
    QLineEdit* password;
    desktop::Progress* progress;
    desktop::StatusLine* status;
    QPushButton* sendButton;
    QPushButton* abortButton;
    QLabel* description;

  private:
    void Build(const desktop::DialogUnits& units);
    void BuildMail(const desktop::DialogUnits& units);
    void BuildReport(const desktop::DialogUnits& units);
    void Wire();
    void ChooseAttachment();
    void LimitMessage();

    void ShowStatus(const std::string& utf8, Colour colour) override;
    void ShowProgress(int percent) override;
    void ShowLease(const TnDhcpLease& lease) override;
    void ShowMessageBox(const std::string& text) override;

    std::string settingsPath_;
    Settings settings_;
    desktop::QtLoop* loop_;
    std::unique_ptr<MailDesk> logic_;
};

}  // namespace tarnet::maildesk
