#include "TrayBalloon.h"

#include "ShellNotify.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QStyle>
#include <QToolTip>
#include <algorithm>

namespace {

constexpr int kIconSize = 16;
constexpr int kTextWidth = 320;

QIcon KindIcon(uint32_t kind, const QIcon& userIcon, const QStyle* style) {
    switch (kind & BalloonIcon::Mask) {
    case BalloonIcon::Info:
        return style->standardIcon(QStyle::SP_MessageBoxInformation);
    case BalloonIcon::Warning:
        return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case BalloonIcon::Error:
        return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case BalloonIcon::User:
        return userIcon;
    default:
        return {};
    }
}

} // namespace

TrayBalloon::TrayBalloon(const QString& title, const QString& text, uint32_t kind,
                         const QIcon& userIcon, QWidget* parent)
    : QWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(title);
    setObjectName(QStringLiteral("trayBalloon"));
    // The tooltip colours: a balloon reads like the desktop's tooltips, light or dark.
    setPalette(QToolTip::palette());
    setForegroundRole(QPalette::ToolTipText);

    auto* grid = new QGridLayout(this);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(4);
    int column = 0;
    const QIcon icon = KindIcon(kind, userIcon, style());
    if (!icon.isNull()) {
        auto* picture = new QLabel(this);
        picture->setPixmap(icon.pixmap(kIconSize, kIconSize));
        picture->setAlignment(Qt::AlignTop);
        grid->addWidget(picture, 0, 0, Qt::AlignTop);
        column = 1;
    }
    auto* titleLabel = new QLabel(title, this);
    titleLabel->setTextFormat(Qt::PlainText);
    QFont bold = titleLabel->font();
    bold.setBold(true);
    titleLabel->setFont(bold);
    titleLabel->setForegroundRole(QPalette::ToolTipText);
    grid->addWidget(titleLabel, 0, column);
    auto* textLabel = new QLabel(text, this);
    textLabel->setTextFormat(Qt::PlainText);
    textLabel->setWordWrap(true);
    textLabel->setForegroundRole(QPalette::ToolTipText);
    // As wide as the text, up to kTextWidth: a word-wrapped label alone would wrap it narrowly.
    textLabel->setFixedWidth(
        std::min(textLabel->fontMetrics().horizontalAdvance(text) + 2, kTextWidth));
    grid->addWidget(textLabel, 1, column);

    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &QWidget::close);
}

TrayBalloon::Placement TrayBalloon::Place(const QRect& icon, const QRect& screen,
                                          const QSize& size) {
    Placement p;
    const QPoint centre = icon.center();
    // The side with more room: below an icon in the upper half of the screen, else above.
    p.below = centre.y() < screen.center().y();
    const int width = size.width();
    const int height = size.height() + kTail;
    // The tail sits near the box's end that is nearer the icon's side of the screen.
    const int tailOffset = std::min(width / 2, 3 * kRadius + kTail);
    int x = centre.x() < screen.center().x() ? centre.x() - tailOffset
                                             : centre.x() - (width - tailOffset);
    x = std::clamp(x, screen.left(), std::max(screen.left(), screen.right() + 1 - width));
    // The tail's tip touches the icon's edge.
    const int y = p.below ? icon.bottom() + 1 : icon.top() - height;
    p.frame =
        QRect(x, std::clamp(y, screen.top(), std::max(screen.top(), screen.bottom() + 1 - height)),
              width, height);
    p.box = p.below ? QRect(0, kTail, width, size.height()) : QRect(0, 0, width, size.height());
    const int tipX = std::clamp(centre.x() - p.frame.x(), kRadius, width - 1 - kRadius);
    p.tip = QPoint(tipX, p.below ? 0 : height - 1);
    return p;
}

void TrayBalloon::ShowAt(const QRect& icon, int msecs) {
    adjustSize();
    const QSize boxSize = sizeHint();
    const QScreen* screen = QGuiApplication::screenAt(icon.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    m_placement = Place(icon, screen ? screen->geometry() : QRect(0, 0, 1024, 768), boxSize);
    // The tail's room is a margin of the layout on the icon's side.
    layout()->setContentsMargins(12, (m_placement.below ? kTail : 0) + 8, 12,
                                 (m_placement.below ? 0 : kTail) + 8);
    setGeometry(m_placement.frame);
    setMask(QRegion(Outline().toFillPolygon().toPolygon()));
    show();
    raise();
    if (msecs > 0)
        m_timeout.start(msecs);
}

QPainterPath TrayBalloon::Outline() const {
    const Placement& p = m_placement;
    QPainterPath path;
    path.addRoundedRect(QRectF(p.box).adjusted(0, 0, -1, -1), kRadius, kRadius);
    QPainterPath tail;
    const int base = p.below ? p.box.top() + 1 : p.box.bottom() - 1;
    const int half = kTail * 2 / 3;
    const int baseX =
        std::clamp(p.tip.x(), p.box.left() + kRadius + half, p.box.right() - kRadius - half);
    tail.moveTo(baseX - half, base);
    tail.lineTo(p.tip);
    tail.lineTo(baseX + half, base);
    tail.closeSubpath();
    return path.united(tail);
}

void TrayBalloon::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(palette().color(QPalette::ToolTipBase));
    painter.setPen(palette().color(QPalette::ToolTipText));
    painter.drawPath(Outline());
}

void TrayBalloon::mousePressEvent(QMouseEvent* event) {
    event->accept();
    close();
}
