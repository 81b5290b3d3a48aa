#include "FormAbout.h"

#include "Global.h"

#include <QApplication>
#include <QFrame>
#include <QPushButton>

#include <utility>

namespace {

QLabel* PlaceLabel(QWidget* parent, const QString& caption, int x, int y) {
    auto* label = new QLabel(caption, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

// A caption that ends just before the link beside it: at its designed place where it fits there,
// otherwise moved left so that it still ends before the link (desktop fonts run wider than the
// designed one).
QLabel* PlaceLabelBefore(QWidget* parent, const QString& caption, int x, int y, int linkX) {
    constexpr int kGap = 4;
    QLabel* label = PlaceLabel(parent, caption, x, y);
    if (label->geometry().right() >= linkX - kGap)
        label->move(std::max(0, linkX - kGap - label->width()), y);
    return label;
}

// A push button at its designed place, widened to the right where its caption needs more room.
QPushButton* PlaceButton(QWidget* parent, const QString& caption, int x, int y, int w, int h) {
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(x, y, std::max(w, button->sizeHint().width()), h);
    return button;
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
    // The desktop's font family at the designed size.
    QFont font = QApplication::font();
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
    Label4 = PlaceLabelBefore(this, QStringLiteral("Web Site:"), 104, 200, 160);
    labelWeb = new TLabel(this, kMakerHost);
    labelWeb->move(160, 200);
    Label5 = PlaceLabelBefore(this, QStringLiteral("Support Email:"), 83, 224, 160);
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

    btnVisitHomePage = PlaceButton(this, QStringLiteral("Visit Product Page"), 0, 248, 91, 25);
    btnClose = PlaceButton(this, QStringLiteral("Close"), 320, 248, 91, 25);
    setTabOrder(btnVisitHomePage, btnClose);
    btnVisitHomePage->setFocus();
    connect(btnVisitHomePage, &QPushButton::clicked, this, [this] { btnVisitHomePageClick(); });
    connect(btnClose, &QPushButton::clicked, this, [this] { btnCloseClick(); });

    const std::pair<QWidget*, const char*> names[] = {{Panel1, "Panel1"},
                                                      {lblVersion, "lblVersion"},
                                                      {lblProductFullName, "lblProductFullName"},
                                                      {Label3, "Label3"},
                                                      {Label4, "Label4"},
                                                      {labelWeb, "labelWeb"},
                                                      {Label5, "Label5"},
                                                      {labelMail, "labelMail"},
                                                      {btnVisitHomePage, "btnVisitHomePage"},
                                                      {btnClose, "btnClose"}};
    for (const auto& [widget, name] : names)
        widget->setObjectName(QLatin1String(name));

    FormCreate();
}

// Centred over the owner window, frame on frame. The window is not decorated yet when it is
// shown; its frame is taken to be as wide as the owner's, whose decoration comes from the same
// window manager. (QDialog's own placement guesses the frame and can land tens of pixels off.)
void TfrmAbout::setVisible(bool visible) {
    if (visible && !isVisible())
        if (const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr) {
            const QRect ownerFrame = owner->frameGeometry();
            const QRect ownerClient = owner->geometry();
            const QMargins frame(ownerClient.left() - ownerFrame.left(),
                                 ownerClient.top() - ownerFrame.top(),
                                 ownerFrame.right() - ownerClient.right(),
                                 ownerFrame.bottom() - ownerClient.bottom());
            const QSize outer = size().grownBy(frame);
            move(ownerFrame.center() - QPoint(outer.width() / 2, outer.height() / 2));
        }
    QDialog::setVisible(visible);
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
    sender->SetIdleFontColor(QColor(0, 0, 0));
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
