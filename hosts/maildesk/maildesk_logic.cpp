#include "maildesk_logic.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "charsets.h"
#include "smtp_files.h"
#include "text.h"

namespace tarnet::maildesk {

MailDesk* MailDesk::instance_ = nullptr;

namespace {

std::string Cut(const std::string& text, std::size_t chars) {
    return std::string(desktop::CutChars(text, chars));
}

// The first character of `text` that is not ASCII, as "character N, 'c'"; empty when all are.
std::string FirstNonAscii(const std::string& text) {
    std::size_t character = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<std::uint8_t>(text[at]);
        if ((byte & 0xC0) != 0x80) {
            ++character;
        }
        if (byte >= 0x80) {
            std::size_t end = at + 1;
            while (end < text.size() && (static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80) {
                ++end;
            }
            return "character " + std::to_string(character) + ", '" +
                   desktop::ValidUtf8(reinterpret_cast<const std::uint8_t*>(text.data()) + at,
                                      end - at) +
                   "', is not ASCII";
        }
    }
    return {};
}

// A server's reply as one status line: its first line only (the reply is cut at its first CR,
// or LF), at most 299 bytes of it, as valid UTF-8 whatever the server sent.
std::string ReplyLine(const void* data, std::uint32_t length) {
    if (data == nullptr) {
        return {};
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const auto* end =
        std::find_if(bytes, bytes + length, [](std::uint8_t b) { return b == '\r' || b == '\n'; });
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(end - bytes), kServerErrorMax);
    return desktop::ValidUtf8(bytes, n);
}

// The library's own texts (time-out, failure) arrive NUL-terminated with their length.
std::string LibraryText(const void* data, std::uint32_t length) {
    if (data == nullptr) {
        return {};
    }
    const auto* text = static_cast<const char*>(data);
    return desktop::ValidUtf8(reinterpret_cast<const std::uint8_t*>(text),
                              std::min<std::size_t>(length, std::strlen(text)));
}

// Four decimal parts, as a user writes an IPv4 address; the stack's parser also takes the
// shorter and hexadecimal forms, which are not what a server field means.
bool IsDottedQuad(const std::string& text) {
    std::uint32_t address = 0;
    return std::count(text.begin(), text.end(), '.') == 3 &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return c == '.' || (c >= '0' && c <= '9'); }) &&
           TnSockParseAddr(text.c_str(), &address) == 1;
}

bool EndsSession(int event) {
    switch (event) {
        case TNSMTP_EV_COMPLETE:
        case TNSMTP_EV_DISCONNECTED:
        case TNSMTP_EV_CONNECT_FAILED:
        case TNSMTP_EV_SERVER_ERROR:
        case TNSMTP_EV_TIMEOUT:
        case TNSMTP_EV_FAILED:
            return true;
        default:
            return false;
    }
}

}  // namespace

MailDesk::MailDesk(View& view, desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill,
                   SmtpFillFn smtpFill)
    : view_(view),
      stack_(
          port,
          [fill = std::move(fill)](TnSockConfig& config) {
              fill(config);
              config.logText = LogText;
          },
          [this](const std::string& line) { Show(line, colour_); }),
      smtpFill_(std::move(smtpFill)) {
    instance_ = this;
    stack_.Session().AddListener(this);  // a lease fills the four address fields
}

MailDesk::~MailDesk() {
    if (smtpUp_) {
        TnSmtpDeinit();
    }
    stack_.Shutdown();
    stack_.Session().RemoveListener(this);
    instance_ = nullptr;
}

void MailDesk::Show(const std::string& text, Colour colour) {
    status_ = text;
    colour_ = colour;
    view_.ShowStatus(text, colour);
}

// ---- Initialise and shut down ------------------------------------------------------------------

