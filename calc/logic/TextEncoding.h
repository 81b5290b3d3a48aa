#pragma once

#include <QByteArrayView>
#include <QString>

// Decoding of text files that other programs (or older versions of this one) may have written in
// the Windows ANSI code page instead of UTF-8.

// Windows-1252: every byte becomes exactly one character. The five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 controls of the same value, as the
// system converters do, so nothing ever becomes U+FFFD.
QString DecodeWindows1252(QByteArrayView bytes);

// UTF-8 when the bytes are valid UTF-8, otherwise Windows-1252. A byte order mark at the start is
// kept as U+FEFF; callers that treat it as a mark remove it themselves.
QString DecodeUtf8OrWindows1252(QByteArrayView bytes);
