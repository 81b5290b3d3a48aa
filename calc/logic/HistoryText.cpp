#include "calc/logic/HistoryText.h"

#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/TextEncoding.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr char16_t kLineSeparator = 0x2028;
constexpr char16_t kParagraphSeparator = 0x2029;

bool IsLineBreak(char16_t c) {
    return c == u'\n' || c == u'\r' || c == kLineSeparator || c == kParagraphSeparator;
}

} // namespace

QString DecodeHistoryBytes(const QByteArray& bytes) {
    QByteArrayView view = bytes;
    QString text;
    if (view.isValidUtf8()) {
        while (view.startsWith("\xEF\xBB\xBF"))
            view = view.sliced(3);
        text = QString::fromUtf8(view);
    } else {
        text = DecodeWindows1252(view);
    }

    // In place: the text only gets shorter.
    QChar* const begin = text.data();
    const QChar* const end = begin + text.size();
    QChar* out = begin;
    for (const QChar* in = begin; in != end; ++in) {
        const char16_t c = in->unicode();
        if (!IsLineBreak(c)) {
            *out++ = *in;
            continue;
        }
        if (c == u'\r' && in + 1 != end && in[1] == u'\n')
            ++in;
        *out++ = u'\n';
    }
    text.truncate(out - begin);
    return text;
}

QByteArray EncodeHistoryText(const QString& memoText) {
    // Written straight to UTF-8, the size counted first: one allocation, two passes.
    const QChar* const begin = memoText.constData();
    const QChar* const end = begin + memoText.size();
    const auto pairAt = [end](const QChar* in) {
        return in->isHighSurrogate() && in + 1 != end && in[1].isLowSurrogate();
    };
    qsizetype size = 0;
    for (const QChar* in = begin; in != end; ++in) {
        const char16_t c = in->unicode();
        if (c < 0x80)
            size += 1 + (IsLineBreak(c) ? 1 : 0);
        else if (c < 0x800)
            size += 2;
        else if (pairAt(in))
            size += 4, ++in;
        else
            size += 3; // also U+2028, U+2029 (written as CR LF) and a lone surrogate (U+FFFD)
    }

    QByteArray bytes(size, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(bytes.data());
    for (const QChar* in = begin; in != end; ++in) {
        char32_t c = in->unicode();
        if (IsLineBreak(char16_t(c))) {
            if (c == u'\r' && in + 1 != end && in[1] == u'\n')
                ++in;
            *out++ = '\r';
            *out++ = '\n';
        } else if (c < 0x80) {
            *out++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (pairAt(in)) {
            c = QChar::surrogateToUcs4(in[0], in[1]);
            ++in;
            *out++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            if (QChar::isSurrogate(c))
                c = QChar::ReplacementCharacter;
            *out++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    bytes.truncate(reinterpret_cast<char*>(out) - bytes.constData());
    return bytes;
}

LoadedHistory LoadHistoryFile(const QString& path) {
    QByteArray bytes;
    bool missing = false;
    if (!ReadRegularFile(path, bytes, &missing)) {
        if (missing)
            return {};
        throw EFOpenError(QStringLiteral("Cannot open file ") + path);
    }
    return {true, DecodeHistoryBytes(bytes)};
}

void SaveHistoryFile(const QString& path, const QString& memoText) {
    switch (WriteFileAtomically(path, EncodeHistoryText(memoText))) {
    case AtomicWrite::Done:
        return;
    case AtomicWrite::CannotCreate:
        throw EFCreateError(QStringLiteral("Cannot create file ") + path);
    case AtomicWrite::CannotWrite:
        break;
    }
    throw EWriteError(QStringLiteral("Unable to write to ") + path);
}
