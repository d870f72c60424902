#include "localization/StringsFile.h"

#include "platform/Log.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

// Tables are UTF-8, possibly with a BOM, or UTF-16 with a BOM (the encoding that
// many translation tools write). Bytes that are not valid UTF-8 are reported once
// with the line they are on; the text around them still loads.
QString decodeTable(const QByteArray &contents, const QString &fileName, int &errorCount)
{
    if (contents.startsWith("\xFF\xFE") || contents.startsWith("\xFE\xFF")) {
        QStringDecoder decoder(contents.startsWith("\xFF") ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        const QString text = decoder.decode(contents.mid(2));
        return text;
    }

    const QByteArray body = contents.startsWith("\xEF\xBB\xBF") ? contents.mid(3) : contents;
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(body);
    if (decoder.hasError()) {
        int line = 1;
        for (const QByteArray &lineBytes : body.split('\n')) {
            QStringDecoder lineDecoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
            const QString decodedLine = lineDecoder.decode(lineBytes);   // decode() is lazy until converted
            Q_UNUSED(decodedLine);
            if (lineDecoder.hasError())
                break;
            ++line;
        }
        logLine(QStringLiteral("%1:%2: text is not valid UTF-8; unreadable bytes were replaced")
                    .arg(fileName, QString::number(line)));
        ++errorCount;
    }
    return text;
}

bool isBareChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c == u'.' || c == u'-';
}

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

class Parser
{
public:
    Parser(const QString &text, const QString &fileName) : m_text(text), m_fileName(fileName)
    {
        m_lineStarts.push_back(0);
        for (qsizetype i = 0; i < m_text.size(); ++i) {
            if (m_text.at(i) == u'\n')
                m_lineStarts.push_back(i + 1);
        }
    }

    void run(StringsFileResult &result)
    {
        while (true) {
            if (!skipSpaceAndComments()) {
                report(result);
                return;   // an open comment runs to the end: nothing more to read
            }
            if (atEnd())
                return;
            const qsizetype entryStart = m_pos;
            if (!readEntry(result)) {
                report(result);
                m_pos = std::max(resumePoint(m_failure.resumeFrom), entryStart + 1);
            }
        }
    }

private:
    struct Failure
    {
        qsizetype reportAt = 0;   // decides the line in the message
        qsizetype resumeFrom = 0; // where to look for the end of the bad entry
        QString what;
    };

    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek(qsizetype offset = 0) const
    {
        const qsizetype i = m_pos + offset;
        return i < m_text.size() ? m_text.at(i) : QChar();
    }

    bool fail(qsizetype reportAt, qsizetype resumeFrom, const QString &what)
    {
        m_failure = Failure{reportAt, resumeFrom, what};
        return false;
    }

