// maildesk's logic without any widget: the initialise and shut-down commands (adapter first,
// then the stack, then the SMTP library), the Send and Abort commands, the SMTP library's
// events as status lines and progress, and the conversion of the typed text into the bytes of
// the charsets the mail declares. The window (maildesk_window.h) is a thin View over it; tests
// drive it on the harness's virtual clock against a scripted server.
//
// The stack and the SMTP library are one instance per process and so is this class: the
// library's event handler reaches the instance through a static pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "desktop_stack.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tnsmtp.h"

namespace tarnet::maildesk {

inline constexpr std::size_t kFieldChars      = 79;  // server, From, To, CC, Subject
inline constexpr std::size_t kPortChars       = 4;
inline constexpr std::size_t kMessageChars    = 1023;
inline constexpr std::size_t kCredentialChars = 99;
inline constexpr std::size_t kPathChars       = 259;
inline constexpr std::size_t kServerErrorMax  = 299;  // bytes of a server's reply shown
inline constexpr const char* kEhloDomain      = "maildesk.tarnet.test";
inline constexpr int kCharsetDefault          = 0;
inline constexpr int kCharsetKoi8r            = 1;

enum class Colour { kBlack, kGreen, kRed };

// What the window holds when Send is pressed; texts are UTF-8 as typed.
struct MailFields {
    std::string server;
    std::string portText;
    std::string from;
    std::string to;
    std::string cc;
    std::string subject;
    int charset = kCharsetDefault;  // the list's index, -1 when nothing is selected
    std::string message;
    bool authenticate = false;
    std::string user;
    std::string password;
    std::string attachment;  // empty: none
};

// What the window shows; the logic tells it every change.
class View {
  public:
    virtual ~View()                                                 = default;
    virtual void ShowStatus(const std::string& utf8, Colour colour) = 0;
    virtual void ShowProgress(int percent)                          = 0;
    // A lease's address, DNS server, router and mask for the four address fields.
    virtual void ShowLease(const TnDhcpLease& lease) = 0;
    // A message box with an OK button and no caption text.
    virtual void ShowMessageBox(const std::string& text) = 0;
};

class MailDesk : private platform::StackListener {
  public:
    using SmtpFillFn = std::function<void(TnSmtpConfig&)>;

    // `fill` puts the host callbacks into the stack's configuration, `smtpFill` the host
    // services into the SMTP library's.
    MailDesk(View& view, desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill,
             SmtpFillFn smtpFill);
    ~MailDesk() override;
    MailDesk(const MailDesk&)            = delete;
    MailDesk& operator=(const MailDesk&) = delete;

    std::vector<std::string> LoadAdapters() { return stack_.LoadAdapters(); }
    // "Initialize Tarnet": the adapter, the stack, the SMTP library. True when all are up.
    bool Initialise(desktop::InitRequest request);
    // "Shutdown Tarnet": the library, the stack and the adapter, in that order.
    void Shutdown();
    // "Send": opens a mail session; true when the library took the mail.
    bool Send(const MailFields& fields);
    // "Abort": ends the current session.
    void Abort();

    // Puts a line of the program's own into the status line.
    void Show(const std::string& text, Colour colour);
    // The status line's text and colour as last shown.
    const std::string& Status() const { return status_; }
    Colour StatusColour() const { return colour_; }
    TnSmtpSession* Current() const { return session_; }
    const desktop::DesktopStack& Stack() const { return stack_; }

  private:
    static int OnMailEvent(std::uintptr_t userValue, int event, void* data, std::uint32_t value);
    static int LogText(const char* text);
    void OnLease(const TnDhcpLease& lease) override { view_.ShowLease(lease); }
    // A failed look-up of the server's name ends its session at once, not after the library's
    // own limit.
    void OnDiagnostic(const TnSockDiagnostic& report) override {
        if (report.kind == TNSOCK_DIAG_DNS_RESULT) {
            TnSmtpDnsResult(report.name, report.dnsOutcome);
        }
    }
    void OnEvent(std::uintptr_t send, int event, const void* data, std::uint32_t value);
    // The mail's texts as the library takes them; false with the status line set when a text
    // cannot be sent.
    bool Prepare(const MailFields& fields);

    static MailDesk* instance_;

    View& view_;
    desktop::DesktopStack stack_;
    SmtpFillFn smtpFill_;
    bool smtpUp_ = false;
    std::string status_;
    Colour colour_ = Colour::kBlack;

    // The per-send texts, in the bytes the library sends.
    std::string server_, from_, to_, cc_, subject_, body_, user_, password_, attachment_;
    bool qp_ = false;
    TnSmtpMail mail_{};
    TnSmtpSession* session_ = nullptr;
    std::uintptr_t sends_   = 0;  // numbers each send; an event names its send by it
    bool sessionEnded_      = false;
};

}  // namespace tarnet::maildesk
