#pragma once

#include "Controls.h"
#include "ShellOpen.h"

#include <QDialog>
#include <functional>

class QFrame;
class QPushButton;

// The About window: title, version, the maker's links and the product page button.
class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    // `versionText` reads the file version of an executable ("" when it has none).
    TfrmAbout(QWidget* owner, ShellOpen& shell,
              std::function<QString(const QString& path)> versionText);

    void setVisible(bool visible) override;

private:
    // The controls, whose object names are these names.
    QFrame* Panel1;
    QLabel* lblVersion;
    QLabel* lblProductFullName;
    QLabel* Label3;
    QLabel* Label4;
    TLabel* labelWeb;
    QLabel* Label5;
    TLabel* labelMail;
    QPushButton* btnVisitHomePage;
    QPushButton* btnClose;

    void btnCloseClick();
    void labelWebMouseEnter(TLabel* sender);
    void labelWebMouseLeave(TLabel* sender);
    void btnVisitHomePageClick();
    void labelMailClick();
    void labelWebClick();
    void FormCreate();

    ShellOpen& m_shell;
    const std::function<QString(const QString&)> m_versionText;
};