    int lineAt(qsizetype pos) const
    {
        const auto it = std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), pos);
        return int(it - m_lineStarts.begin());
    }

    void report(StringsFileResult &result)
    {
        logLine(QStringLiteral("%1:%2: %3").arg(m_fileName, QString::number(lineAt(m_failure.reportAt)), m_failure.what));
        ++result.errorCount;
    }

    // After a bad entry, reading resumes after the next ";" that is outside quotes,
    // or at the next line, whichever comes first.
    qsizetype resumePoint(qsizetype from) const
    {
        bool inQuotes = false;
        qsizetype i = from;
        for (; i < m_text.size(); ++i) {
            const QChar c = m_text.at(i);
            if (c == u'\n')
                return i + 1;
            if (inQuotes) {
                if (c == u'\\' && i + 1 < m_text.size() && m_text.at(i + 1) != u'\n')
                    ++i;
                else if (c == u'"')
                    inQuotes = false;
            } else if (c == u'"') {
                inQuotes = true;
            } else if (c == u';') {
                return i + 1;
            }
        }
        return i;
    }

    bool skipSpaceAndComments()
    {
        while (!atEnd()) {
            const QChar c = peek();
            if (c.isSpace()) {
                ++m_pos;
            } else if (c == u'/' && peek(1) == u'/') {
                while (!atEnd() && peek() != u'\n')
                    ++m_pos;
            } else if (c == u'/' && peek(1) == u'*') {
                const qsizetype close = m_text.indexOf(QLatin1String("*/"), m_pos + 2);
                if (close < 0) {
                    fail(m_pos, m_text.size(), QStringLiteral("comment is never closed (missing \"*/\")"));
                    m_pos = m_text.size();
                    return false;
                }
                m_pos = close + 2;
            } else {
                break;
            }
        }
        return true;
    }

    bool readEntry(StringsFileResult &result)
    {
        const std::optional<QString> key = readToken(QStringLiteral("key"));
        if (!key)
            return false;
        const qsizetype afterKey = m_pos;
        if (!skipSpaceAndComments())
            return false;
        if (peek() != u'=')
            return fail(afterKey, afterKey, QStringLiteral("missing \"=\" after the key"));
        ++m_pos;
        if (!skipSpaceAndComments())
            return false;
        const std::optional<QString> value = readToken(QStringLiteral("value"));
        if (!value)
            return false;
        const qsizetype afterValue = m_pos;
        if (!skipSpaceAndComments())
            return false;
        if (peek() != u';')
            return fail(afterValue, afterValue, QStringLiteral("missing \";\" after the value"));
        ++m_pos;
        result.entries.insert(*key, *value);
        return true;
    }

    std::optional<QString> readToken(const QString &role)
    {
        if (peek() == u'"')
            return readQuoted();
        const qsizetype start = m_pos;
        while (!atEnd() && isBareChar(peek()))
            ++m_pos;
        if (m_pos == start) {
            fail(start, start, atEnd() ? QStringLiteral("the file ends where a %1 was expected").arg(role)
                                       : QStringLiteral("expected a quoted %1").arg(role));
            return std::nullopt;
        }
        return m_text.mid(start, m_pos - start);
    }

    // At an opening quote. A line break inside quotes is an error (write \n): it
    // keeps a missing closing quote from swallowing the entries below it.
    std::optional<QString> readQuoted()
    {
        const qsizetype open = m_pos++;
        QString out;
        std::optional<Failure> escapeFailure;
        auto escapeError = [&](qsizetype at, const QString &what) {
            if (!escapeFailure)
                escapeFailure = Failure{at, at, what};
        };

        while (true) {
            if (atEnd() || peek() == u'\n') {
                fail(open, m_pos, QStringLiteral("missing closing quote"));
                return std::nullopt;
            }
            const QChar c = peek();
            if (c == u'"') {
                ++m_pos;
                break;
            }
            if (c != u'\\') {
                out.append(c);
                ++m_pos;
                continue;
            }
            const qsizetype escapeAt = m_pos;
            const QChar e = peek(1);
            switch (e.unicode()) {
            case u'"': out.append(u'"'); m_pos += 2; break;
            case u'\\': out.append(u'\\'); m_pos += 2; break;
            case u'\'': out.append(u'\''); m_pos += 2; break;
            case u'n': out.append(u'\n'); m_pos += 2; break;
            case u't': out.append(u'\t'); m_pos += 2; break;
            case u'r': out.append(u'\r'); m_pos += 2; break;
            case u'0': out.append(QChar(u'\0')); m_pos += 2; break;
            case u'U': {
                m_pos += 2;
                const std::optional<char16_t> unit = readHex4();
                if (!unit) {
                    escapeError(escapeAt, QStringLiteral("\\U must be followed by 4 hex digits"));
                    break;
                }
                if (QChar::isLowSurrogate(*unit)) {
                    escapeError(escapeAt, QStringLiteral("\\U%1 is half of a character pair without its first half")
                                              .arg(int(*unit), 4, 16, QLatin1Char('0')));
                    break;
                }
                if (QChar::isHighSurrogate(*unit)) {
                    std::optional<char16_t> low;
                    if (peek() == u'\\' && peek(1) == u'U') {
                        const qsizetype save = m_pos;
                        m_pos += 2;
                        low = readHex4();
                        if (!low || !QChar::isLowSurrogate(*low)) {
                            low.reset();
                            m_pos = save;
                        }
                    }
                    if (!low) {
                        escapeError(escapeAt, QStringLiteral("\\U%1 must be followed by the second half of its character pair")
                                                  .arg(int(*unit), 4, 16, QLatin1Char('0')));
                        break;
                    }
                    out.append(QChar(*unit));
                    out.append(QChar(*low));
                    break;
                }
                out.append(QChar(*unit));
                break;
            }
            default:
                if (e.isNull() || e == u'\n') {
                    ++m_pos;   // the line break ends the string: reported as a missing quote
                } else {
                    escapeError(escapeAt, e.isPrint() ? QStringLiteral("unknown escape \"\\%1\"").arg(e)
                                                      : QStringLiteral("unknown escape: backslash before U+%1")
                                                            .arg(int(e.unicode()), 4, 16, QLatin1Char('0')));
                    m_pos += 2;
                }
                break;
            }
        }

        if (escapeFailure) {
            fail(escapeFailure->reportAt, m_pos, escapeFailure->what);
            return std::nullopt;
        }
        return out;
    }

    std::optional<char16_t> readHex4()
    {
        char16_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(peek(i));
            if (digit < 0)
                return std::nullopt;
            value = char16_t(value * 16 + digit);
        }
        m_pos += 4;
        return value;
    }

    const QString &m_text;
    const QString m_fileName;
    std::vector<qsizetype> m_lineStarts;
    qsizetype m_pos = 0;
    Failure m_failure;
};

} // namespace

StringsFileResult parseStringsFile(const QByteArray &contents, const QString &fileNameForMessages)
{
    StringsFileResult result;
    const QString text = decodeTable(contents, fileNameForMessages, result.errorCount);
    Parser(text, fileNameForMessages).run(result);
    return result;
}

StringsFileResult loadStringsFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        logLine(QStringLiteral("%1:0: cannot read the string table: %2").arg(path, file.errorString()));
        StringsFileResult result;
        result.errorCount = 1;
        return result;
    }
    return parseStringsFile(file.readAll(), path);
}
