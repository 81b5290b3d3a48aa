#pragma once

#include <QIcon>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>

class QLabel;

// A balloon tip pointing at a tray icon, for tray hosts that show none of their own (XEmbed): the
// title, the text and the icon of its kind (a BalloonIcon value; BalloonIcon::User shows
// `userIcon`), in a rounded box whose tail points at the icon. It goes after `msecs` or when
// clicked. Its window carries the title, and its title and text are labels, so assistive tools
// read them.
class TrayBalloon final : public QWidget {
    Q_OBJECT
public:
    TrayBalloon(const QString& title, const QString& text, uint32_t kind, const QIcon& userIcon,
                QWidget* parent = nullptr);

    // Places the balloon so that its tail points at the middle of `icon` (screen coordinates),
    // on the side of the icon where the screen has more room, shows it and starts its time-out.
    void ShowAt(const QRect& icon, int msecs);

    // Where the balloon goes for an icon at `icon` on a screen `screen`, and where its tail's tip
    // is, for a balloon of the size `size` (without the tail).
    struct Placement {
        QRect frame; // the whole window, tail included
        QRect box;   // the rounded box inside it
        QPoint tip;  // the tail's tip, in window coordinates
        bool below;  // the balloon hangs below the icon
    };
    static Placement Place(const QRect& icon, const QRect& screen, const QSize& size);

    static constexpr int kTail = 12;  // the tail's height
    static constexpr int kRadius = 7; // the box's corners

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QPainterPath Outline() const;

    Placement m_placement;
    QTimer m_timeout;
};
