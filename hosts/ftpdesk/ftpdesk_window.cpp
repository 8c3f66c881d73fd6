#include "ftpdesk_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QHeaderView>
#include <QMenuBar>
#include <QStyle>

#include "confirm_dialog.h"

#ifndef TARNET_README_URL
#define TARNET_README_URL "file:README.md"
#endif

namespace tarnet::ftpdesk {

namespace {

using desktop::AddLabel;
using desktop::Place;

constexpr int kDialogWidth  = 413;  // dialog units
constexpr int kDialogHeight = 346;

// The buttons in their two rows below the lists (Connect and Disconnect sit beside the
// connection fields).
constexpr const char* kButtonRows[2][7] = {
    {"Send File", "Get File",     "Delete File", "Upload Folder", "Download Folder", "Delete Folder",
     "MkDir"                                                                                                      },
    {"RmDir",     "Get Curr Dir", "Rename",      "NOOP",          "Abort",           "About",         "Buy Online"},
};

struct MenuItem {
    const char* text;
    const char* button;  // the action it runs: the button of that label; null: a separator
};
constexpr MenuItem kFileMenu[] = {
    {"CONNECT",    "Connect"   },
    {"DISCONNECT", "Disconnect"},
    {nullptr,      nullptr     },
    {"EXIT",       nullptr     }
};
constexpr MenuItem kToolsMenu[] = {
    {"Send File",                "Send File"      },
    {"Receive File",             "Get File"       },
    {"Delete File",              "Delete File"    },
    {"Upload Folder",            "Upload Folder"  },
    {"Download Folder",          "Download Folder"},
    {"Delete Folder",            "Delete Folder"  },
    {"Create Directory",         "MkDir"          },
    {"Remove Directory",         "RmDir"          },
    {"Get Current Directory",    "Get Curr Dir"   },
    {"Rename File or Directory", "Rename"         },
    {"No Operation (NOOP)",      "NOOP"           },
    {"ABORT",                    "Abort"          },
};
constexpr MenuItem kAboutMenu[] = {
    {"ABOUT TN FTP", "About"     },
    {"BUY ONLINE",   "Buy Online"}
};

QLineEdit* Field(QWidget* parent, const QString& text, int limit) {
    auto* field = new QLineEdit(text, parent);
    field->setMaxLength(limit);
    return field;
}

QString Qt8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QUrl AboutUrl() {
    return QUrl(QStringLiteral(TARNET_README_URL));
}

QUrl OrderUrl() {
    QUrl url = AboutUrl();
    url.setFragment(QStringLiteral("quick-start-debian-12-as-root"));
    return url;
}

FtpDeskWindow::FtpDeskWindow(desktop::AdapterPort& adapterPort, desktop::DesktopStack::FillFn fill,
                             const TnFtpServices& services, const TnFtpTreeLocalFs& localFs,
                             const std::string& settingsFolder)
    : openUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }), dialog(new QWidget(this)) {
    setWindowTitle(QStringLiteral("Tarnet C Source Library: FTP Demo (") + AboutUrl().toString() +
                   QStringLiteral(")"));
    QFont font = QApplication::font();
    font.setPointSize(8);
    dialog->setFont(font);
    const desktop::DialogUnits units(font);
    Build(units);
    View& view = *this;
    logic_     = std::make_unique<FtpDesk>(view, adapterPort, std::move(fill), services, localFs);
    Wire();
    adapterArea->SetAdapters(logic_->LoadAdapters());
    logic_->LoadSettings(settingsFolder);
    const Settings& s = logic_->CurrentSettings();
    server->setText(Qt8(s.server).left(server->maxLength()));
    port->setText(QString::number(s.port));
    user->setText(Qt8(s.user));
    password->setText(Qt8(s.password));
    timeout->setText(QString::number(s.timeoutMs));
    move(0, 0);
}

FtpDeskWindow::~FtpDeskWindow() {
    if (!closed_) {
        logic_->Close();  // while the widgets it reports to still exist
    }
}

void FtpDeskWindow::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        logic_->Close();
    }
    event->accept();
}

// ---- Layout ------------------------------------------------------------------------------------

