#include "MenuGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionMenuItem>

QPixmap DrawGlyph(Glyph glyph, qreal devicePixelRatio) {
    QPixmap pixmap(QSize(16, 16) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (glyph) {
    case Glyph::File: { // a sheet with a folded corner
        QPainterPath sheet;
        sheet.moveTo(3.5, 1.5);
        sheet.lineTo(10.5, 1.5);
        sheet.lineTo(13.5, 4.5);
        sheet.lineTo(13.5, 14.5);
        sheet.lineTo(3.5, 14.5);
        sheet.closeSubpath();
        p.setPen(QPen(QColor(60, 60, 90), 1));
        p.setBrush(QColor(250, 250, 240));
        p.drawPath(sheet);
        p.drawLine(QPointF(10.5, 1.5), QPointF(10.5, 4.5));
        p.drawLine(QPointF(10.5, 4.5), QPointF(13.5, 4.5));
        p.setPen(QPen(QColor(120, 140, 190), 1));
        for (int y = 7; y <= 12; y += 2)
            p.drawLine(QPointF(5.5, y + 0.5), QPointF(11.5, y + 0.5));
        break;
    }
    case Glyph::Example: { // a lit bulb
        p.setPen(QPen(QColor(150, 110, 0), 1));
        p.setBrush(QColor(255, 214, 50));
        p.drawEllipse(QRectF(3.5, 1.5, 9, 9));
        p.setBrush(QColor(130, 130, 130));
        p.drawRect(QRectF(6, 10.5, 4, 3.5));
        p.drawLine(QPointF(6, 12.2), QPointF(10, 12.2));
        break;
    }
    case Glyph::Help: { // a question mark in a blue disc
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 100, 200));
        p.drawEllipse(QRectF(1, 1, 14, 14));
        QFont font;
        font.setPixelSize(12);
        font.setBold(true);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    }
    return pixmap;
}

MenuBarGlyphStyle::MenuBarGlyphStyle(QHash<QString, QPixmap> glyphsByCaption)
    : m_glyphs(std::move(glyphsByCaption)) {}

QSize MenuBarGlyphStyle::sizeFromContents(ContentsType type, const QStyleOption* option,
                                          const QSize& size, const QWidget* widget) const {
    QSize result = QProxyStyle::sizeFromContents(type, option, size, widget);
    if (type == CT_MenuBarItem)
        if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
            item && m_glyphs.contains(item->text))
            result.rwidth() += kGlyphSize + kGap;
    return result;
}

void MenuBarGlyphStyle::drawControl(ControlElement element, const QStyleOption* option,
                                    QPainter* painter, const QWidget* widget) const {
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    if (element != CE_MenuBarItem || !item || !m_glyphs.contains(item->text))
        return QProxyStyle::drawControl(element, option, painter, widget);

    // The item's background over its whole width, then the caption after the glyph.
    QStyleOptionMenuItem background(*item);
    background.text.clear();
    QProxyStyle::drawControl(element, &background, painter, widget);
    QStyleOptionMenuItem caption(*item);
    caption.rect.setLeft(item->rect.left() + kGlyphSize + kGap);
    QProxyStyle::drawControl(element, &caption, painter, widget);
    const QPixmap& glyph = m_glyphs[item->text];
    const int y = item->rect.top() + (item->rect.height() - kGlyphSize) / 2;
    painter->drawPixmap(item->rect.left() + kGap, y, glyph);
}