bool MailDesk::Initialise(desktop::InitRequest request) {
    // The adapter opens before the stack starts, so that nothing the stack sends at start (the
    // DHCP discovery) is lost.
    request.order = platform::StartOrder::kAdapterFirst;
    if (!stack_.Initialise(request)) {
        Show(status_, Colour::kRed);  // the kit's line says why
        return false;
    }
    if (!smtpUp_) {
        TnSmtpConfig config{};
        platform::SmtpFillCallbacks(config, kEhloDomain);
        if (smtpFill_) {
            smtpFill_(config);
        }
        // A library already up (started by an earlier command) is kept as it is.
        const int rc = TnSmtpInit(&config);
        if (rc != TNSMTP_OK && rc != TNSMTP_ALREADY_INITIALISED) {
            view_.ShowMessageBox("TN SMTP Initialisation failure");
            return false;
        }
        smtpUp_ = true;
    }
    Show("Tarnet Initialized", Colour::kBlack);
    return true;
}

void MailDesk::Shutdown() {
    TnSmtpDeinit();  // ends every session without events
    smtpUp_  = false;
    session_ = nullptr;
    stack_.Shutdown();
    Show("Tarnet De-Initialized", Colour::kBlack);
}

// ---- Send and Abort ----------------------------------------------------------------------------

bool MailDesk::Prepare(const MailFields& f) {
    server_     = Cut(f.server, kFieldChars);
    from_       = Cut(f.from, kFieldChars);
    to_         = Cut(f.to, kFieldChars);
    cc_         = Cut(f.cc, kFieldChars);
    user_       = Cut(f.user, kCredentialChars);
    password_   = Cut(f.password, kCredentialChars);
    attachment_ = Cut(f.attachment, kPathChars);
    std::string error;
    // A KOI8-R subject is given to the library in Windows-1251, which it turns into KOI8-R
    // encoded words; a subject without a charset goes into the header as it is, so it must be
    // ASCII.
    const std::string subject = Cut(f.subject, kFieldChars);
    if (f.charset == kCharsetKoi8r) {
        if (!platform::FromUtf8(subject, platform::Charset::kWindows1251Koi8r, subject_, error)) {
            Show("ERROR: SUBJECT CANNOT BE SENT: " + error, Colour::kRed);
            return false;
        }
    } else if (error = FirstNonAscii(subject); !error.empty()) {
        Show("ERROR: SUBJECT CANNOT BE SENT: " + error + " (choose KOI8-R for Cyrillic)",
             Colour::kRed);
        return false;
    } else {
        subject_ = subject;
    }
    // The body goes in ISO-8859-1, the charset its quoted-printable part is labelled with.
    if (!platform::FromUtf8(Cut(f.message, kMessageChars), platform::Charset::kIso8859_1, body_,
                            error)) {
        Show("ERROR: MESSAGE CANNOT BE SENT: " + error, Colour::kRed);
        return false;
    }
    // An attachment makes the message multipart with a quoted-printable text part. A body
    // beyond ASCII needs that labelling as well: raw 8-bit bytes without a charset would reach
    // the reader as guesswork.
    qp_ = !attachment_.empty() || std::any_of(body_.begin(), body_.end(), [](char c) {
        return static_cast<std::uint8_t>(c) >= 0x80;
    });
    return true;
}

