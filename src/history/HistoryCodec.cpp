#include "history/CleanHistory.h"

#include <QByteArrayView>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QLocale>

#include <cmath>
#include <limits>

namespace {

// 2001-01-01 00:00:00 UTC in milliseconds since the Unix epoch.
constexpr qint64 kReferenceMsecs = 978307200000LL;

// Strings as the other platform's default encoder writes them: quotes,
// backslashes and forward slashes escaped, control characters as short or
// \u00xx escapes, everything else as UTF-8.
void appendString(QByteArray &out, const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    out.append('"');
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (u) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '/': out.append("\\/"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default:
            if (u < 0x20) {
                out.append("\\u00");
                out.append(hex[u >> 4]);
                out.append(hex[u & 0xf]);
            } else {
                out.append(c);
            }
        }
    }
    out.append('"');
}

void appendKey(QByteArray &out, const char *key)
{
    out.append('"');
    out.append(key);
    out.append("\":");
}

void appendDetail(QByteArray &out, const CleanedFileDetail &detail)
{
    out.append('{');
    appendKey(out, "name");
    appendString(out, detail.name);
    out.append(',');
    appendKey(out, "path");
    appendString(out, detail.path);
    out.append(',');
    appendKey(out, "size");
    out.append(QByteArray::number(detail.size));
    out.append(',');
    appendKey(out, "fileType");
    appendString(out, detail.fileType);
    out.append('}');
}

void appendRecord(QByteArray &out, const CleanHistory &record)
{
    out.append('{');
    appendKey(out, "id");
    appendString(out, record.id.toString(QUuid::WithoutBraces).toUpper());
    out.append(',');
    appendKey(out, "deviceName");
    appendString(out, record.deviceName);
    out.append(',');
    appendKey(out, "deviceID");
    appendString(out, record.deviceID);
    out.append(',');
    appendKey(out, "timestamp");
    // Shortest text that reads back as the same double, never in exponent form.
    out.append(QString::number(HistoryCodec::referenceSeconds(record.timestamp), 'f',
                               QLocale::FloatingPointShortest)
                   .toLatin1());
    out.append(',');
    appendKey(out, "cleanedFileCount");
    out.append(QByteArray::number(record.cleanedFileCount));
    out.append(',');
    appendKey(out, "freedSpace");
    out.append(QByteArray::number(record.freedSpace));
    out.append(',');
    appendKey(out, "fileTypes");
    out.append('[');
    for (qsizetype i = 0; i < record.fileTypes.size(); ++i) {
        if (i > 0)
            out.append(',');
        appendString(out, record.fileTypes.at(i));
    }
    out.append("],");
    appendKey(out, "cleanedFiles");
    out.append('[');
    for (qsizetype i = 0; i < record.cleanedFiles.size(); ++i) {
        if (i > 0)
            out.append(',');
        appendDetail(out, record.cleanedFiles.at(i));
    }
    out.append("]}");
}

// Reading one record: the first problem found ends it, with a description.
class RecordReader
{
public:
    explicit RecordReader(const QJsonObject &object) : m_object(object) {}

    QString problem;

    QJsonValue field(const QString &key)
    {
        if (!problem.isEmpty())
            return {};
        const auto it = m_object.constFind(key);
        if (it == m_object.constEnd()) {
            fail(QStringLiteral("key \"%1\" is missing").arg(key));
            return {};
        }
        return *it;
    }

    QString string(const QString &key)
    {
        const QJsonValue value = field(key);
        if (problem.isEmpty() && !value.isString())
            fail(QStringLiteral("\"%1\" is not a string").arg(key));
        return value.toString();
    }

    qint64 integer(const QString &key)
    {
        const QJsonValue value = field(key);
        if (!problem.isEmpty())
            return 0;
        // A number that is not an exact integer gives each fallback back.
        const qint64 a = value.toInteger(0);
        if (!value.isDouble() || a != value.toInteger(1)) {
            fail(QStringLiteral("\"%1\" is not an integer").arg(key));
            return 0;
        }
        return a;
    }

    // A count or a size: an integer that is not negative (a clean never
    // removes fewer than nothing nor frees negative space).
    qint64 amount(const QString &key)
    {
        const qint64 value = integer(key);
        if (problem.isEmpty() && value < 0)
            fail(QStringLiteral("\"%1\" is negative").arg(key));
        return value;
    }

