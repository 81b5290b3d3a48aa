#include "Profile.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "TextEncoding.h"

#include <QFile>
#include <QFileInfo>

#include <limits>
#include <optional>

namespace {

constexpr qsizetype kMaxValueLength = 2047; // the 2048-character buffer, less its terminator
const QByteArray kUtf8Bom = QByteArrayLiteral("\xEF\xBB\xBF");

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f';
}

QStringView Trimmed(QStringView text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin].unicode()))
        ++begin;
    while (end > begin && IsBlank(text[end - 1].unicode()))
        --end;
    return text.sliced(begin, end - begin);
}

bool SameName(QStringView a, QStringView b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

enum class Kind { Other, Section, Key };

// One line's meaning. The views point into the text handed in.
struct ParsedLine {
    Kind kind = Kind::Other;
    QStringView name;
    QStringView value;
};

ParsedLine Parse(QStringView line) {
    const QStringView text = Trimmed(line);
    if (text.isEmpty() || text.front() == u';')
        return {};
    if (text.front() == u'[') {
        const qsizetype close = text.lastIndexOf(u']');
        if (close > 0)
            return {Kind::Section, Trimmed(text.sliced(1, close - 1)), {}};
    }
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0)
        return {};
    return {Kind::Key, Trimmed(text.first(equals)), Trimmed(text.sliced(equals + 1))};
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

std::optional<int> ParseInteger(QStringView text) {
    constexpr qint64 kMax = std::numeric_limits<int>::max();
    qint64 value = 0;
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
        for (const QChar c : text.sliced(2)) {
            const int digit = HexDigit(c.unicode());
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + digit;
            if (value > kMax)
                return std::nullopt;
        }
        return int(value);
    }
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.sliced(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > kMax + (negative ? 1 : 0))
            return std::nullopt;
    }
    return int(negative ? -value : value);
}

bool HasLineBreak(const QString& text) {
    return text.contains(u'\n') || text.contains(u'\r');
}

// A value that reading would change (blanks at the ends, surrounding quotes) goes in quotes.
QString StoredValue(const QString& value) {
    const bool blankEnds =
        !value.isEmpty() && (IsBlank(value.front().unicode()) || IsBlank(value.back().unicode()));
    const bool quoted = value.size() >= 2 && value.front() == u'"' && value.back() == u'"';
    if (blankEnds || quoted)
        return u'"' + value + u'"';
    return value;
}

} // namespace

ProfileDocument::ProfileDocument(const QByteArray& bytes) {
    const qsizetype size = bytes.size();
    bool endSeen = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (c != '\n' && c != '\r')
            continue;
        const qsizetype endLength = c == '\r' && i + 1 < size && bytes[i + 1] == '\n' ? 2 : 1;
        m_lines.append(Line{bytes.sliced(start, i - start), bytes.sliced(i, endLength)});
        if (!endSeen) {
            m_lineEnd = m_lines.back().end;
            endSeen = true;
        }
        i += endLength - 1;
        start = i + 1;
    }
    if (start < size)
        m_lines.append(Line{bytes.sliced(start), {}});
}

QByteArray ProfileDocument::ToBytes() const {
    qsizetype size = 0;
    for (const Line& line : m_lines)
        size += line.text.size() + line.end.size();
    QByteArray bytes;
    bytes.reserve(size);
    for (const Line& line : m_lines) {
        bytes += line.text;
        bytes += line.end;
    }
    return bytes;
}

QString ProfileDocument::LineText(qsizetype index) const {
    QByteArrayView text = m_lines[index].text;
    if (index == 0 && text.startsWith(kUtf8Bom))
        text = text.sliced(kUtf8Bom.size());
    return DecodeUtf8OrWindows1252(text);
}

ProfileDocument::Place ProfileDocument::Find(const QString& section, const QString& key) const {
    const QStringView sectionName = Trimmed(section);
    const QStringView keyName = Trimmed(key);
    Place place;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QString text = LineText(i);
        const ParsedLine line = Parse(text);
        if (line.kind == Kind::Section) {
            if (place.section >= 0)
                break;
            if (SameName(line.name, sectionName))
                place.section = i;
        } else if (line.kind == Kind::Key && place.section >= 0) {
            place.lastKey = i;
            if (place.key < 0 && SameName(line.name, keyName))
                place.key = i;
        }
    }
    return place;
}

