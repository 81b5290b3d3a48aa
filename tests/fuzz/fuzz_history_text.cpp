// Reads arbitrary bytes as a history file and checks:
// - decoding is stable: decode(encode(decode(x))) == decode(x);
// - nothing becomes U+FFFD: the text holds one only where valid UTF-8 input wrote one;
// - invalid UTF-8 is read as Windows-1252, one character per byte, CR LF pairs counting as one;
// - the memo text has no CR, U+2028 or U+2029 left; the file bytes are valid UTF-8 without a
//   byte order mark, and every CR in them is followed by LF and every LF preceded by CR.
#include "HistoryText.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void Fail(const char* what, const QByteArray& input, const QString& detail = {}) {
    std::fprintf(stderr, "FAILED: %s\n  input: %s\n  %s\n", what, input.toHex(' ').constData(),
                 detail.toUtf8().constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString text = DecodeHistoryBytes(input);
    const bool utf8 = QByteArrayView(input).isValidUtf8();

    const qsizetype replacements = text.count(QChar::ReplacementCharacter);
    const qsizetype written = utf8 ? input.count("\xEF\xBF\xBD") : 0;
    if (replacements != written)
        Fail("U+FFFD appeared", input,
             QStringLiteral("%1 in the text, %2 in the file").arg(replacements).arg(written));
    if (!utf8 && text.size() != input.size() - input.count("\r\n"))
        Fail("Windows-1252 is not one character per byte", input);
    for (const QChar c : text) {
        if (c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            Fail("a line break other than LF is left in the memo text", input);
    }

    const QByteArray bytes = EncodeHistoryText(text);
    if (!QByteArrayView(bytes).isValidUtf8())
        Fail("the file bytes are not valid UTF-8", input);
    if (bytes.startsWith("\xEF\xBB\xBF"))
        Fail("the file bytes start with a byte order mark", input);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n'))
            Fail("a CR without LF in the file bytes", input);
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            Fail("an LF without CR in the file bytes", input);
    }

    const QString again = DecodeHistoryBytes(bytes);
    if (again != text)
        Fail("decoding is not stable", input, again);
    return 0;
}
