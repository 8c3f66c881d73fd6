// ftpdesk's window under QTest against the scripted FTP server: every control with its label,
// buttons and menu items reaching the same actions, the confirmation dialog's field and box, the
// status colours. Screenshots (logged in, during a transfer, the dialog) go to
// build/screenshots/.
#include <QDir>
#include <QHeaderView>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>

#include "../ftp/ftp_server.h"
#include "confirm_dialog.h"
#include "ftp_files.h"
#include "ftpdesk_window.h"

namespace tarnet::test {
namespace {

using namespace ftpdesk;
namespace fs = std::filesystem;

class OnePort : public desktop::AdapterPort {
  public:
    bool List(std::vector<desktop::AdapterEntry>& out, std::string&) override {
        out = {
            {"tn-veth0", "Sandbox link"}
        };
        return true;
    }
    bool Open(const std::string&, std::string&) override { return open = true; }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }
    bool open = false;
};

class FtpDeskWindowTest : public FtpTest {
  protected:
    void SetUp() override {
        FtpTest::SetUp();
        start  = fs::current_path();
        folder = fs::temp_directory_path() / ("ftpdesk-qt-" + std::to_string(getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder / "docs");
        std::ofstream(folder / "notes.txt") << "some notes\n";
        std::ofstream(folder / "photo.jpg") << std::string(48213, 'x');
        fs::current_path(folder);
        listing = Text(
            "drwxr-xr-x 2 u g 4096 Jan 01 00:00 incoming\r\n"
            "drwxr-xr-x 2 u g 4096 Jan 01 00:00 pub\r\n"
            "-rw-r--r-- 1 u g 200000 Jan 01 00:00 big.bin\r\n"
            "-rw-r--r-- 1 u g 5 Jan 01 00:00 readme.txt\r\n");
        remote["big.bin"]      = Bytes(200000, 0x5A);
        TnFtpServices services = platform::FtpHostServices();
        window                 = std::make_unique<FtpDeskWindow>(
            port, [](TnSockConfig& c) { c = VirtualHost::Get().Config(); }, services,
            platform::FtpHostLocalFs(), folder.string());
        window->openUrl = [this](const QUrl& url) { opened.push_back(url); };
        window->show();
    }
    void TearDown() override {
        window.reset();
        fs::current_path(start);
        fs::remove_all(folder);
        FtpTest::TearDown();
    }

    static Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
    static void Click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }
    QPushButton* Button(const char* label) {
        return window->buttons.at(QString::fromLatin1(label));
    }
    QAction* Item(const char* text) { return window->menuItems.at(QString::fromLatin1(text)); }

    void LogIn() {
        window->adapterArea->dhcp->setChecked(false);
        window->adapterArea->localIp->setText(QStringLiteral("192.0.2.10"));
        window->adapterArea->mac->setText(QStringLiteral("02:54:4e:00:00:01"));
        Click(window->adapterArea->initialise);
        window->server->setText(QStringLiteral("192.0.2.1"));
        window->user->setText(QStringLiteral("user"));
        window->password->setText(QStringLiteral("secret"));
        Click(Button("Connect"));
        Pump();
        ASSERT_EQ(window->Logic().CurrentState(), kLoggedIn);
    }
    void Idle(std::uint64_t ms) {
        for (std::uint64_t t = 0; t < ms; ++t) {
            Advance(1);
            FtpDesk::Work(&window->Logic());
            Pump();
        }
    }
    QString LastLog() const {
        const int n = window->operationLog->count();
        return n == 0 ? QString() : window->operationLog->item(n - 1)->text();
    }
    int RemoteRow(const char* name) const {
        for (int r = 0; r < window->remoteFiles->rowCount(); ++r) {
            if (window->remoteFiles->item(r, 1)->text() == QLatin1String(name)) {
                return r;
            }
        }
        return -1;
    }
    // Runs `answer` on the confirmation dialog once it is open (it runs its own event loop).
    static void WhenAsked(std::function<void(desktop::ConfirmDialog&)> answer, int tries = 50) {
        QTimer::singleShot(10, [answer, tries] {
            auto* dialog = dynamic_cast<desktop::ConfirmDialog*>(QApplication::activeModalWidget());
            if (dialog != nullptr) {
                answer(*dialog);
            } else if (tries > 0) {
                WhenAsked(answer, tries - 1);
            } else {
                ADD_FAILURE() << "no confirmation dialog";
            }
        });
    }
    static void Screenshot(QWidget* widget, const char* name) {
        QDir().mkpath(QStringLiteral(TARNET_SCREENSHOT_DIR));
        const QString path = QStringLiteral(TARNET_SCREENSHOT_DIR "/") + QString::fromLatin1(name);
        EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
    }