void FtpDeskWindow::Build(const desktop::DialogUnits& units) {
    dialog->setGeometry(units.Rect(0, 0, kDialogWidth, kDialogHeight));
    setCentralWidget(dialog);
    desktop::AdapterAreaLayout layout = desktop::PatternLayout();
    layout.defaultMac                 = "00:1e:68:a4:fb:15";
    layout.defaultIp                  = "0.0.0.0";
    // Room for the longer labels of the right-hand column.
    layout.macLabel  = {200, 23, 90, 8};
    layout.mac       = {292, 21, 100, 14};
    layout.maskLabel = {200, 40, 90, 8};
    layout.mask      = {292, 38, 100, 14};
    adapterArea      = std::make_unique<desktop::AdapterArea>(dialog, units, layout);
    BuildConnection(units);
    BuildLists(units);
    BuildButtons(units);
    BuildReports(units);
    BuildMenus();
    setFixedSize(dialog->width(), dialog->height() + menuBar()->sizeHint().height());
}

void FtpDeskWindow::BuildConnection(const desktop::DialogUnits& units) {
    AddLabel(dialog, units, QStringLiteral("FTP Server:"), {4, 106, 40, 8});
    server = Field(dialog, {}, 79);
    Place(server, units, {45, 104, 120, 13});
    AddLabel(dialog, units, QStringLiteral("Port:"), {170, 106, 18, 8});
    port = Field(dialog, QStringLiteral("21"), 5);
    Place(port, units, {190, 104, 30, 13});
    AddLabel(dialog, units, QStringLiteral("Timeout"), {226, 106, 28, 8});
    timeout = Field(dialog, {}, 10);
    Place(timeout, units, {255, 104, 40, 13});
    AddLabel(dialog, units, QStringLiteral("Username:"), {4, 122, 40, 8});
    user = Field(dialog, {}, 99);
    Place(user, units, {45, 120, 80, 13});
    AddLabel(dialog, units, QStringLiteral("Password:"), {130, 122, 36, 8});
    password = Field(dialog, {}, 99);
    password->setEchoMode(QLineEdit::Password);
    Place(password, units, {168, 120, 80, 13});
    for (const char* label : {"Connect", "Disconnect"}) {
        buttons[QString::fromLatin1(label)] = new QPushButton(QString::fromLatin1(label), dialog);
    }
    Place(buttons[QStringLiteral("Connect")], units, {300, 104, 52, 14});
    Place(buttons[QStringLiteral("Disconnect")], units, {356, 104, 52, 14});
}

QTableWidget* FtpDeskWindow::FileList(const desktop::DialogUnits& units, const char* label, int x) {
    AddLabel(dialog, units, QString::fromLatin1(label), {x, 138, 100, 8});
    auto* list = new QTableWidget(0, 3, dialog);
    list->setHorizontalHeaderLabels(
        {QStringLiteral("Type"), QStringLiteral("Files"), QStringLiteral("Size")});
    const int widths[3] = {40, 120, 73};
    for (int c = 0; c < 3; ++c) {
        list->setColumnWidth(c, widths[c]);
    }
    list->horizontalHeader()->setSectionsClickable(false);
    list->verticalHeader()->hide();
    list->verticalHeader()->setDefaultSectionSize(units.Y(10));
    list->setShowGrid(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Place(list, units, {x, 147, 202, 92});
    return list;
}

void FtpDeskWindow::BuildLists(const desktop::DialogUnits& units) {
    localFiles  = FileList(units, "Local Files", 4);
    remoteFiles = FileList(units, "Remote Files", 208);
}

void FtpDeskWindow::BuildButtons(const desktop::DialogUnits& units) {
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 7; ++c) {
            const QString label = QString::fromLatin1(kButtonRows[r][c]);
            auto* button        = new QPushButton(label, dialog);
            Place(button, units, {4 + c * 58, 243 + r * 16, 56, 14});
            buttons[label] = button;
        }
    }
}

