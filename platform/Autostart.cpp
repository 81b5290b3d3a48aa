#include "Autostart.h"

#include "AppPaths.h"
#include "AtomicFile.h"
#include "Errors.h"

#include <QFile>
#include <QFileInfo>

Autostart::Autostart() : m_folder(XdgConfigHome() + QStringLiteral("/autostart")) {}

Autostart::Autostart(QString folder) : m_folder(std::move(folder)) {}

QString Autostart::EntryFile() const {
    return m_folder + QStringLiteral("/Quantoria.desktop");
}

QString Autostart::ExecValue(const QString& executablePath) {
    // The argument, quoted as the Exec key requires.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : executablePath) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        else if (c == u'%')
            quoted += u'%';
        quoted += c;
    }
    quoted += u'"';

    // The escapes of a string value, which the reader undoes before it parses the quoting.
    QString value;
    value.reserve(quoted.size() * 2);
    for (const QChar c : quoted) {
        switch (c.unicode()) {
        case u'\\':
            value += QLatin1String("\\\\");
            break;
        case u'\t':
            value += QLatin1String("\\t");
            break;
        case u'\n':
            value += QLatin1String("\\n");
            break;
        case u'\r':
            value += QLatin1String("\\r");
            break;
        default:
            value += c;
        }
    }
    return value;
}

QByteArray Autostart::EntryText(const QString& executablePath) {
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Quantoria\n"
                                        "Comment=Start Quantoria at login\n"
                                        "Exec=") +
                         ExecValue(executablePath) +
                         QStringLiteral("\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

void Autostart::Set(const QString& executablePath) {
    const ERegistryException failure(QStringLiteral("Failed to set data for 'Quantoria'"));
    if (!MakePrivatePath(m_folder))
        throw failure;
    if (WriteFileAtomically(EntryFile(), EntryText(executablePath)) != AtomicWrite::Done)
        throw failure;
}

void Autostart::Remove() {
    QFile::remove(EntryFile());
}

bool Autostart::IsSet() const {
    return QFileInfo(EntryFile()).isFile();
}
