#include "ApplicationIcon.h"

#include <QImage>
#include <QPixmap>
#include <QSet>
#include <QTest>

class tst_ApplicationIcon : public QObject {
    Q_OBJECT
private slots:
    void picture();
};

// The compiled-in picture: 32x32, at most 16 colours, transparent corners, and the drawing it
// was made from.
void tst_ApplicationIcon::picture() {
    const QIcon icon = ApplicationIcon();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(32, 32)});

    const QImage image =
        icon.pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(image.size(), QSize(32, 32));
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                colours.insert(image.pixel(x, y));
    QVERIFY(colours.size() >= 4);
    QVERIFY(colours.size() <= 16);
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);

    const QImage drawing =
        QImage(QStringLiteral(ICON_DRAWING)).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(drawing.size(), QSize(32, 32));
    QCOMPARE(image.convertToFormat(QImage::Format_ARGB32_Premultiplied),
             drawing.convertToFormat(QImage::Format_ARGB32_Premultiplied));
}

QTEST_MAIN(tst_ApplicationIcon)
#include "tst_ApplicationIcon.moc"
