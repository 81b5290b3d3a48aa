#include "Autostart.h"
#include "Errors.h"
#include "support/FileHelpers.h"
#include "support/ScopedVariable.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <sys/stat.h>

namespace {

// Reads an Exec value back as a desktop session does, following the freedesktop Desktop Entry
// rules: first the escapes of a string value (\s \n \t \r \\, nothing else), then one
// argument in double quotes in which '"', '`', '$' and '\' must be escaped with a backslash,
// then the field codes, of which only "%%" (a literal "%") may appear. Anything else is refused.
std::optional<QString> ReadExec(const QString& value) {
    QString unescaped;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\') {
            unescaped += value[i];
            continue;
        }
        if (++i == value.size())
            return std::nullopt;
        switch (value[i].unicode()) {
        case u's':
            unescaped += u' ';
            break;
        case u'n':
            unescaped += u'\n';
            break;
        case u't':
            unescaped += u'\t';
            break;
        case u'r':
            unescaped += u'\r';
            break;
        case u'\\':
            unescaped += u'\\';
            break;
        default:
            return std::nullopt;
        }
    }

    if (unescaped.size() < 2 || unescaped.front() != u'"' || unescaped.back() != u'"')
        return std::nullopt;
    QString argument;
    for (qsizetype i = 1; i < unescaped.size() - 1; ++i) {
        const QChar c = unescaped[i];
        if (c == u'"' || c == u'`' || c == u'$')
            return std::nullopt; // must have been escaped
        if (c == u'\\') {
            const QChar next = unescaped[++i];
            if (i == unescaped.size() - 1 ||
                !(next == u'"' || next == u'`' || next == u'$' || next == u'\\'))
                return std::nullopt;
            argument += next;
            continue;
        }
        argument += c;
    }

    QString path;
    for (qsizetype i = 0; i < argument.size(); ++i) {
        if (argument[i] == u'%') {
            if (i + 1 == argument.size() || argument[i + 1] != u'%')
                return std::nullopt;
            ++i;
        }
        path += argument[i];
    }
    return path;
}

QByteArray EntryFor(const QByteArray& exec) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quantoria\n"
           "Comment=Start Quantoria at login\n"
           "Exec=" +
           exec +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

mode_t ModeOf(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

} // namespace

class tst_Autostart : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void execValue_data();
    void execValue();
    void setWritesAndRemoveDeletes();
    void setFailure_data();
    void setFailure();
    void removeFailureIsSilent();
    void defaultFolder_data();
    void defaultFolder();

