#include "MessageBoxes.h"
#include "support/ScriptedMessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <type_traits>

// The test double must stay a complete implementation of the interface.
static_assert(!std::is_abstract_v<ScriptedMessageBoxes>);

namespace {

enum class Action { ClickOk, ClickCancel, Escape, Enter, Close };

// What the box looked like when it came up.
struct SeenBox {
    bool seen = false;
    QString text;
    QString caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QWidget* parent = nullptr;
};

QMessageBox* ShownBox() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    }
    return nullptr;
}

// Waits (up to about 10 s) for the box to come up, notes what it shows and answers it.
void AnswerWhenShown(Action action, SeenBox* seen, int attempts = 1000) {
    QTimer::singleShot(10, [action, seen, attempts] {
        QMessageBox* box = ShownBox();
        if (!box) {
            if (attempts > 1)
                AnswerWhenShown(action, seen, attempts - 1);
            return;
        }
        seen->seen = true;
        seen->text = box->text();
        seen->caption = box->windowTitle();
        seen->icon = box->icon();
        seen->buttons = box->standardButtons();
        seen->defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton())
                                                   : QMessageBox::NoButton;
        seen->parent = box->parentWidget();
        switch (action) {
        case Action::ClickOk:
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            break;
        case Action::ClickCancel:
            QTest::mouseClick(box->button(QMessageBox::Cancel), Qt::LeftButton);
            break;
        case Action::Escape:
            QTest::keyClick(box, Qt::Key_Escape);
            break;
        case Action::Enter:
            QTest::keyClick(box, Qt::Key_Return);
            break;
        case Action::Close:
            box->close();
            break;
        }
    });
}

} // namespace

Q_DECLARE_METATYPE(Action)

class tst_MessageBoxes : public QObject {
    Q_OBJECT
private slots:
    void show_data();
    void show();
};

void tst_MessageBoxes::show_data() {
    QTest::addColumn<unsigned>("flags");
    QTest::addColumn<Action>("action");
    QTest::addColumn<int>("result");
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<QMessageBox::StandardButtons>("buttons");

    const unsigned confirm = MessageBoxes::OkCancel | MessageBoxes::IconQuestion;
    const QMessageBox::StandardButtons okCancel = QMessageBox::Ok | QMessageBox::Cancel;
    QTest::newRow("confirm, OK") << confirm << Action::ClickOk << int(MessageBoxes::IdOk)
                                 << QMessageBox::Question << okCancel;
    QTest::newRow("confirm, Cancel")
        << confirm << Action::ClickCancel << int(MessageBoxes::IdCancel) << QMessageBox::Question
        << okCancel;
    QTest::newRow("confirm, Escape") << confirm << Action::Escape << int(MessageBoxes::IdCancel)
                                     << QMessageBox::Question << okCancel;
    QTest::newRow("confirm, Enter takes the default")
        << confirm << Action::Enter << int(MessageBoxes::IdOk) << QMessageBox::Question << okCancel;
    QTest::newRow("confirm, closed") << confirm << Action::Close << int(MessageBoxes::IdCancel)
                                     << QMessageBox::Question << okCancel;
    const QMessageBox::StandardButtons ok = QMessageBox::Ok;
    QTest::newRow("error, OK") << unsigned(MessageBoxes::Ok | MessageBoxes::IconError)
                               << Action::ClickOk << int(MessageBoxes::IdOk)
                               << QMessageBox::Critical << ok;
    QTest::newRow("warning, Escape")
        << unsigned(MessageBoxes::Ok | MessageBoxes::IconWarning) << Action::Escape
        << int(MessageBoxes::IdOk) << QMessageBox::Warning << ok;
    QTest::newRow("information, closed")
        << unsigned(MessageBoxes::Ok | MessageBoxes::IconInformation) << Action::Close
        << int(MessageBoxes::IdOk) << QMessageBox::Information << ok;
    QTest::newRow("no icon") << unsigned(MessageBoxes::OkCancel) << Action::ClickCancel
                             << int(MessageBoxes::IdCancel) << QMessageBox::NoIcon << okCancel;
}

void tst_MessageBoxes::show() {
    QFETCH(unsigned, flags);
    QFETCH(Action, action);
    QFETCH(int, result);
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(QMessageBox::StandardButtons, buttons);

    QWidget owner;
    owner.resize(400, 300);
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));

    SeenBox seen;
    AnswerWhenShown(action, &seen);
    QtMessageBoxes boxes;
    const QString text = QStringLiteral("Are you sure you want to erase the history?");
    const QString caption = QStringLiteral("Quantoria");
    QCOMPARE(boxes.Show(&owner, text, caption, flags), result);

    QVERIFY(seen.seen);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.caption, caption);
    QCOMPARE(seen.icon, icon);
    QCOMPARE(seen.buttons, buttons);
    QCOMPARE(seen.defaultButton, QMessageBox::Ok);
    QCOMPARE(seen.parent, &owner);
}

QTEST_MAIN(tst_MessageBoxes)
#include "tst_MessageBoxes.moc"
