#include "MessageBoxes.h"

#include <QMessageBox>
#include <QPushButton>

namespace {

QMessageBox::Icon IconOf(unsigned flags) {
    switch (flags & MessageBoxes::IconMask) {
    case MessageBoxes::IconError:
        return QMessageBox::Critical;
    case MessageBoxes::IconQuestion:
        return QMessageBox::Question;
    case MessageBoxes::IconWarning:
        return QMessageBox::Warning;
    case MessageBoxes::IconInformation:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

} // namespace

int QtMessageBoxes::Show(QWidget* owner, const QString& text, const QString& caption,
                         unsigned flags) {
    QMessageBox box(IconOf(flags), caption, text, QMessageBox::NoButton, owner);
    box.setAccessibleName(caption);
    QPushButton* ok = box.addButton(QMessageBox::Ok);
    QPushButton* cancel = nullptr;
    if ((flags & ButtonMask) == OkCancel)
        cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(ok);
    box.setEscapeButton(cancel ? cancel : ok);
    box.exec();
    if (!cancel)
        return IdOk;
    return box.clickedButton() == ok ? IdOk : IdCancel;
}
