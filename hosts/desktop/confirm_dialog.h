// The confirmation dialog the FTP and mail programs ask with: modal, centred on its parent, a
// title, a message drawn in a colour, an optional edit field with a length limit (preset and
// read back), an optional check box, and OK and Cancel. Ask() answers 1 for OK and 0 for Cancel.
#pragma once

#include <QCheckBox>
#include <QColor>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <optional>

namespace tarnet::desktop {

struct Confirmation {
    QString title;
    QString message;
    QColor messageColour{255, 51, 0};  // orange-red
    // The edit field: shown when set, preset with this text and limited to editLimit characters.
    std::optional<QString> edit;
    int editLimit = 511;
    // The check box: shown when set, with this text; `checked` is its state before and after.
    std::optional<QString> checkBox;
    bool checked = false;
};

class ConfirmDialog : public QDialog {
  public:
    ConfirmDialog(QWidget* parent, const Confirmation& ask);

    // The answer: 1 for OK, 0 for Cancel (or the window closed). On OK the edit field's text
    // and the check box's state are copied back into `ask`.
    static int Ask(QWidget* parent, Confirmation& ask);

    QLabel* message;
    QLineEdit* edit     = nullptr;
    QCheckBox* checkBox = nullptr;
    QPushButton* ok;
    QPushButton* cancel;
};

}  // namespace tarnet::desktop
