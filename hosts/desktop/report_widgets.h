// How a desktop program reports: a status line of one coloured text per state, a progress bar
// from 0 to 100, and a log view over LogRows (either of its policies).
#pragma once

#include <QColor>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <string>

#include "log_rows.h"

namespace tarnet::desktop {

class StatusLine : public QLabel {
  public:
    enum class State { kBusy, kNormal, kFailure };
    static QColor ColourOf(State state);

    explicit StatusLine(QWidget* parent);
    void Show(const QString& text, State state);
    State Current() const { return state_; }

  private:
    State state_ = State::kNormal;
};

// A progress bar over 0 to 100; values outside are held at the nearest end.
class Progress : public QProgressBar {
  public:
    explicit Progress(QWidget* parent);
    void Set(long long percent);
};

class LogView : public QListWidget {
  public:
    LogView(QWidget* parent, LogRows::Policy policy, std::size_t capacity, std::size_t charLimit);
    void Append(const std::string& text);
    const LogRows& Rows() const { return rows_; }

  private:
    LogRows rows_;
};

}  // namespace tarnet::desktop