void FtpDeskWindow::BuildReports(const desktop::DialogUnits& units) {
    AddLabel(dialog, units, QStringLiteral("Operation Log"), {4, 278, 100, 8});
    operationLog = new QListWidget(dialog);
    operationLog->setSelectionBehavior(QAbstractItemView::SelectRows);
    operationLog->setSelectionMode(QAbstractItemView::SingleSelection);
    operationLog->setUniformItemSizes(true);
    Place(operationLog, units, {4, 287, 260, 56});

    status = new desktop::StatusLine(dialog);
    Place(status, units, {268, 287, 141, 12});
    progress = new desktop::Progress(dialog);
    Place(progress, units, {268, 302, 141, 10});
    AddLabel(dialog, units, QStringLiteral("Total Bytes Transmitted"), {268, 316, 85, 8});
    sentBytes = new QLabel(QStringLiteral("0"), dialog);
    Place(sentBytes, units, {355, 316, 54, 8});
    AddLabel(dialog, units, QStringLiteral("Total Bytes Received"), {268, 328, 85, 8});
    receivedBytes = new QLabel(QStringLiteral("0"), dialog);
    Place(receivedBytes, units, {355, 328, 54, 8});

    description = new QLabel(
        QStringLiteral("Tarnet FTP demo: a user-space TCP/IP stack and FTP client on a raw "
                       "Ethernet adapter, with DHCP and DNS of its own. Tarnet project, see "
                       "README.md."),
        dialog);
    description->setWordWrap(true);
    QPalette palette = description->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    description->setPalette(palette);
    Place(description, units, {205, 56, 204, 44});
}

void FtpDeskWindow::BuildMenus() {
    const auto add = [this](const char* title, const MenuItem* items, std::size_t count) {
        QMenu* menu = menuBar()->addMenu(QString::fromLatin1(title));
        for (std::size_t i = 0; i < count; ++i) {
            if (items[i].text == nullptr) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(QString::fromLatin1(items[i].text));
            menuItems[QString::fromLatin1(items[i].text)] = action;
            if (items[i].button != nullptr) {
                QPushButton* button = buttons[QString::fromLatin1(items[i].button)];
                connect(action, &QAction::triggered, button, &QPushButton::click);
            }
        }
    };
    add("File", kFileMenu, std::size(kFileMenu));
    add("Tools", kToolsMenu, std::size(kToolsMenu));
    add("About", kAboutMenu, std::size(kAboutMenu));
    exitItem = menuBar()->addAction(QStringLiteral("Exit"));
    connect(exitItem, &QAction::triggered, this, &QWidget::close);
    // The File menu's EXIT closes the window as the top-level Exit does.
    connect(menuItems[QStringLiteral("EXIT")], &QAction::triggered, this, &QWidget::close);
}

// ---- Actions -----------------------------------------------------------------------------------

void FtpDeskWindow::Wire() {
    connect(adapterArea->initialise, &QPushButton::clicked, this,
            [this] { logic_->Initialise(adapterArea->Request()); });
    connect(adapterArea->shutdown, &QPushButton::clicked, this, [this] { logic_->Shutdown(); });
    const std::pair<const char*, void (FtpDesk::*)()> actions[] = {
        {"Disconnect",      &FtpDesk::Disconnect    },
        {"Send File",       &FtpDesk::SendFile      },
        {"Get File",        &FtpDesk::GetFile       },
        {"Delete File",     &FtpDesk::DeleteFile    },
        {"Upload Folder",   &FtpDesk::UploadFolder  },
        {"Download Folder", &FtpDesk::DownloadFolder},
        {"Delete Folder",   &FtpDesk::DeleteFolder  },
        {"MkDir",           &FtpDesk::MkDir         },
        {"RmDir",           &FtpDesk::RmDir         },
        {"Get Curr Dir",    &FtpDesk::GetCurrentDir },
        {"Rename",          &FtpDesk::Rename        },
        {"NOOP",            &FtpDesk::Noop          },
        {"Abort",           &FtpDesk::Abort         },
    };
    for (const auto& [label, action] : actions) {
        connect(buttons[QString::fromLatin1(label)], &QPushButton::clicked, this,
                [this, action] { ((*logic_).*action)(); });
    }
    connect(buttons[QStringLiteral("Connect")], &QPushButton::clicked, this,
            [this] { logic_->Connect(Fields()); });
    connect(buttons[QStringLiteral("About")], &QPushButton::clicked, this,
            [this] { openUrl(AboutUrl()); });
    connect(buttons[QStringLiteral("Buy Online")], &QPushButton::clicked, this,
            [this] { openUrl(OrderUrl()); });

    connect(localFiles, &QTableWidget::itemSelectionChanged, this, [this] {
        logic_->SelectLocal(localFiles->selectedItems().isEmpty() ? -1 : localFiles->currentRow());
    });
    connect(remoteFiles, &QTableWidget::itemSelectionChanged, this, [this] {
        logic_->SelectRemote(remoteFiles->selectedItems().isEmpty() ? -1
                                                                    : remoteFiles->currentRow());
    });
    connect(localFiles, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { logic_->OpenLocal(row); });
    connect(remoteFiles, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { logic_->OpenRemote(row); });
}

