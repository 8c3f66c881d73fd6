#include "confirm_dialog.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tarnet::desktop {

ConfirmDialog::ConfirmDialog(QWidget* parent, const Confirmation& ask)
    : QDialog(parent),
      message(new QLabel(ask.message, this)),
      ok(new QPushButton(QStringLiteral("OK"), this)),
      cancel(new QPushButton(QStringLiteral("Cancel"), this)) {
    setWindowTitle(ask.title);
    setModal(true);
    QPalette palette = message->palette();
    palette.setColor(QPalette::WindowText, ask.messageColour);
    message->setPalette(palette);
    message->setWordWrap(true);

    auto* column = new QVBoxLayout(this);
    column->addWidget(message);
    if (ask.edit) {
        edit = new QLineEdit(this);
        edit->setMaxLength(ask.editLimit);
        edit->setText(*ask.edit);  // cut to the limit by the field itself
        column->addWidget(edit);
    }
    if (ask.checkBox) {
        checkBox = new QCheckBox(*ask.checkBox, this);
        checkBox->setChecked(ask.checked);
        column->addWidget(checkBox);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    column->addLayout(buttons);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

int ConfirmDialog::Ask(QWidget* parent, Confirmation& ask) {
    ConfirmDialog dialog(parent, ask);
    if (parent != nullptr) {
        dialog.adjustSize();
        dialog.move(parent->geometry().center() - dialog.rect().center());
    }
    if (dialog.exec() != QDialog::Accepted) {
        return 0;
    }
    if (dialog.edit != nullptr) {
        ask.edit = dialog.edit->text();
    }
    if (dialog.checkBox != nullptr) {
        ask.checked = dialog.checkBox->isChecked();
    }
    return 1;
}

}  // namespace tarnet::desktop