QString ProfileDocument::ReadString(const QString& section, const QString& key,
                                    const QString& defaultValue) const {
    const Place place = Find(section, key);
    if (place.key < 0)
        return defaultValue;
    const QString text = LineText(place.key);
    QStringView value = Parse(text).value;
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"')
        value = value.sliced(1, value.size() - 2);
    if (value.size() > kMaxValueLength) {
        qsizetype length = kMaxValueLength;
        if (value[length - 1].isHighSurrogate())
            --length;
        value = value.first(length);
    }
    return value.toString();
}

int ProfileDocument::ReadInteger(const QString& section, const QString& key,
                                 int defaultValue) const {
    return ParseInteger(ReadString(section, key, QString())).value_or(defaultValue);
}

bool ProfileDocument::ReadBool(const QString& section, const QString& key,
                               bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

QByteArray ProfileDocument::EndForLineBefore(qsizetype index) const {
    // A lone CR followed by an empty line ending in LF would read back as one CR LF.
    if (m_lineEnd == "\r" && index < m_lines.size() && m_lines[index].text.isEmpty() &&
        m_lines[index].end.startsWith('\n'))
        return QByteArrayLiteral("\r\n");
    return m_lineEnd;
}

void ProfileDocument::EndLine(qsizetype index) {
    if (m_lines[index].end.isEmpty())
        m_lines[index].end = m_lineEnd;
}

bool ProfileDocument::WriteString(const QString& section, const QString& key,
                                  const QString& value) {
    const QString sectionName = Trimmed(section).toString();
    const QString keyName = Trimmed(key).toString();
    if (HasLineBreak(sectionName) || HasLineBreak(keyName) || HasLineBreak(value) ||
        keyName.isEmpty() || keyName.contains(u'=') || keyName.startsWith(u';') ||
        keyName.startsWith(u'['))
        return false;
    const QByteArray stored = StoredValue(value).toUtf8();
    const Place place = Find(sectionName, keyName);

    if (place.key >= 0) {
        // Keep the key as spelled in the file, the "=" and the blanks after it.
        Line& line = m_lines[place.key];
        const qsizetype bom =
            place.key == 0 && line.text.startsWith(kUtf8Bom) ? kUtf8Bom.size() : 0;
        const QByteArrayView body = QByteArrayView(line.text).sliced(bom);
        qsizetype valueStart = body.indexOf('=') + 1;
        while (valueStart < body.size() && IsBlank(static_cast<unsigned char>(body[valueStart])))
            ++valueStart;
        QByteArray text = line.text.first(bom);
        if (body.isValidUtf8())
            text += body.first(valueStart);
        else
            text += DecodeWindows1252(body.first(valueStart)).toUtf8();
        line.text = text + stored;
        return true;
    }

    const QByteArray keyLine = keyName.toUtf8() + '=' + stored;
    if (place.section >= 0) {
        const qsizetype after = place.lastKey >= 0 ? place.lastKey : place.section;
        EndLine(after);
        m_lines.insert(after + 1, Line{keyLine, EndForLineBefore(after + 1)});
        return true;
    }

    if (!m_lines.isEmpty()) {
        const qsizetype last = m_lines.size() - 1;
        EndLine(last);
        if (!Trimmed(LineText(last)).isEmpty())
            m_lines.append(Line{{}, m_lines[last].end});
    }
    m_lines.append(Line{'[' + sectionName.toUtf8() + ']', m_lineEnd});
    m_lines.append(Line{keyLine, m_lineEnd});
    return true;
}

Profile::Profile(QString path) : m_path(std::move(path)) {}

ProfileDocument Profile::Load() const {
    QByteArray bytes;
    if (!ReadRegularFile(m_path, bytes))
        return {};
    return ProfileDocument(bytes);
}

void Profile::Write(const QList<ProfileEntry>& entries) {
    if (entries.isEmpty())
        return;

    ProfileDocument document;
    QByteArray bytes;
    bool missing = false;
    if (ReadRegularFile(m_path, bytes, &missing))
        document = ProfileDocument(bytes);
    else if (!missing)
        Fail();

    for (const ProfileEntry& entry : entries) {
        if (!document.WriteString(entry.section, entry.key, entry.value))
            Fail();
    }

    if (WriteFileAtomically(m_path, document.ToBytes()) != AtomicWrite::Done)
        Fail();
}

void Profile::Fail() const {
    throw EIniFileException(QStringLiteral("Unable to write to ") + m_path);
}
