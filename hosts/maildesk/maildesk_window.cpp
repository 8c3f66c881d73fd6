#include "maildesk_window.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QIntValidator>
#include <QMessageBox>
#include <QStandardPaths>
#include <cstdio>

#include "qt_loop.h"
#include "text.h"

namespace tarnet::maildesk {

namespace {

using desktop::AddLabel;
using desktop::Place;

constexpr const char* kDescription =
    "This is a demo application for Tarnet embedded protocol stack. TNSMTP library is part of "
    "Tarnet\n"
    "It allows a programmer to send email text messages and attachments to remote SMTP server.\n"
    "Tarnet project: README.md and docs/ in the source tree\n"
    "Contact: the Tarnet maintainers, through the project's issue tracker";

QString FromStd(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToStd(const QString& text) {
    return text.toStdString();
}

QLineEdit* Field(QWidget* parent, std::size_t limit, const QString& text = {}) {
    auto* field = new QLineEdit(text, parent);
    field->setMaxLength(static_cast<int>(limit));
    return field;
}

}  // namespace

MailDeskWindow::MailDeskWindow(desktop::AdapterPort& adapterPort,
                               desktop::DesktopStack::FillFn fill, MailDesk::SmtpFillFn smtpFill,
                               std::string settingsPath, desktop::QtLoop* loop)
    : dialog(new QWidget(this)), settingsPath_(std::move(settingsPath)), loop_(loop) {
    std::string note;
    settings_ = LoadSettings(settingsPath_, note);
    setWindowTitle(QStringLiteral("Tarnet C Source Library: SMTP Demo"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    QFont font = QApplication::font();
    font.setPointSize(8);
    dialog->setFont(font);
    const desktop::DialogUnits units(font);
    Build(units);
    View& view = *this;
    logic_ = std::make_unique<MailDesk>(view, adapterPort, std::move(fill), std::move(smtpFill));
    Wire();
    adapterArea->SetAdapters(logic_->LoadAdapters());
    if (!note.empty()) {
        logic_->Show(note, Colour::kRed);
    }
    if (loop_ != nullptr) {
        // TnSmtpProcess streams the message and checks the reply time-outs; it runs only while
        // a session is open, so an idle window uses no CPU.
        loop_->AddLibrary([](void*) { return TnSmtpHasOpenSessions() != 0; },
                          [](void*) { TnSmtpProcess(); }, nullptr);
    }
    move(0, 0);
}

MailDeskWindow::~MailDeskWindow() {
    logic_->Shutdown();  // the library and the stack, while the widgets it reports to exist
    std::string error;
    if (!SaveSettings(settingsPath_, SettingsToSave(), error)) {
        std::fprintf(stderr, "maildesk: settings not saved: %s\n", error.c_str());
    }
}

std::string MailDeskWindow::DefaultSettingsPath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(folder);
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return ToStd(folder + QStringLiteral("/maildesk.rec"));
}

void MailDeskWindow::Build(const desktop::DialogUnits& units) {
    dialog->setGeometry(0, 0, kWidth, kHeight);
    setFixedSize(kWidth, kHeight);
    desktop::AdapterAreaLayout layout = desktop::PatternLayout();
    layout.defaultIp                  = "192.168.1.51";
    layout.defaultMac                 = "00:1e:68:a4:fb:15";
    layout.defaultAddress             = "0.0.0.0";
    // Narrower than the kit's pattern: the window is 625 pixels wide.
    layout.selector  = {97, 3, 255, 81};
    layout.localIp   = {97, 20, 80, 14};
    layout.macLabel  = {182, 23, 82, 8};
    layout.mac       = {266, 21, 86, 14};
    layout.gateway   = {97, 38, 80, 14};
    layout.maskLabel = {182, 40, 82, 8};
    layout.mask      = {266, 38, 86, 14};
    layout.dns       = {97, 55, 80, 14};
    adapterArea      = std::make_unique<desktop::AdapterArea>(dialog, units, layout);
    adapterArea->gateway->setText(QStringLiteral("192.168.1.254"));
    adapterArea->mask->setText(QStringLiteral("255.255.255.0"));
    adapterArea->dns->setText(QStringLiteral("192.168.1.51"));

    description = new QLabel(QString::fromUtf8(kDescription), dialog);
    description->setWordWrap(true);
    description->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    description->setAutoFillBackground(true);
    QPalette white = description->palette();
    white.setColor(QPalette::Window, Qt::white);
    description->setPalette(white);
    QFont small = description->font();
    small.setPointSize(7);
    description->setFont(small);
    Place(description, units, {182, 55, 170, 48});
    BuildMail(units);
    BuildReport(units);
}

void MailDeskWindow::BuildMail(const desktop::DialogUnits& units) {
    AddLabel(dialog, units, QStringLiteral("FROM :"), {4, 108, 30, 8});
    from = Field(dialog, kFieldChars, FromStd(settings_.from));
    Place(from, units, {36, 106, 136, 13});
    AddLabel(dialog, units, QStringLiteral("TO :"), {180, 108, 40, 8});
    to = Field(dialog, kFieldChars, FromStd(settings_.to));
    Place(to, units, {222, 106, 130, 13});
    AddLabel(dialog, units, QStringLiteral("CC :"), {4, 124, 30, 8});
    cc = Field(dialog, kFieldChars);
    Place(cc, units, {36, 122, 136, 13});
    AddLabel(dialog, units, QStringLiteral("SUBJECT :"), {180, 124, 40, 8});
    subject = Field(dialog, kFieldChars, QStringLiteral("TN SMTP C Library Test"));
    Place(subject, units, {222, 122, 130, 13});

    AddLabel(dialog, units, QStringLiteral("Subject Charset:"), {4, 140, 58, 8});
    charset = new QComboBox(dialog);
    charset->addItems({QStringLiteral("Default"), QStringLiteral("KOI8-R")});
    charset->setCurrentIndex(kCharsetDefault);
    Place(charset, units, {64, 138, 54, 13});
    attachButton = new QPushButton(QStringLiteral("Attach File"), dialog);
    Place(attachButton, units, {122, 138, 48, 13});
    attachment = Field(dialog, kPathChars);
    Place(attachment, units, {174, 138, 178, 13});

    AddLabel(dialog, units, QStringLiteral("MESSAGE :"), {4, 156, 40, 8});
    message = new QPlainTextEdit(QStringLiteral("<Type Your Message Here ...>"), dialog);
    message->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    message->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Place(message, units, {4, 165, 348, 62});

    AddLabel(dialog, units, QStringLiteral("SMTP Server Name or IP address"), {4, 233, 112, 8});
    server = Field(dialog, kFieldChars, FromStd(settings_.server));
    Place(server, units, {118, 231, 140, 13});
    AddLabel(dialog, units, QStringLiteral("SMTP Port"), {264, 233, 38, 8});
    port = Field(dialog, kPortChars, QString::number(settings_.port));
    port->setValidator(new QIntValidator(0, 9999, port));
    Place(port, units, {304, 231, 30, 13});

    authenticate = new QCheckBox(QStringLiteral("My SMTP Server Requires Authentication"), dialog);
    Place(authenticate, units, {4, 248, 200, 10});
    userLabel = AddLabel(dialog, units, QStringLiteral("Username:"), {20, 264, 38, 8});
    user      = Field(dialog, kCredentialChars);
    Place(user, units, {60, 262, 110, 13});
    passwordLabel = AddLabel(dialog, units, QStringLiteral("Password:"), {180, 264, 38, 8});
    password      = Field(dialog, kCredentialChars);
    password->setEchoMode(QLineEdit::Password);
    Place(password, units, {222, 262, 130, 13});
    for (QWidget* w : {static_cast<QWidget*>(userLabel), static_cast<QWidget*>(user),
                       static_cast<QWidget*>(passwordLabel), static_cast<QWidget*>(password)}) {
        w->setEnabled(false);
    }
}

void MailDeskWindow::BuildReport(const desktop::DialogUnits& units) {
    AddLabel(dialog, units, QStringLiteral("PROGRESS"), {4, 282, 40, 8});
    progress = new desktop::Progress(dialog);
    Place(progress, units, {46, 280, 306, 12});
    AddLabel(dialog, units, QStringLiteral("STATUS"), {4, 298, 40, 8});
    status = new desktop::StatusLine(dialog);
    Place(status, units, {46, 296, 306, 12});
    sendButton = new QPushButton(QStringLiteral("Send"), dialog);
    Place(sendButton, units, {100, 314, 60, 14});
    abortButton = new QPushButton(QStringLiteral("Abort"), dialog);
    Place(abortButton, units, {200, 314, 60, 14});
}

void MailDeskWindow::Wire() {
    connect(adapterArea->initialise, &QPushButton::clicked, this,
            [this] { logic_->Initialise(adapterArea->Request()); });
    connect(adapterArea->shutdown, &QPushButton::clicked, this, [this] { logic_->Shutdown(); });
    connect(authenticate, &QCheckBox::toggled, this, [this](bool on) {
        userLabel->setEnabled(on);
        user->setEnabled(on);
        passwordLabel->setEnabled(on);
        password->setEnabled(on);
    });
    connect(attachButton, &QPushButton::clicked, this, [this] { ChooseAttachment(); });
    connect(message, &QPlainTextEdit::textChanged, this, [this] { LimitMessage(); });
    connect(sendButton, &QPushButton::clicked, this, [this] {
        if (logic_->Send(Fields()) && loop_ != nullptr) {
            loop_->Kick();
        }
    });
    connect(abortButton, &QPushButton::clicked, this, [this] { logic_->Abort(); });
}

void MailDeskWindow::ChooseAttachment() {
    // getOpenFileName takes only a file that exists.
    const QString path = QFileDialog::getOpenFileName(this, QString(), attachment->text(),
                                                      QStringLiteral("All (*)"));
    if (path.isEmpty()) {
        return;
    }
    if (path.toUcs4().size() > static_cast<qsizetype>(kPathChars)) {
        // The field would cut the path and name another file.
        logic_->Show("ERROR: ATTACHMENT PATH LONGER THAN 259 CHARACTERS", Colour::kRed);
        return;
    }
    attachment->setText(path);
}

void MailDeskWindow::LimitMessage() {
    // The limit counts characters, as the user sees them; the text is cut at its end.
    const QString text      = message->toPlainText();
    const QList<uint> chars = text.toUcs4();
    if (chars.size() <= static_cast<qsizetype>(kMessageChars)) {
        return;
    }
    const QString cut = QString::fromUcs4(reinterpret_cast<const char32_t*>(chars.constData()),
                                          static_cast<qsizetype>(kMessageChars));
    const QSignalBlocker block(message);
    message->setPlainText(cut);
    message->moveCursor(QTextCursor::End);
}

MailFields MailDeskWindow::Fields() const {
    MailFields f;
    f.server       = ToStd(server->text());
    f.portText     = ToStd(port->text());
    f.from         = ToStd(from->text());
    f.to           = ToStd(to->text());
    f.cc           = ToStd(cc->text());
    f.subject      = ToStd(subject->text());
    f.charset      = charset->currentIndex();
    f.message      = ToStd(message->toPlainText());
    f.authenticate = authenticate->isChecked();
    f.user         = ToStd(user->text());
    f.password     = ToStd(password->text());
    f.attachment   = QFile::encodeName(attachment->text()).toStdString();
    return f;
}

Settings MailDeskWindow::SettingsToSave() const {
    Settings s = settings_;  // the address no control shows is written back as it was read
    s.port     = PortOfText(ToStd(port->text()));
    s.server   = std::string(desktop::CutChars(ToStd(server->text()), kFieldChars));
    s.from     = std::string(desktop::CutChars(ToStd(from->text()), kFieldChars));
    s.to       = std::string(desktop::CutChars(ToStd(to->text()), kFieldChars));
    return s;
}

void MailDeskWindow::ShowStatus(const std::string& utf8, Colour colour) {
    const desktop::StatusLine::State state =
        colour == Colour::kGreen ? desktop::StatusLine::State::kNormal
        : colour == Colour::kRed ? desktop::StatusLine::State::kFailure
                                 : desktop::StatusLine::State::kBusy;
    status->Show(FromStd(utf8), state);
}

void MailDeskWindow::ShowProgress(int percent) {
    progress->Set(percent);
}

void MailDeskWindow::ShowLease(const TnDhcpLease& lease) {
    adapterArea->ShowLease(lease.address, lease.dnsServer, lease.router, lease.subnetMask);
}

void MailDeskWindow::ShowMessageBox(const std::string& text) {
    QMessageBox::information(this, QString(), FromStd(text));
}

}  // namespace tarnet::maildesk
