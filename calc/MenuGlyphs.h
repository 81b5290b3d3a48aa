#pragma once

#include <QHash>
#include <QPixmap>
#include <QProxyStyle>

// The small pictures beside the menu bar's captions.
enum class Glyph { File, Example, Help };
QPixmap DrawGlyph(Glyph glyph, qreal devicePixelRatio = 1.0);

// Draws a glyph beside a menu bar item's caption. Qt's own menu bar shows only the icon of an
// action that has one; this style keeps the caption and puts the glyph before it.
class MenuBarGlyphStyle : public QProxyStyle {
public:
    explicit MenuBarGlyphStyle(QHash<QString, QPixmap> glyphsByCaption);

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;

private:
    static constexpr int kGlyphSize = 16;
    static constexpr int kGap = 4;
    QHash<QString, QPixmap> m_glyphs;
};
