// sockbench's window: "Tarnet test application", a thin layer over SockBench. Every control of
// the test program's dialog at its dialog-unit place, each button calling one command of the
// logic, and the View callbacks keeping the session list, the event log and the fields current.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>
#include <memory>

#include "adapter_area.h"
#include "sockbench_logic.h"

namespace tarnet::sockbench {

class SockBenchWindow : public QWidget, private View {
  public:
    // `fill` puts the host callbacks into the stack's configuration.
    SockBenchWindow(desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill);
    ~SockBenchWindow() override;

    SockBench& Logic() { return *logic_; }
    SessionFields Fields() const;
    // The record of the selected session row, -1 when none is selected.
    int SelectedRecord() const;
    // The row showing `record`, -1 when none does.
    int RowOfRecord(int record) const;

    QWidget* dialog;
    std::unique_ptr<desktop::AdapterArea> adapterArea;
    QComboBox* protocol;
    QComboBox* type;
    QLineEdit* remoteHost;
    QLineEdit* localPort;
    QLineEdit* remotePort;
    QPushButton* connectButton;
    QPushButton* listenButton;
    QPushButton* closeButton;
    QLineEdit* data;
    QPushButton* sendButton;
    QPushButton* countersButton;
    QTableWidget* sessions;
    QListWidget* eventLog;

  private:
    void Build(const desktop::DialogUnits& units);
    void Wire();
    void FillRow(int row, int record);

    void LogAppended(const std::string& row) override;
    void LogFirstRemoved() override;
    void SessionAdded(int record) override;
    void SessionChanged(int record) override;
    void SessionRemoved(int record) override;
    void ShowData(const std::string& utf8) override;
    void ShowLocalAddress(const std::string& text) override;

    std::unique_ptr<SockBench> logic_;
};

}  // namespace tarnet::sockbench
