#include "report_widgets.h"

#include <algorithm>

namespace tarnet::desktop {

QColor StatusLine::ColourOf(State state) {
    switch (state) {
        case State::kBusy:
            return {0, 0, 0};  // black while something is being started
        case State::kNormal:
            return {0, 102, 0};  // dark green
        case State::kFailure:
            return {255, 51, 0};  // orange-red
    }
    return {0, 0, 0};
}

StatusLine::StatusLine(QWidget* parent) : QLabel(parent) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
}

void StatusLine::Show(const QString& text, State state) {
    state_           = state;
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, ColourOf(state));
    setPalette(palette);
    setText(text);
}

Progress::Progress(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 100);
    setValue(0);
}

void Progress::Set(long long percent) {
    setValue(static_cast<int>(std::clamp(percent, 0LL, 100LL)));
}

LogView::LogView(QWidget* parent, LogRows::Policy policy, std::size_t capacity,
                 std::size_t charLimit)
    : QListWidget(parent), rows_(policy, capacity, charLimit) {}

void LogView::Append(const std::string& text) {
    switch (rows_.Append(text)) {
        case LogRows::Change::kEmptied:
            clear();
            break;
        case LogRows::Change::kOldestDropped:
            delete takeItem(0);
            break;
        case LogRows::Change::kAppended:
            break;
    }
    addItem(QString::fromStdString(rows_.Last()));
    scrollToBottom();
}

}  // namespace tarnet::desktop
