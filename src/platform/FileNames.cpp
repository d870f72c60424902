#include "platform/FileNames.h"

#include "platform/Log.h"

#include <QFile>

namespace {

// Windows-1252's characters for 0x80-0x9F; zero where it has none.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,
    0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A,
    0x0153, 0,      0x017E, 0x0178,
};

char16_t singleByte(unsigned char byte)
{
    if (byte >= 0x80 && byte < 0xA0 && kCp1252High[byte - 0x80] != 0)
        return kCp1252High[byte - 0x80];
    return char16_t(byte);
}

// The length of the well-formed UTF-8 sequence at `i` (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0.
int utf8SequenceAt(const unsigned char *s, qsizetype i, qsizetype size, char32_t *code)
{
    const unsigned char lead = s[i];
    int length = 0;
    char32_t value = 0;
    unsigned char low = 0x80, high = 0xBF;   // the range of the second byte
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > size)
        return 0;
    for (int k = 1; k < length; ++k) {
        const unsigned char c = s[i + k];
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF))
            return 0;
        value = (value << 6) | (c & 0x3F);
    }
    *code = value;
    return length;
}

} // namespace

QString decodeFileName(const QByteArray &bytes)
{
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype size = bytes.size();
    if (size == 0)
        return QStringLiteral("");   // empty, not null: a name read is never a null text
    // No character takes more UTF-16 units than bytes.
    QString out(size, Qt::Uninitialized);
    char16_t *to = reinterpret_cast<char16_t *>(out.data());
    qsizetype n = 0;
    for (qsizetype i = 0; i < size;) {
        if (s[i] < 0x80) {
            to[n++] = s[i++];
            continue;
        }
        char32_t code = 0;
        if (const int length = utf8SequenceAt(s, i, size, &code); length > 0) {
            if (code < 0x10000) {
                to[n++] = char16_t(code);
            } else {
                to[n++] = QChar::highSurrogate(code);
                to[n++] = QChar::lowSurrogate(code);
            }
            i += length;
        } else {
            to[n++] = singleByte(s[i]);
            ++i;
        }
    }
    out.truncate(n);
    return out;
}

QByteArray bytesUnlessRoundTrip(const QByteArray &bytes, const QString &decoded)
{
    return QFile::encodeName(decoded) == bytes ? QByteArray() : bytes;
}

QByteArray loggedFileName(const QByteArray &path)
{
    return isLoggedAsItIs(path) ? path : loggedText(decodeFileName(path));
}
