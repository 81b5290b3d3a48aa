// `cmake --install` into a temporary DESTDIR, with the prefix the build tree is configured with
// (/usr/local unless set): exactly the program, quantoria-eval, the desktop entry, the AppStream
// metainfo, the hicolor icons, the two manual pages, the copyright file and the changelog; the
// entry and the metainfo pass the freedesktop and AppStream validators and agree with each other
// and with the installed files; the icons are our picture. That the installed program keeps its
// seal is checked by tst_Integrity (installedProgram).
//
// The install names a component, so that it writes install_manifest_<component>.txt and leaves
// the build tree's install_manifest.txt, which a real install wrote, alone.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

const QString kAppId = QStringLiteral("example.quantoria.Quantoria");
const QList<int> kIconSizes = {16, 22, 32, 48, 64, 128, 256};
constexpr int kToolTimeoutMs = 60000;

struct Result {
    bool ok = false; // started, ended normally in time, exit code 0
    QByteArray output;
};

// Runs a program to its end, at most kToolTimeoutMs; stdout and stderr together.
Result Run(const QString& program, const QStringList& arguments,
           const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(kToolTimeoutMs))
        return {false, program.toLocal8Bit() + ": " + process.errorString().toLocal8Bit()};
    if (!process.waitForFinished(kToolTimeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return {false, process.readAll() + "\n(" + program.toLocal8Bit() + ": timed out)"};
    }
    const QByteArray output = process.readAll();
    return {process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
            output + "\n(" + program.toLocal8Bit() + ": exit code " +
                QByteArray::number(process.exitCode()) + ")"};
}

// A tool the Makefile's package lists install; a missing one fails the test with its package.
QString Tool(const QString& name, const char* package) {
    const QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        qWarning("%s not found: install the Debian package %s", qPrintable(name), package);
    return path;
}

// The "key=value" lines of the [Desktop Entry] group.
QMap<QString, QString> DesktopEntry(const QString& path) {
    QFile file(path);
    QMap<QString, QString> keys;
    if (!file.open(QIODevice::ReadOnly))
        return keys;
    bool inGroup = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inGroup = line == QStringLiteral("[Desktop Entry]");
        else if (inGroup && line.contains(QLatin1Char('=')) && !line.startsWith(QLatin1Char('#')))
            keys.insert(line.section(QLatin1Char('='), 0, 0).trimmed(),
                        line.section(QLatin1Char('='), 1).trimmed());
    }
    return keys;
}

struct Metainfo {
    QString id, launchable, newestRelease;
    QStringList binaries;
};

Metainfo ReadMetainfo(const QString& path) {
    QFile file(path);
    Metainfo info;
    if (!file.open(QIODevice::ReadOnly))
        return info;
    QXmlStreamReader xml(&file);
    QStringList elements;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::EndElement)
            elements.removeLast();
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QString parent = elements.isEmpty() ? QString() : elements.last();
        const QString name = xml.name().toString();
        elements.append(name);
        if (name == QStringLiteral("release") && info.newestRelease.isEmpty())
            info.newestRelease = xml.attributes().value(QStringLiteral("version")).toString();
        if (parent == QStringLiteral("component") && name == QStringLiteral("id"))
            info.id = xml.readElementText(), elements.removeLast();
        else if (name == QStringLiteral("launchable"))
            info.launchable = xml.readElementText(), elements.removeLast();
        else if (parent == QStringLiteral("provides") && name == QStringLiteral("binary"))
            info.binaries.append(xml.readElementText()), elements.removeLast();
    }
    if (xml.hasError())
        qWarning("%s: %s", qPrintable(path), qPrintable(xml.errorString()));
    return info;
}

// The picture's pixel colours averaged over the area that icon pixel (x, y) covers, premultiplied.
std::array<double, 4> AreaAverage(const QImage& picture, int size, int x, int y) {
    const double scale = double(picture.width()) / size;
    std::array<double, 4> sum{};
    double area = 0;
    const int bottom = std::min(picture.height(), int(std::ceil((y + 1) * scale)));
    const int right = std::min(picture.width(), int(std::ceil((x + 1) * scale)));
    for (int py = int(y * scale); py < bottom; ++py)
        for (int px = int(x * scale); px < right; ++px) {
            const double w =
                (std::min((x + 1) * scale, px + 1.0) - std::max(x * scale, double(px))) *
                (std::min((y + 1) * scale, py + 1.0) - std::max(y * scale, double(py)));
            const QRgb c = picture.pixel(px, py);
            sum[0] += w * qAlpha(c);
            sum[1] += w * qRed(c);
            sum[2] += w * qGreen(c);
            sum[3] += w * qBlue(c);
            area += w;
        }
    for (double& v : sum)
        v /= area;
    return sum;
}

} // namespace