void FtpDeskWindow::RunOn(desktop::QtLoop& loop) {
    loop.AddLibrary(FtpDesk::HasWork, FtpDesk::Work, logic_.get());
    for (const auto& [label, button] : buttons) {
        connect(button, &QPushButton::clicked, &loop, [&loop] { loop.Kick(); });
    }
    connect(adapterArea->initialise, &QPushButton::clicked, &loop, [&loop] { loop.Kick(); });
    // Double-clicks change folders: their commands go out in a pass of their own too.
    connect(localFiles, &QTableWidget::cellDoubleClicked, &loop, [&loop] { loop.Kick(); });
    connect(remoteFiles, &QTableWidget::cellDoubleClicked, &loop, [&loop] { loop.Kick(); });
}

ConnectFields FtpDeskWindow::Fields() const {
    return ConnectFields{server->text().toStdString(), port->text().toStdString(),
                         user->text().toStdString(), password->text().toStdString(),
                         timeout->text().toStdString()};
}

// ---- What the logic reports --------------------------------------------------------------------

void FtpDeskWindow::FillList(QTableWidget* list, const std::vector<FileRow>& rows) {
    list->clearSelection();
    list->setRowCount(0);
    list->setRowCount(static_cast<int>(rows.size()));
    const QIcon folder = style()->standardIcon(QStyle::SP_DirIcon);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const int row = static_cast<int>(i);
        auto* type    = new QTableWidgetItem(Qt8(rows[i].type));
        if (rows[i].IsDirectory()) {
            type->setIcon(folder);
        }
        list->setItem(row, 0, type);
        list->setItem(row, 1, new QTableWidgetItem(Qt8(rows[i].name)));
        auto* size = new QTableWidgetItem(Qt8(rows[i].size));
        size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        list->setItem(row, 2, size);
    }
}

void FtpDeskWindow::LogAppended(const std::string& row, bool emptiedFirst) {
    if (emptiedFirst) {
        operationLog->clear();
    }
    operationLog->addItem(Qt8(row));
    operationLog->scrollToBottom();
}

void FtpDeskWindow::ShowStatus(const std::string& text, bool failure) {
    status->Show(Qt8(text), failure ? desktop::StatusLine::State::kFailure
                                    : desktop::StatusLine::State::kNormal);
}

void FtpDeskWindow::ShowProgress(int percent) {
    progress->Set(percent);
}

void FtpDeskWindow::ShowCounters(std::uint64_t sent, std::uint64_t received) {
    sentBytes->setText(QString::number(sent));
    receivedBytes->setText(QString::number(received));
}

void FtpDeskWindow::ShowLocalFiles(const std::vector<FileRow>& rows) {
    FillList(localFiles, rows);
}

void FtpDeskWindow::ShowRemoteFiles(const std::vector<FileRow>& rows) {
    FillList(remoteFiles, rows);
}

void FtpDeskWindow::ShowLease(const TnDhcpLease& lease) {
    adapterArea->ShowLease(lease.address, lease.dnsServer, lease.router, lease.subnetMask);
}

bool FtpDeskWindow::Ask(Question& question) {
    desktop::Confirmation ask;
    ask.title   = Qt8(question.title);
    ask.message = Qt8(question.message);
    if (question.hasEdit) {
        ask.edit      = Qt8(question.edit);
        ask.editLimit = static_cast<int>(kNameChars);
    }
    if (question.hasCheckBox) {
        ask.checkBox = QStringLiteral("Overwrite Local Files?");
        ask.checked  = question.checked;
    }
    if (desktop::ConfirmDialog::Ask(this, ask) != 1) {
        return false;
    }
    if (question.hasEdit && ask.edit) {
        question.edit = ask.edit->toStdString();
    }
    question.checked = ask.checked;
    return true;
}

}  // namespace tarnet::ftpdesk
