// quantoria-icons: the program's icon in the sizes of the hicolor icon theme, drawn from the
// 32x32 picture (resources/quantoria.png) at build time.
//
//   quantoria-icons SOURCE.png OUTDIR NAME SIZE...
//
// writes OUTDIR/<SIZE>x<SIZE>/NAME.png for each SIZE. A size that is a whole multiple of the
// picture's keeps it pixel for pixel: every pixel becomes a square block (nearest neighbour).
// Any other size is the area average of the picture enlarged to a multiple of that size, so a
// picture pixel covers whole pixels of the enlargement and only the block edges blend.
#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace {

QImage Blocks(const QImage& picture, int factor) {
    return picture.scaled(picture.width() * factor, picture.height() * factor,
                          Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

QImage Icon(const QImage& picture, int size) {
    const int side = picture.width();
    if (size % side == 0)
        return Blocks(picture, size / side);
    // Enlarge to a whole multiple of the size: every icon pixel then averages whole blocks, each
    // weighed by the area it covers.
    int factor = 1;
    while ((side * factor) % size != 0 && factor < 64)
        ++factor;
    if ((side * factor) % size != 0)
        factor = 16;
    return Blocks(picture, factor)
        .scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: quantoria-icons SOURCE.png OUTDIR NAME SIZE...\n");
        return 2;
    }
    QImage picture(QString::fromLocal8Bit(argv[1]));
    if (picture.isNull() || picture.width() != picture.height()) {
        std::fprintf(stderr, "quantoria-icons: %s is not a square picture\n", argv[1]);
        return 1;
    }
    picture = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QString outDir = QString::fromLocal8Bit(argv[2]);
    const QString name = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 1 || size > 1024) {
            std::fprintf(stderr, "quantoria-icons: bad size %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1/%2x%2").arg(outDir).arg(size);
        const QString path = QStringLiteral("%1/%2.png").arg(folder, name);
        if (!QDir().mkpath(folder) ||
            !Icon(picture, size).convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
            std::fprintf(stderr, "quantoria-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
