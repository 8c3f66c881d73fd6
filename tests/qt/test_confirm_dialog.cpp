// The confirmation dialog's answers: OK gives 1 and hands back the edit field and the check box,
// Cancel gives 0 and changes nothing; the edit field keeps its length limit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <functional>

#include "confirm_dialog.h"

namespace tarnet::desktop {
namespace {

// Runs `act` on the dialog once it is shown and modal.
int AskAndAct(Confirmation& ask, std::function<void(ConfirmDialog&)> act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = dynamic_cast<ConfirmDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        act(*dialog);
    });
    return ConfirmDialog::Ask(nullptr, ask);
}

TEST(ConfirmDialog, OkHandsBackTheFieldsAndCancelChangesNothing) {
    struct Case {
        bool ok;
        int answer;
        QString edit;
        bool checked;
    };
    const Case cases[] = {
        {true,  1, QStringLiteral("renamed.txt-"), true },
        {false, 0, QStringLiteral("old.txt"),      false},
    };
    for (const Case& c : cases) {
        Confirmation ask;
        ask.title        = QStringLiteral("Rename");
        ask.message      = QStringLiteral("New name:");
        ask.edit         = QStringLiteral("old.txt");
        ask.editLimit    = 12;
        ask.checkBox     = QStringLiteral("Overwrite Local Files?");
        const int answer = AskAndAct(ask, [&c](ConfirmDialog& dialog) {
            EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Rename"));
            EXPECT_EQ(dialog.message->palette().color(QPalette::WindowText), QColor(255, 51, 0));
            EXPECT_EQ(dialog.edit->text(), QStringLiteral("old.txt"));
            dialog.edit->clear();
            QTest::keyClicks(dialog.edit, QStringLiteral("renamed.txt-too-long"));
            dialog.checkBox->setChecked(true);
            QTest::mouseClick(c.ok ? dialog.ok : dialog.cancel, Qt::LeftButton);
        });
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(ask.edit, c.edit) << "cut to 12 characters on OK";
        EXPECT_EQ(ask.checked, c.checked);
    }
}

TEST(ConfirmDialog, WithoutEditFieldOrCheckBoxOnlyTheAnswerComesBack) {
    Confirmation ask;
    ask.title        = QStringLiteral("Confirm file overwrite");
    ask.message      = QStringLiteral("File already exists. Overwrite?");
    const int answer = AskAndAct(ask, [](ConfirmDialog& dialog) {
        EXPECT_EQ(dialog.edit, nullptr);
        EXPECT_EQ(dialog.checkBox, nullptr);
        QTest::mouseClick(dialog.ok, Qt::LeftButton);
    });
    EXPECT_EQ(answer, 1);
    EXPECT_FALSE(ask.edit.has_value());
}

}  // namespace
}  // namespace tarnet::desktop
