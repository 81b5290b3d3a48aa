#include "calc/FormAbout.h"

#include "app/Global.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QPushButton>

namespace {

QLabel* PlaceLabel(QWidget* parent, const QString& caption, int x, int y) {
    auto* label = new QLabel(caption, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

} // namespace

TfrmAbout::TfrmAbout(QWidget* owner, ShellOpen& shell,
                     std::function<QString(const QString& path)> versionText)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_shell(shell), m_versionText(std::move(versionText)) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(414, 279);
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
    setFont(font);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(16, 8, 385, 145);
    lblVersion = PlaceLabel(Panel1, QStringLiteral("Version:"), 136, 68);
    lblProductFullName = new QLabel(Panel1);
    lblProductFullName->setGeometry(32, 24, 334, 16);
    lblProductFullName->setAlignment(Qt::AlignCenter);
    QFont title = font;
    title.setPointSize(10);
    title.setBold(true);
    lblProductFullName->setFont(title);

    Label3 = PlaceLabel(this, QStringLiteral("Copyright \u00A9 2026 The Quantoria developers"), 112,
                        172);
    Label4 = PlaceLabel(this, QStringLiteral("Web Site:"), 104, 200);
    labelWeb = new TLabel(this, kMakerHost);
    labelWeb->move(160, 200);
    Label5 = PlaceLabel(this, QStringLiteral("Support Email:"), 83, 224);
    labelMail = new TLabel(this, g_supportMail);
    labelMail->move(160, 224);
    for (TLabel* link : {labelWeb, labelMail}) {
        QFont underlined = link->font();
        underlined.setUnderline(true);
        link->setFont(underlined);
        link->adjustSize();
        link->OnMouseEnter = [this](TLabel* s) { labelWebMouseEnter(s); };
        link->OnMouseLeave = [this](TLabel* s) { labelWebMouseLeave(s); };
    }
    labelWeb->setAccessibleName(QStringLiteral("Web Site"));
    labelMail->setAccessibleName(QStringLiteral("Support Email"));
    labelWeb->OnClick = [this](TLabel*) { labelWebClick(); };
    labelMail->OnClick = [this](TLabel*) { labelMailClick(); };

    btnVisitHomePage = new QPushButton(QStringLiteral("Visit Product Page"), this);
    btnVisitHomePage->setGeometry(0, 248, 91, 25);
    btnClose = new QPushButton(QStringLiteral("Close"), this);
    btnClose->setGeometry(320, 248, 91, 25);
    setTabOrder(btnVisitHomePage, btnClose);
    btnVisitHomePage->setFocus();
    connect(btnVisitHomePage, &QPushButton::clicked, this, [this] { btnVisitHomePageClick(); });
    connect(btnClose, &QPushButton::clicked, this, [this] { btnCloseClick(); });

    FormCreate();
}

void TfrmAbout::FormCreate() {
    lblProductFullName->setText(g_appTitle);
    lblVersion->setText(QStringLiteral("Version:") +
                        m_versionText(QCoreApplication::applicationFilePath()));
    lblVersion->adjustSize();
}

void TfrmAbout::btnCloseClick() {
    close();
}

void TfrmAbout::labelWebMouseEnter(TLabel* sender) {
    sender->SetFontColor(QColor(0, 0, 255));
    sender->setCursor(Qt::PointingHandCursor);
}

void TfrmAbout::labelWebMouseLeave(TLabel* sender) {
    sender->SetFontColor(QColor(0, 0, 0));
    sender->setCursor(Qt::ArrowCursor);
}

void TfrmAbout::btnVisitHomePageClick() {
    m_shell.Open(g_productPageUrl, ShowState::Maximized);
}

void TfrmAbout::labelMailClick() {
    m_shell.Open(QStringLiteral("mailto:") + g_supportMail, ShowState::Normal);
}

void TfrmAbout::labelWebClick() {
    m_shell.Open(g_homePageUrl, ShowState::Maximized);
}