    QJsonArray array(const QString &key)
    {
        const QJsonValue value = field(key);
        if (problem.isEmpty() && !value.isArray())
            fail(QStringLiteral("\"%1\" is not an array").arg(key));
        return value.toArray();
    }

    void fail(const QString &text)
    {
        if (problem.isEmpty())
            problem = text;
    }

private:
    QJsonObject m_object;
};

// One copy of each kind's name and each device's name and id, shared by the
// records and files that hold it, instead of one per file.
class Interned
{
public:
    QString operator()(const QString &text)
    {
        if (const auto it = m_texts.constFind(text); it != m_texts.cend())
            return *it;
        if (m_texts.size() < 4096)
            m_texts.insert(text, text);
        return text;
    }

private:
    QHash<QString, QString> m_texts;
};

bool isCanonicalUuid(const QString &text)
{
    if (text.size() != 36)
        return false;
    for (int i = 0; i < 36; ++i) {
        const QChar c = text.at(i);
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != u'-')
                return false;
        } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) {
            return false;
        }
    }
    return true;
}

std::optional<CleanedFileDetail> readDetail(const QJsonValue &value, QString *problem, Interned &interned)
{
    if (!value.isObject()) {
        *problem = QStringLiteral("a cleaned file is not an object");
        return std::nullopt;
    }
    RecordReader reader(value.toObject());
    CleanedFileDetail detail;
    detail.name = reader.string(QStringLiteral("name"));
    detail.path = reader.string(QStringLiteral("path"));
    detail.size = reader.amount(QStringLiteral("size"));
    detail.fileType = interned(reader.string(QStringLiteral("fileType")));
    if (!reader.problem.isEmpty()) {
        *problem = QStringLiteral("cleaned file: ") + reader.problem;
        return std::nullopt;
    }
    return detail;
}

std::optional<CleanHistory> readRecord(const QJsonValue &value, QString *problem, Interned &interned)
{
    if (!value.isObject()) {
        *problem = QStringLiteral("not an object");
        return std::nullopt;
    }
    RecordReader reader(value.toObject());
    CleanHistory record;

    const QString id = reader.string(QStringLiteral("id"));
    if (reader.problem.isEmpty()) {
        if (isCanonicalUuid(id))
            record.id = QUuid::fromString(id);
        else
            reader.fail(QStringLiteral("\"id\" is not a UUID: %1").arg(id));
    }
    record.deviceName = interned(reader.string(QStringLiteral("deviceName")));
    record.deviceID = interned(reader.string(QStringLiteral("deviceID")));

    const QJsonValue timestamp = reader.field(QStringLiteral("timestamp"));
    if (reader.problem.isEmpty()) {
        const double seconds = timestamp.toDouble();
        // Beyond this the date cannot be held in milliseconds.
        if (!timestamp.isDouble() || !std::isfinite(seconds) || std::fabs(seconds) > 9.0e12)
            reader.fail(QStringLiteral("\"timestamp\" is not a number of seconds"));
        else
            record.timestamp = HistoryCodec::fromReferenceSeconds(seconds);
    }

    record.cleanedFileCount = reader.amount(QStringLiteral("cleanedFileCount"));
    record.freedSpace = reader.amount(QStringLiteral("freedSpace"));

    for (const QJsonValue &type : reader.array(QStringLiteral("fileTypes"))) {
        if (!type.isString()) {
            reader.fail(QStringLiteral("\"fileTypes\" holds something that is not a string"));
            break;
        }
        record.fileTypes.append(interned(type.toString()));
    }
    const QJsonArray files = reader.array(QStringLiteral("cleanedFiles"));
    record.cleanedFiles.reserve(files.size());
    for (const QJsonValue &file : files) {
        if (!reader.problem.isEmpty())
            break;
        QString fileProblem;
        if (const auto detail = readDetail(file, &fileProblem, interned))
            record.cleanedFiles.append(*detail);
        else
            reader.fail(fileProblem);
    }

    if (!reader.problem.isEmpty()) {
        *problem = reader.problem;
        return std::nullopt;
    }
    return record;
}

