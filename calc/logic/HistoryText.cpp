#include "HistoryText.h"

#include "TextEncoding.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// 0x80 in every byte of `x` that is zero, nothing elsewhere.
constexpr quint64 ZeroBytes(quint64 x) {
    constexpr quint64 low7 = 0x7F7F7F7F7F7F7F7FULL;
    return ~(((x & low7) + low7) | x | low7);
}

} // namespace

void SavedFormCheck::Feed(QByteArrayView bytes) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = in + bytes.size();
    // The state in locals, so that the compiler keeps it in registers.
    bool afterCR = m_afterCR;
    while (in != end && m_ok) {
        // Many ASCII bytes at a time: every LF right after a CR, every CR right before an LF.
        if (m_need == 0 && !m_first) {
#if defined(__SSE2__)
            const __m128i crs = _mm_set1_epi8('\r');
            const __m128i lfs = _mm_set1_epi8('\n');
            for (; end - in >= 16; in += 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
                if (_mm_movemask_epi8(v) != 0)
                    break;
                const unsigned cr = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, crs)));
                const unsigned lf = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lfs)));
                if (lf != (((cr << 1) | (afterCR ? 1u : 0u)) & 0xFFFFu)) {
                    m_ok = false;
                    break;
                }
                afterCR = (cr >> 15) != 0;
            }
#endif
            for (; m_ok && end - in >= 8; in += 8) {
                quint64 word;
                std::memcpy(&word, in, 8);
                word = qFromLittleEndian(word);
                if (word & 0x8080808080808080ULL)
                    break;
                const quint64 cr = ZeroBytes(word ^ 0x0D0D0D0D0D0D0D0DULL);
                const quint64 lf = ZeroBytes(word ^ 0x0A0A0A0A0A0A0A0AULL);
                if (lf != ((cr << 8) | (afterCR ? 0x80 : 0))) {
                    m_ok = false;
                    break;
                }
                afterCR = (cr >> 63) != 0;
            }
            if (in == end || !m_ok)
                break;
        }
        const unsigned char b = *in++;
        if (m_need > 0) {
            if ((b & 0xC0) != 0x80) {
                m_ok = false;
                break;
            }
            m_code = (m_code << 6) | (b & 0x3F);
            if (--m_need == 0)
                Character(m_code);
        } else if (b < 0x80) {
            if ((b == '\n') != afterCR)
                m_ok = false;
            afterCR = b == '\r';
            m_first = false;
        } else if (afterCR) {
            m_ok = false;
        } else if (b >= 0xC2 && b <= 0xDF) {
            m_need = 1, m_code = b & 0x1F, m_least = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            m_need = 2, m_code = b & 0x0F, m_least = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            m_need = 3, m_code = b & 0x07, m_least = 0x10000;
        } else {
            m_ok = false;
        }
    }
    m_afterCR = afterCR;
}

void SavedFormCheck::Character(char32_t c) {
    if (c < m_least || c > 0x10FFFF || QChar::isSurrogate(c) || c == kLineSeparator ||
        c == kParagraphSeparator || c == 0xFDD0 || c == 0xFDD1 || (m_first && c == 0xFEFF))
        m_ok = false;
    m_first = false;
}

qsizetype HistoryCut(QByteArrayView bytes, qsizetype budget) {
    const QByteArrayView within = bytes.first(std::min(bytes.size(), budget + 2));
    const qsizetype entry = within.lastIndexOf(QByteArrayView("\r\n\r\n"));
    if (entry >= 0)
        return entry + 2;
    const qsizetype line = within.first(std::min(within.size(), budget)).lastIndexOf("\r\n");
    return line >= 0 ? line + 2 : 0;
}