class tst_Install : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void fileList();
    void permissions();
    void desktopEntry();
    void metainfo();
    void icons_data();
    void icons();
    void installedEval();

private:
    QString Installed(const QString& relative) const { return m_prefix + relative; }

    QTemporaryDir m_dir;
    QString m_root;   // DESTDIR
    QString m_prefix; // DESTDIR + prefix + "/"
};

void tst_Install::initTestCase() {
    QVERIFY(m_dir.isValid());
    m_root = m_dir.filePath(QStringLiteral("root"));
    m_prefix = m_root + QStringLiteral(INSTALL_PREFIX "/");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), m_root);
    const Result install = Run(QStringLiteral(CMAKE_COMMAND_PATH),
                               {QStringLiteral("--install"), QStringLiteral(BUILD_DIR),
                                QStringLiteral("--component"), QStringLiteral("Unspecified")},
                               environment);
    QVERIFY2(install.ok, install.output.constData());
}

void tst_Install::fileList() {
    QStringList expected = {
        QStringLiteral(INSTALL_BINDIR "/quantoria"),
        QStringLiteral(INSTALL_BINDIR "/quantoria-eval"),
        QStringLiteral(INSTALL_DATADIR "/applications/") + kAppId + QStringLiteral(".desktop"),
        QStringLiteral(INSTALL_DATADIR "/metainfo/") + kAppId + QStringLiteral(".metainfo.xml"),
        QStringLiteral(INSTALL_MANDIR "/man1/quantoria.1.gz"),
        QStringLiteral(INSTALL_MANDIR "/man1/quantoria-eval.1.gz"),
        QStringLiteral(INSTALL_DATADIR "/doc/quantoria/copyright"),
        QStringLiteral(INSTALL_DATADIR "/doc/quantoria/changelog.gz"),
    };
    for (int size : kIconSizes)
        expected.append(QStringLiteral(INSTALL_DATADIR "/icons/hicolor/%1x%1/apps/%2.png")
                            .arg(size)
                            .arg(kAppId));
    expected.sort();

    // Everything below DESTDIR, folders aside: nothing lands outside the prefix.
    QStringList found;
    QDirIterator it(m_root, QDir::Files | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QVERIFY2(path.startsWith(m_prefix), qPrintable(path));
        found.append(path.mid(m_prefix.size()));
    }
    found.sort();
    QCOMPARE(found, expected);
}

void tst_Install::permissions() {
    const auto readable = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    const auto executable = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QDirIterator it(m_root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QVERIFY2(!info.isSymLink(), qPrintable(path));
        QVERIFY2((info.permissions() & readable) == readable, qPrintable(path));
        const bool program =
            info.dir().dirName() == QFileInfo(QStringLiteral(INSTALL_BINDIR)).fileName();
        QVERIFY2(program ? (info.permissions() & executable) == executable
                         : !(info.permissions() & executable),
                 qPrintable(path));
        QVERIFY2(!(info.permissions() & (QFile::WriteGroup | QFile::WriteOther)), qPrintable(path));
    }
}

void tst_Install::desktopEntry() {
    const QString path =
        Installed(QStringLiteral(INSTALL_DATADIR "/applications/") + kAppId + ".desktop");
    const QString validator = Tool(QStringLiteral("desktop-file-validate"), "desktop-file-utils");
    QVERIFY(!validator.isEmpty());
    const Result validation = Run(validator, {path});
    QVERIFY2(validation.ok, validation.output.constData());
    // The validator is silent on success; hints and warnings fail the test as well.
    QVERIFY2(!validation.output.contains(": hint:") && !validation.output.contains(": warning:"),
             validation.output.constData());

    const QMap<QString, QString> keys = DesktopEntry(path);
    QCOMPARE(keys.value(QStringLiteral("Type")), QStringLiteral("Application"));
    QCOMPARE(keys.value(QStringLiteral("Name")), QStringLiteral("Quantoria"));
    // Started by name from PATH: the installed program of that name.
    QCOMPARE(keys.value(QStringLiteral("Exec")), QStringLiteral("quantoria"));
    QVERIFY(QFileInfo(Installed(QStringLiteral(INSTALL_BINDIR "/quantoria"))).isExecutable());
    // The launcher waits for the window (busy cursor, activation token), and a second start,
    // which opens none, ends the wait through the running copy.
    QCOMPARE(keys.value(QStringLiteral("StartupNotify")), QStringLiteral("true"));
    // The icon is found by its name in the hicolor theme.
    QCOMPARE(keys.value(QStringLiteral("Icon")), kAppId);
    QVERIFY(
        keys.value(QStringLiteral("Categories")).split(QLatin1Char(';')).contains("Calculator"));
    QCOMPARE(keys.value(QStringLiteral("Terminal")), QStringLiteral("false"));
}

