#include "sockbench_window.h"

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QIntValidator>

namespace tarnet::sockbench {

namespace {

using desktop::AddLabel;
using desktop::Place;

constexpr int kDialogWidth  = 413;  // dialog units
constexpr int kDialogHeight = 247;

QLineEdit* PortField(QWidget* parent, const char* text) {
    auto* field = new QLineEdit(QString::fromLatin1(text), parent);
    field->setValidator(new QIntValidator(0, 65535, field));
    field->setMaxLength(5);
    return field;
}

std::uint16_t PortOf(const QLineEdit* field) {
    bool ok          = false;
    const uint value = field->text().toUInt(&ok);
    return ok && value <= 65535 ? static_cast<std::uint16_t>(value) : 0;
}

}  // namespace

SockBenchWindow::SockBenchWindow(desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill)
    : dialog(new QWidget(this)) {
    setWindowTitle(QStringLiteral("Tarnet test application"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    QFont font = QApplication::font();
    font.setPointSize(8);
    dialog->setFont(font);
    const desktop::DialogUnits units(font);
    Build(units);
    View& view = *this;
    logic_     = std::make_unique<SockBench>(view, port, std::move(fill));
    Wire();
    adapterArea->SetAdapters(logic_->LoadAdapters());
    move(0, 0);
}

SockBenchWindow::~SockBenchWindow() {
    logic_->Shutdown();  // while the widgets it reports to still exist
}

void SockBenchWindow::Build(const desktop::DialogUnits& units) {
    dialog->setGeometry(units.Rect(0, 0, kDialogWidth, kDialogHeight));
    setFixedSize(dialog->size());
    adapterArea = std::make_unique<desktop::AdapterArea>(dialog, units);

    auto* group = new QGroupBox(QStringLiteral("Session Properties"), dialog);
    Place(group, units, {4, 77, 169, 63});
    group->lower();

    AddLabel(dialog, units, QStringLiteral("Protocol"), {10, 93, 33, 8});
    protocol = new QComboBox(dialog);
    protocol->addItems({QStringLiteral("TCP"), QStringLiteral("UDP")});
    Place(protocol, units, {44, 91, 48, 13});
    AddLabel(dialog, units, QStringLiteral("Type"), {96, 93, 19, 8});
    type = new QComboBox(dialog);
    type->addItems({QStringLiteral("Client"), QStringLiteral("Server")});
    Place(type, units, {116, 91, 48, 13});

    AddLabel(dialog, units, QStringLiteral("Remote Host/IP"), {10, 108, 53, 8});
    remoteHost = new QLineEdit(QStringLiteral("10.1.10.210"), dialog);
    remoteHost->setMaxLength(static_cast<int>(kRemoteHostChars));
    Place(remoteHost, units, {64, 106, 100, 14});
    AddLabel(dialog, units, QStringLiteral("Local port"), {10, 125, 34, 8});
    localPort = PortField(dialog, "2000");
    Place(localPort, units, {45, 123, 40, 14});
    AddLabel(dialog, units, QStringLiteral("Rem. port"), {89, 125, 34, 8});
    remotePort = PortField(dialog, "2001");
    Place(remotePort, units, {124, 123, 40, 14});

    connectButton = new QPushButton(QStringLiteral("Connect"), dialog);
    Place(connectButton, units, {4, 143, 50, 14});
    listenButton = new QPushButton(QStringLiteral("Listen"), dialog);
    Place(listenButton, units, {64, 143, 50, 14});
    closeButton = new QPushButton(QStringLiteral("Close session"), dialog);
    Place(closeButton, units, {123, 143, 50, 14});

    AddLabel(dialog, units, QStringLiteral("Data to send"), {4, 163, 60, 8});
    data = new QLineEdit(QStringLiteral("test buffer"), dialog);
    data->setMaxLength(static_cast<int>(kDataChars));
    data->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Place(data, units, {4, 173, 169, 54});
    sendButton = new QPushButton(QStringLiteral("Send Data"), dialog);
    Place(sendButton, units, {64, 230, 50, 14});
    countersButton = new QPushButton(QStringLiteral("Counters"), dialog);
    Place(countersButton, units, {123, 230, 50, 14});

    AddLabel(dialog, units, QStringLiteral("Sessions"), {177, 46, 60, 8});
    sessions = new QTableWidget(0, 4, dialog);
    sessions->setHorizontalHeaderLabels({QStringLiteral("Src"), QStringLiteral("Dst"),
                                         QStringLiteral("Prot"), QStringLiteral("Stat")});
    const int widths[4] = {120, 120, 40, 60};
    for (int c = 0; c < 4; ++c) {
        sessions->setColumnWidth(c, widths[c]);
    }
    sessions->horizontalHeader()->setSectionsClickable(false);
    sessions->horizontalHeader()->setHighlightSections(false);
    sessions->verticalHeader()->hide();
    sessions->verticalHeader()->setDefaultSectionSize(units.Y(10));
    sessions->setSortingEnabled(false);
    sessions->setShowGrid(true);
    sessions->setSelectionBehavior(QAbstractItemView::SelectRows);
    sessions->setSelectionMode(QAbstractItemView::SingleSelection);
    sessions->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Place(sessions, units, {177, 56, 233, 56});

    AddLabel(dialog, units, QStringLiteral("Event Log"), {177, 119, 60, 8});
    eventLog = new QListWidget(dialog);
    eventLog->setSelectionMode(QAbstractItemView::SingleSelection);
    eventLog->setUniformItemSizes(true);
    eventLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Place(eventLog, units, {177, 129, 233, 115});
}

void SockBenchWindow::Wire() {
    connect(adapterArea->initialise, &QPushButton::clicked, this,
            [this] { logic_->Initialise(adapterArea->Request()); });
    // Shutting down stops the stack and closes the window, which ends the program.
    connect(adapterArea->shutdown, &QPushButton::clicked, this, [this] {
        logic_->Shutdown();
        close();
    });
    connect(connectButton, &QPushButton::clicked, this, [this] { logic_->Connect(Fields()); });
    connect(countersButton, &QPushButton::clicked, this, [this] { logic_->LogCounters(); });
    connect(listenButton, &QPushButton::clicked, this, [this] { logic_->Listen(Fields()); });
    connect(sendButton, &QPushButton::clicked, this,
            [this] { logic_->SendData(SelectedRecord(), data->text().toStdString()); });
    connect(closeButton, &QPushButton::clicked, this,
            [this] { logic_->CloseSession(SelectedRecord()); });
}

SessionFields SockBenchWindow::Fields() const {
    SessionFields f;
    f.protocolIndex = protocol->currentIndex();
    f.typeIndex     = type->currentIndex();
    f.remoteHost    = remoteHost->text().toStdString();
    f.localPort     = PortOf(localPort);
    f.remotePort    = PortOf(remotePort);
    return f;
}

int SockBenchWindow::SelectedRecord() const {
    const QList<QTableWidgetItem*> selected = sessions->selectedItems();
    if (selected.isEmpty()) {
        return -1;
    }
    QTableWidgetItem* first = sessions->item(selected.first()->row(), 0);
    return first != nullptr ? first->data(Qt::UserRole).toInt() : -1;
}

int SockBenchWindow::RowOfRecord(int record) const {
    for (int row = 0; row < sessions->rowCount(); ++row) {
        const QTableWidgetItem* item = sessions->item(row, 0);
        if (item != nullptr && item->data(Qt::UserRole).toInt() == record) {
            return row;
        }
    }
    return -1;
}

void SockBenchWindow::FillRow(int row, int record) {
    const SessionRow texts      = logic_->RowOf(record);
    const std::string* cells[4] = {&texts.src, &texts.dst, &texts.prot, &texts.stat};
    for (int c = 0; c < 4; ++c) {
        auto* item = new QTableWidgetItem(QString::fromStdString(*cells[c]));
        item->setData(Qt::UserRole, record);
        sessions->setItem(row, c, item);
    }
}

void SockBenchWindow::LogAppended(const std::string& row) {
    eventLog->addItem(QString::fromUtf8(row.data(), static_cast<qsizetype>(row.size())));
    eventLog->scrollToBottom();
}

void SockBenchWindow::LogFirstRemoved() {
    delete eventLog->takeItem(0);
}

void SockBenchWindow::SessionAdded(int record) {
    const int row = sessions->rowCount();
    sessions->insertRow(row);
    FillRow(row, record);
}

void SockBenchWindow::SessionChanged(int record) {
    const int row = RowOfRecord(record);
    if (row >= 0) {
        FillRow(row, record);
    }
}

void SockBenchWindow::SessionRemoved(int record) {
    const int row = RowOfRecord(record);
    if (row >= 0) {
        sessions->removeRow(row);
    }
}

void SockBenchWindow::ShowData(const std::string& utf8) {
    data->setText(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

void SockBenchWindow::ShowLocalAddress(const std::string& text) {
    adapterArea->SetLocalAddress(QString::fromStdString(text));
}

}  // namespace tarnet::sockbench