private:
    QString Root() const { return m_dir->path(); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Autostart::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_Autostart::cleanup() {
    m_dir.reset();
}

void tst_Autostart::execValue_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("exec"); // as it stands in the file

    QTest::newRow("plain") << "/usr/bin/quantoria"
                           << R"("/usr/bin/quantoria")";
    QTest::newRow("blanks") << "/opt/My Apps/quantoria"
                            << R"("/opt/My Apps/quantoria")";
    QTest::newRow("double quotes") << R"(/opt/say "hi"/quantoria)"
                                   << R"("/opt/say \\"hi\\"/quantoria")";
    QTest::newRow("dollar sign") << "/opt/$HOME/quantoria"
                                 << R"("/opt/\\$HOME/quantoria")";
    QTest::newRow("backticks") << "/opt/`id`/quantoria"
                               << R"("/opt/\\`id\\`/quantoria")";
    QTest::newRow("backslash") << R"(/opt/a\b/quantoria)"
                               << R"("/opt/a\\\\b/quantoria")";
    QTest::newRow("percent sign") << "/opt/100%/quantoria"
                                  << R"("/opt/100%%/quantoria")";
    QTest::newRow("field-code look-alikes") << "/opt/%f %U/quantoria"
                                            << R"("/opt/%%f %%U/quantoria")";
    QTest::newRow("tab") << "/opt/a\tb/quantoria"
                         << R"("/opt/a\tb/quantoria")";
    QTest::newRow("line break") << "/opt/a\nb/quantoria"
                                << R"("/opt/a\nb/quantoria")";
    QTest::newRow("carriage return") << "/opt/a\rb/quantoria"
                                     << R"("/opt/a\rb/quantoria")";
    QTest::newRow("other reserved characters") << "/opt/a'b;c=d#e&f|g<h>i*j?k(l)m~n/quantoria"
                                               << R"("/opt/a'b;c=d#e&f|g<h>i*j?k(l)m~n/quantoria")";
    QTest::newRow("non-ASCII") << QStringLiteral("/opt/caf\u00E9/quantoria")
                               << QStringLiteral("\"/opt/caf\u00E9/quantoria\"");
    QTest::newRow("leading blank") << " /quantoria"
                                   << R"(" /quantoria")";
    QTest::newRow("all together") << R"(/a b/"q"$x`y\z%/quantoria)"
                                  << R"("/a b/\\"q\\"\\$x\\`y\\\\z%%/quantoria")";
}

void tst_Autostart::execValue() {
    QFETCH(QString, path);
    QFETCH(QString, exec);
    QCOMPARE(Autostart::ExecValue(path), exec);
    QCOMPARE(ReadExec(Autostart::ExecValue(path)), std::optional<QString>(path));
}

void tst_Autostart::setWritesAndRemoveDeletes() {
    const QString folder = Root() + QStringLiteral("/config/autostart");
    Autostart autostart(folder);
    QCOMPARE(autostart.EntryFile(), folder + QStringLiteral("/Quantoria.desktop"));
    QVERIFY(!autostart.IsSet());

    autostart.Set(QStringLiteral("/usr/bin/quantoria"));
    QVERIFY(autostart.IsSet());
    QCOMPARE(ReadBytes(autostart.EntryFile()), EntryFor(R"("/usr/bin/quantoria")"));
    QCOMPARE(ModeOf(folder), mode_t(0700));
    QCOMPARE(ModeOf(Root() + QStringLiteral("/config")), mode_t(0700));

    autostart.Set(QStringLiteral("/opt/My $Apps/quantoria"));
    QCOMPARE(ReadBytes(autostart.EntryFile()), EntryFor(R"("/opt/My \\$Apps/quantoria")"));
    QCOMPARE(FolderEntries(folder), QStringList{QStringLiteral("Quantoria.desktop")});

    autostart.Remove();
    QVERIFY(!autostart.IsSet());
    QCOMPARE(FolderEntries(folder), QStringList());
    autostart.Remove(); // nothing to remove: silent
    QVERIFY(!autostart.IsSet());
}

void tst_Autostart::setFailure_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("the folder is a regular file") << "folder is file";
    QTest::newRow("a regular file above the folder") << "parent is file";
    QTest::newRow("a folder where the entry goes") << "entry is folder";
    QTest::newRow("file size limit, old entry kept") << "size limit";
}

void tst_Autostart::setFailure() {
    QFETCH(QString, kind);
    QString folder = Root() + QStringLiteral("/autostart");
    if (kind == QLatin1String("folder is file")) {
        QVERIFY(WriteBytes(folder, "x"));
    } else if (kind == QLatin1String("parent is file")) {
        QVERIFY(WriteBytes(Root() + QStringLiteral("/config"), "x"));
        folder = Root() + QStringLiteral("/config/autostart");
    } else if (kind == QLatin1String("entry is folder")) {
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/Quantoria.desktop")));
    }
    Autostart autostart(folder);
    const bool sizeLimit = kind == QLatin1String("size limit");
    if (sizeLimit)
        autostart.Set(QStringLiteral("/usr/bin/quantoria"));
    const QStringList entries = FolderEntries(Root());
    const QStringList inFolder = FolderEntries(folder);

    try {
        const std::optional<FileSizeLimit> limit =
            sizeLimit ? std::optional<FileSizeLimit>(std::in_place, 64) : std::nullopt;
        autostart.Set(QStringLiteral("/opt/other/quantoria"));
        QFAIL("Set did not fail");
    } catch (const ERegistryException& e) {
        QCOMPARE(e.Message(), QStringLiteral("Failed to set data for 'Quantoria'"));
    }
    QCOMPARE(autostart.IsSet(), sizeLimit);
    if (sizeLimit)
        QCOMPARE(ReadBytes(autostart.EntryFile()), EntryFor(R"("/usr/bin/quantoria")"));
    QCOMPARE(FolderEntries(Root()), entries);
    QCOMPARE(FolderEntries(folder), inFolder);
}

void tst_Autostart::removeFailureIsSilent() {
    const QString folder = Root() + QStringLiteral("/autostart");
    Autostart autostart(folder);
    // An entry path that cannot be deleted as a file.
    QVERIFY(QDir().mkpath(autostart.EntryFile() + QStringLiteral("/inside")));
    autostart.Remove();
    QVERIFY(QFileInfo(autostart.EntryFile() + QStringLiteral("/inside")).isDir());
}

void tst_Autostart::defaultFolder_data() {
    QTest::addColumn<QString>("configHome"); // "<unset>", or a value; "<root>" is the test folder
    QTest::addColumn<QString>("folder");
    QTest::newRow("unset") << "<unset>"
                           << "<root>/home/.config/autostart";
    QTest::newRow("empty") << ""
                           << "<root>/home/.config/autostart";
    QTest::newRow("relative") << "config"
                              << "<root>/home/.config/autostart";
    QTest::newRow("absolute") << "<root>/xdg"
                              << "<root>/xdg/autostart";
}

void tst_Autostart::defaultFolder() {
    QFETCH(QString, configHome);
    QFETCH(QString, folder);
    const auto resolved = [this](QString text) {
        return text.replace(QStringLiteral("<root>"), Root());
    };
    const ScopedVariable home("HOME", QFile::encodeName(Root() + QStringLiteral("/home")));
    const ScopedVariable config("XDG_CONFIG_HOME",
                                configHome == QLatin1String("<unset>")
                                    ? std::nullopt
                                    : std::optional(QFile::encodeName(resolved(configHome))));
    Autostart autostart;
    QCOMPARE(autostart.Folder(), resolved(folder));
    autostart.Set(QStringLiteral("/usr/bin/quantoria"));
    QVERIFY(QFileInfo(resolved(folder) + QStringLiteral("/Quantoria.desktop")).isFile());
}

QTEST_GUILESS_MAIN(tst_Autostart)
#include "tst_Autostart.moc"