// The texts of the elements of a JSON array, as they stand in `bytes`;
// nothing when `bytes` is not an array whose elements are delimited as JSON
// delimits them (each element is read, and so checked, on its own), with
// `failedAt` the offset where that showed, or -1 when it is no array at all.
std::optional<QList<QByteArrayView>> arrayElements(const QByteArray &bytes, qsizetype *failedAt)
{
    const char *const begin = bytes.constData();
    const char *const end = begin + bytes.size();
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    const char *at = begin;
    while (at < end && isSpace(*at))
        ++at;
    *failedAt = -1;   // not an array at all
    if (at == end || *at != '[')
        return std::nullopt;
    ++at;
    QList<QByteArrayView> elements;
    bool closed = false;
    while (!closed) {
        while (at < end && isSpace(*at))
            ++at;
        *failedAt = at - begin;
        if (at == end)
            return std::nullopt;
        if (*at == ']' && elements.isEmpty()) {
            ++at;
            break;
        }
        // One element: up to the comma or bracket that ends it outside any
        // string, object or array.
        const char *start = at;
        int depth = 0;
        bool inString = false;
        for (; at < end; ++at) {
            const char c = *at;
            if (inString) {
                if (c == '\\')
                    ++at;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (depth == 0)
                    break;
                --depth;
            } else if (c == ',' && depth == 0) {
                break;
            }
        }
        *failedAt = at - begin;
        if (at >= end)
            return std::nullopt;
        const char *last = at;
        while (last > start && isSpace(last[-1]))
            --last;
        if (last == start || *at == '}')
            return std::nullopt;
        elements.append(QByteArrayView(start, last - start));
        closed = *at == ']';
        ++at;
    }
    while (at < end && isSpace(*at))
        ++at;
    *failedAt = at - begin;
    if (at != end)
        return std::nullopt;
    return elements;
}

} // namespace

namespace HistoryCodec {

double referenceSeconds(const QDateTime &time)
{
    return double(time.toMSecsSinceEpoch() - kReferenceMsecs) / 1000.0;
}

QDateTime fromReferenceSeconds(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(kReferenceMsecs + std::llround(seconds * 1000.0), Qt::UTC);
}

QByteArray encode(const QList<CleanHistory> &records)
{
    QByteArray out;
    out.append('[');
    for (qsizetype i = 0; i < records.size(); ++i) {
        if (i > 0)
            out.append(',');
        appendRecord(out, records.at(i));
    }
    out.append(']');
    out.squeeze();   // kept by the preferences as long as the app runs: not a third more
    return out;
}

std::optional<Decoded> decode(const QByteArray &bytes, QString *error)
{
    // A long history is read one record at a time: a document of the whole
    // array took several times the bytes it was read from.
    qsizetype failedAt = -1;
    std::optional<QList<QByteArrayView>> records = arrayElements(bytes, &failedAt);
    if (!records && failedAt >= 0) {
        if (error)
            *error = QStringLiteral("not valid JSON: the array's values are not separated or closed at offset %1").arg(failedAt);
        return std::nullopt;
    }
    if (!records) {
        // Not an array: let the JSON reader say what it is instead.
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
        if (error) {
            *error = parseError.error != QJsonParseError::NoError
                         ? QStringLiteral("not valid JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset)
                         : QStringLiteral("not a JSON array");
        }
        return std::nullopt;
    }

    Decoded decoded;
    Interned interned;
    for (qsizetype i = 0; i < records->size(); ++i) {
        const QByteArrayView text = records->at(i);
        // Wrapped in an array: a record that is not an object is still JSON.
        QByteArray one;
        one.reserve(text.size() + 2);
        one.append('[').append(text).append(']');
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(one, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            if (error) {
                const qsizetype at = (text.data() - bytes.constData()) + std::max(0, parseError.offset - 1);
                *error = QStringLiteral("not valid JSON: %1 at offset %2").arg(parseError.errorString()).arg(at);
            }
            return std::nullopt;
        }
        QString problem;
        if (auto record = readRecord(document.array().at(0), &problem, interned)) {
            decoded.records.append(std::move(*record));
        } else {
            ++decoded.skipped;
            decoded.problems.append(QStringLiteral("record %1 of %2: %3").arg(i + 1).arg(records->size()).arg(problem));
            decoded.damaged.append(decoded.damaged.isEmpty() ? '[' : ',').append(text);
        }
    }
    if (!decoded.damaged.isEmpty())
        decoded.damaged.append(']');
    return decoded;
}

} // namespace HistoryCodec