void tst_Install::metainfo() {
    const QString path =
        Installed(QStringLiteral(INSTALL_DATADIR "/metainfo/") + kAppId + ".metainfo.xml");
    const QString validator = Tool(QStringLiteral("appstreamcli"), "appstream");
    QVERIFY(!validator.isEmpty());
    // The validator may keep a cache under the home folder: a temporary one.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_dir.filePath(QStringLiteral("cache")));
    const Result validation =
        Run(validator, {QStringLiteral("validate"), QStringLiteral("--no-net"), path}, environment);
    QVERIFY2(validation.ok, validation.output.constData());
    QVERIFY2(!QRegularExpression(QStringLiteral("^[EW]: "), QRegularExpression::MultilineOption)
                  .match(QString::fromUtf8(validation.output))
                  .hasMatch(),
             validation.output.constData());

    const Metainfo info = ReadMetainfo(path);
    QCOMPARE(info.id, kAppId);
    QCOMPARE(info.launchable, kAppId + QStringLiteral(".desktop"));
    QVERIFY(QFileInfo::exists(
        Installed(QStringLiteral(INSTALL_DATADIR "/applications/") + info.launchable)));
    QCOMPARE(info.binaries, (QStringList{"quantoria", "quantoria-eval"}));
    for (const QString& binary : info.binaries)
        QVERIFY2(QFileInfo(Installed(QStringLiteral(INSTALL_BINDIR "/") + binary)).isExecutable(),
                 qPrintable(binary));
    // The newest release listed is the version being built.
    QCOMPARE(info.newestRelease, QStringLiteral(PROJECT_VERSION_TEXT));
}

void tst_Install::icons_data() {
    QTest::addColumn<int>("size");
    for (int size : kIconSizes)
        QTest::addRow("%dx%d", size, size) << size;
}

// Each icon is the 32x32 picture: whole multiples pixel for pixel (square blocks), other sizes
// the area average of the picture's pixels.
void tst_Install::icons() {
    QFETCH(int, size);
    const QString path = Installed(
        QStringLiteral(INSTALL_DATADIR "/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(kAppId));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    QVERIFY(file.read(8) == QByteArray("\x89PNG\r\n\x1a\n", 8));
    const QImage icon = QImage(path).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.size(), QSize(size, size));
    QVERIFY(QImage(path).hasAlphaChannel());

    const QImage picture =
        QImage(QStringLiteral(ICON_PICTURE)).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(picture.size(), QSize(32, 32));
    int worst = 0;
    double total = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const QRgb got = icon.pixel(x, y);
            const std::array<double, 4> want = AreaAverage(picture, size, x, y);
            const int channels[4] = {qAlpha(got), qRed(got), qGreen(got), qBlue(got)};
            for (int c = 0; c < 4; ++c) {
                const int difference = int(std::lround(std::abs(channels[c] - want[c])));
                worst = std::max(worst, difference);
                total += difference;
            }
        }
    const double mean = total / (4.0 * size * size);
    if (size % 32 == 0)
        QCOMPARE(worst, 0);
    // Other sizes: within rounding of the area average. (The picture mirrored differs by about 12
    // on average, and by up to 255 in places.)
    QVERIFY2(worst <= 3 && mean <= 0.5,
             qPrintable(QStringLiteral("worst %1, mean %2").arg(worst).arg(mean)));
}

// The installed companion runs from its installed place.
void tst_Install::installedEval() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("en_US.UTF-8"));
    const Result run = Run(Installed(QStringLiteral(INSTALL_BINDIR "/quantoria-eval")),
                           {QStringLiteral("(12+34)*3")}, environment);
    QVERIFY2(run.ok, run.output.constData());
    QVERIFY2(run.output.startsWith("138.00\n"), run.output.constData());
}

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_Install.moc"