    fs::path start;
    fs::path folder;
    OnePort port;
    std::vector<QUrl> opened;
    std::unique_ptr<FtpDeskWindow> window;
};

TEST_F(FtpDeskWindowTest, ShowsEveryControlWithItsLabel) {
    EXPECT_TRUE(window->windowTitle().startsWith(
        QStringLiteral("Tarnet C Source Library: FTP Demo (file://")));
    EXPECT_TRUE(window->windowTitle().endsWith(QStringLiteral("README.md)")));
    EXPECT_EQ(window->adapterArea->selector->currentText(), QStringLiteral("[1] Sandbox link"));
    EXPECT_TRUE(window->adapterArea->dhcp->isChecked());
    EXPECT_FALSE(window->adapterArea->localIp->isEnabled());
    EXPECT_EQ(window->adapterArea->mac->text(), QStringLiteral("00:1e:68:a4:fb:15"));
    EXPECT_EQ(window->adapterArea->gateway->text(), QStringLiteral("0.0.0.0"));
    EXPECT_EQ(window->server->text(), QString::fromLatin1(kDefaultServer));
    EXPECT_EQ(window->user->text(), QStringLiteral("anonymous"));
    EXPECT_EQ(window->port->text(), QStringLiteral("21"));
    EXPECT_EQ(window->timeout->text(), QStringLiteral("15000"));
    EXPECT_EQ(window->server->maxLength(), 79);
    EXPECT_EQ(window->port->maxLength(), 5);
    EXPECT_EQ(window->user->maxLength(), 99);
    EXPECT_EQ(window->password->maxLength(), 99);
    EXPECT_EQ(window->buttons.size(), 16u);
    EXPECT_EQ(window->menuItems.size(), 17u);
    EXPECT_EQ(window->exitItem->text(), QStringLiteral("Exit"));
    QStringList menus;
    for (QAction* a : window->menuBar()->actions()) {
        menus << a->text();
    }
    EXPECT_EQ(menus.join(QLatin1Char(',')), QStringLiteral("File,Tools,About,Exit"));
    for (QTableWidget* list : {window->localFiles, window->remoteFiles}) {
        EXPECT_EQ(list->horizontalHeaderItem(1)->text(), QStringLiteral("Files"));
        EXPECT_EQ(list->columnWidth(0), 40);
        EXPECT_EQ(list->columnWidth(2), 73);
        EXPECT_TRUE(list->showGrid());
        EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    }
    EXPECT_EQ(window->status->text(), QStringLiteral("Not Connected"));
    EXPECT_EQ(window->status->palette().color(QPalette::WindowText), QColor(0, 102, 0));
    EXPECT_EQ(window->description->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    // Local list: directories first, with the folder icon.
    EXPECT_EQ(window->localFiles->item(0, 1)->text(), QStringLiteral("."));
    EXPECT_FALSE(window->localFiles->item(2, 0)->icon().isNull());
    EXPECT_EQ(window->localFiles->item(3, 1)->text(), QStringLiteral("notes.txt"));
}

TEST_F(FtpDeskWindowTest, ButtonsAndMenuItemsReachTheSameActions) {
    LogIn();
    ASSERT_EQ(window->remoteFiles->rowCount(), 5);
    EXPECT_FALSE(window->remoteFiles->item(1, 0)->icon().isNull());
    Screenshot(window.get(), "ftpdesk-logged-in.png");
    struct Case {
        QWidget* button;
        QAction* item;
        const char* line;
    };
    const Case cases[] = {
        {Button("NOOP"),         Item("No Operation (NOOP)"),   "NOOP complete: 200 ok"        },
        {Button("Get Curr Dir"), Item("Get Current Directory"), "Current Directory=\"/home/u\""},
        {Button("Disconnect"),   Item("DISCONNECT"),            "Disconnected"                 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (window->Logic().CurrentState() != kLoggedIn) {
            Settle();
            Click(Button("Connect"));
            Pump();
        }
        Click(c.button);
        Pump();
        EXPECT_EQ(LastLog(), QString::fromLatin1(c.line));
        window->operationLog->clear();
        Settle();
        if (window->Logic().CurrentState() != kLoggedIn) {
            Item("CONNECT")->trigger();
            Pump();
        }
        c.item->trigger();
        Pump();
        EXPECT_EQ(LastLog(), QString::fromLatin1(c.line));
    }
    EXPECT_EQ(window->status->text(), QStringLiteral("Not Connected"));
    Click(Button("About"));
    Item("BUY ONLINE")->trigger();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], AboutUrl());
    EXPECT_EQ(opened[1], OrderUrl());
}

TEST_F(FtpDeskWindowTest, ConfirmationDialogFieldAndBox) {
    LogIn();
    window->remoteFiles->selectRow(RemoteRow("pub"));
    commands.clear();
    WhenAsked([](desktop::ConfirmDialog& d) {
        EXPECT_EQ(d.windowTitle(), QStringLiteral("Recursive Download Folder"));
        EXPECT_EQ(d.message->text(), QStringLiteral("Okay to Download Folder and all contents?"));
        EXPECT_EQ(d.message->palette().color(QPalette::WindowText), QColor(255, 51, 0));
        ASSERT_NE(d.edit, nullptr);
        EXPECT_EQ(d.edit->text(), QStringLiteral("pub"));
        ASSERT_NE(d.checkBox, nullptr);
        EXPECT_EQ(d.checkBox->text(), QStringLiteral("Overwrite Local Files?"));
        d.checkBox->setChecked(true);
        Screenshot(&d, "ftpdesk-confirm.png");
        Click(d.cancel);
    });
    Item("Download Folder")->trigger();
    Pump();
    EXPECT_TRUE(commands.empty()) << "Cancel sends nothing";
    EXPECT_FALSE(window->Logic().OverwriteChoice());

    WhenAsked([](desktop::ConfirmDialog& d) {
        EXPECT_EQ(d.checkBox, nullptr);
        EXPECT_EQ(d.edit->text(), QString());
        d.edit->setText(QStringLiteral("new folder"));
        Click(d.ok);
    });
    Item("Create Directory")->trigger();
    Pump();
    EXPECT_EQ(commands.front(), "MKD new folder");
    EXPECT_EQ(window->status->palette().color(QPalette::WindowText), QColor(0, 102, 0));
}

TEST_F(FtpDeskWindowTest, TransferShowsProgressAndFailuresShowInOrangeRed) {
    LogIn();
    autoTransfer = false;
    window->remoteFiles->selectRow(RemoteRow("big.bin"));
    Click(Button("Get File"));
    Pump();
    ASSERT_EQ(commands.back(), "RETR big.bin");
    ServerSend(Control(), "150 opening data connection\r\n");
    Conn* data = DataConn();
    ASSERT_NE(data, nullptr);
    ServerSend(*data, Bytes(100000, 0x5A));
    Idle(2100);
    EXPECT_EQ(window->progress->value(), 50);
    // Totals since the library started: the listings before count too.
    EXPECT_GE(window->receivedBytes->text().toULongLong(), 100000u);
    Screenshot(window.get(), "ftpdesk-transfer.png");
    ServerSend(*data, Bytes(100000, 0x5A));
    ServerClose(*data);
    ServerSend(Control(), "226 transfer complete\r\n");
    Idle(10);
    EXPECT_EQ(LastLog(), QStringLiteral("File receive complete (200000) bytes"));
    EXPECT_EQ(window->progress->value(), 100);

    replies["NOOP"] = "421 Service closing\r\n";
    Click(Button("NOOP"));
    Pump();
    EXPECT_EQ(window->status->text(), QStringLiteral("(17) Server Error: 421 Service closing"));
    EXPECT_EQ(window->status->palette().color(QPalette::WindowText), QColor(255, 51, 0));
    EXPECT_EQ(window->remoteFiles->rowCount(), 0);
}

}  // namespace
}  // namespace tarnet::test