bool MailDesk::Send(const MailFields& f) {
    if (!Prepare(f)) {
        return false;
    }
    mail_                = TnSmtpMail{};
    mail_.serverHostName = server_.c_str();
    // A dotted quad is the server's address: no DNS look-up, so a server without a name works.
    mail_.serverAddress   = IsDottedQuad(server_) ? server_.c_str() : nullptr;
    mail_.serverPort      = static_cast<std::uint16_t>(std::min<unsigned long>(
        std::strtoul(Cut(f.portText, kPortChars).c_str(), nullptr, 10), 65535));
    mail_.from            = from_.c_str();
    mail_.to              = to_.c_str();
    mail_.cc              = cc_.c_str();
    mail_.subject         = subject_.c_str();
    mail_.subjectCharset  = f.charset < 0 ? TNSMTP_CHARSET_NONE : f.charset;
    mail_.body            = reinterpret_cast<const std::uint8_t*>(body_.data());
    mail_.bodyLength      = static_cast<std::uint32_t>(body_.size());  // bytes, not characters
    mail_.authenticate    = f.authenticate ? 1 : 0;
    mail_.userName        = user_.c_str();
    mail_.password        = password_.c_str();
    mail_.eventFn         = OnMailEvent;
    mail_.userValue       = ++sends_;
    mail_.attach          = attachment_.empty() ? 0 : 1;
    mail_.attachmentPath  = attachment_.c_str();
    mail_.quotedPrintable = qp_ ? 1 : 0;

    Show("INITIATING MAIL SESSION", Colour::kBlack);
    view_.ShowProgress(0);
    TnSmtpSession* handle = nullptr;
    sessionEnded_         = false;
    const int rc          = TnSmtpSendMail(&mail_, &handle);
    if (rc != TNSMTP_OK) {
        Show("ERROR: TN SMTP ERROR (" + std::to_string(rc) + ")", Colour::kRed);
        return false;
    }
    // The newest session is the one Abort ends; one that already ended is not kept.
    session_ = sessionEnded_ ? nullptr : handle;
    return true;
}

void MailDesk::Abort() {
    sessionEnded_ = false;
    if (TnSmtpAbort(session_) != TNSMTP_OK) {
        return;
    }
    // The library may end the session from inside the call; its outcome is then shown after
    // this line rather than hidden by it.
    const std::string ended = status_;
    const Colour colour     = colour_;
    const bool endedInside  = sessionEnded_;
    Show("ABORTING MAIL SESSION", Colour::kRed);
    if (endedInside) {
        Show(ended, colour);
    }
}

// ---- The library's events ----------------------------------------------------------------------

int MailDesk::OnMailEvent(std::uintptr_t userValue, int event, void* data, std::uint32_t value) {
    if (instance_ != nullptr) {
        instance_->OnEvent(userValue, event, data, value);
    }
    return 0;  // TNSMTP_EV_NEXT_RECIPIENT: no further recipient
}

void MailDesk::OnEvent(std::uintptr_t send, int event, const void* data, std::uint32_t value) {
    if (EndsSession(event) && send == sends_) {
        sessionEnded_ = true;
        session_      = nullptr;
    }
    switch (event) {
        case TNSMTP_EV_COMPLETE:
            Show("MAIL TRANSFER COMPLETE", Colour::kGreen);
            break;
        case TNSMTP_EV_DISCONNECTED:
            Show("ERROR: TCP SESSION DISCONNECTED", Colour::kRed);
            break;
        case TNSMTP_EV_CONNECT_FAILED:
            Show("ERROR: TCP CONNECTION REQUEST FAILED", Colour::kRed);
            break;
        case TNSMTP_EV_SERVER_ERROR:
            Show("ERROR: Server Returns Error: " + ReplyLine(data, value), Colour::kRed);
            break;
        case TNSMTP_EV_TIMEOUT:
            Show("ERROR: TIMEOUT WAITING FOR SERVER REPONSE: (" + LibraryText(data, value) + ")",
                 Colour::kRed);
            break;
        case TNSMTP_EV_FAILED:
            Show("ERROR: MAIL SESSION FAILED: (" + LibraryText(data, value) + ")", Colour::kRed);
            break;
        case TNSMTP_EV_BODY_PROGRESS:
        case TNSMTP_EV_ATTACH_PROGRESS:
            view_.ShowProgress(static_cast<int>(std::min<std::uint32_t>(value, 100)));
            break;
        default:
            break;
    }
}

int MailDesk::LogText(const char* text) {
    if (instance_ != nullptr && text != nullptr) {
        instance_->Show(text, instance_->colour_);
    }
    return 0;
}

}  // namespace tarnet::maildesk
