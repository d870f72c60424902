#include "platform/Preferences.h"

#include "platform/Log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMutex>
#include <QSaveFile>

#include <atomic>
#include <cerrno>
#include <variant>

#include <sys/stat.h>

namespace {

constexpr int kFormat = 1;
// Doubles hold every integer up to 2^53; larger ones are written as decimal
// strings so that other JSON readers cannot round them.
constexpr qint64 kLargestExactDouble = qint64(1) << 53;

// monostate marks an entry this version does not understand.
using Value = std::variant<std::monostate, bool, qint64, QString, QStringList, QByteArray,
                           Preferences::BytesMap>;

struct Entry
{
    Value value;
    // What is written for this entry: the envelope as read from the file, or
    // as made from the value when it was last set. Entries nobody changed are
    // thereby written back exactly as they came.
    QJsonValue stored;
};

Preferences::Type typeOf(const Value &value)
{
    switch (value.index()) {
    case 1: return Preferences::Type::Bool;
    case 2: return Preferences::Type::Integer;
    case 3: return Preferences::Type::String;
    case 4: return Preferences::Type::StringList;
    case 5: return Preferences::Type::Bytes;
    case 6: return Preferences::Type::BytesMap;
    default: return Preferences::Type::Unknown;
    }
}

QString base64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

std::optional<QByteArray> fromBase64(const QJsonValue &json)
{
    if (!json.isString())
        return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(json.toString().toLatin1(),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return *decoded;
}

QJsonValue encode(const Value &value)
{
    QJsonObject envelope;
    QJsonValue json;
    QString type;
    if (const bool *b = std::get_if<bool>(&value)) {
        type = QStringLiteral("bool");
        json = *b;
    } else if (const qint64 *i = std::get_if<qint64>(&value)) {
        type = QStringLiteral("integer");
        if (*i >= -kLargestExactDouble && *i <= kLargestExactDouble)
            json = *i;
        else
            json = QString::number(*i);
    } else if (const QString *s = std::get_if<QString>(&value)) {
        type = QStringLiteral("string");
        json = *s;
    } else if (const QStringList *list = std::get_if<QStringList>(&value)) {
        type = QStringLiteral("stringList");
        json = QJsonArray::fromStringList(*list);
    } else if (const QByteArray *bytes = std::get_if<QByteArray>(&value)) {
        type = QStringLiteral("bytes");
        json = base64(*bytes);
    } else if (const auto *map = std::get_if<Preferences::BytesMap>(&value)) {
        type = QStringLiteral("bytesMap");
        QJsonObject object;
        for (auto it = map->cbegin(); it != map->cend(); ++it)
            object.insert(it.key(), base64(it.value()));
        json = object;
    }
    envelope.insert(QStringLiteral("type"), type);
    envelope.insert(QStringLiteral("value"), json);
    return envelope;
}

std::optional<qint64> decodeInteger(const QJsonValue &json)
{
    if (json.isDouble()) {
        // A number that is not an exact qint64 gives each fallback back.
        const qint64 a = json.toInteger(0);
        const qint64 b = json.toInteger(1);
        if (a != b)
            return std::nullopt;
        return a;
    }
    if (json.isString()) {
        bool ok = false;
        const qint64 v = json.toString().toLongLong(&ok);
        if (ok)
            return v;
    }
    return std::nullopt;
}

// An envelope that is not well formed, or of a type this version does not
// know, gives monostate.
Value decode(const QJsonValue &envelope)
{
    if (!envelope.isObject())
        return {};
    const QJsonObject object = envelope.toObject();
    const QString type = object.value(QStringLiteral("type")).toString();
    const QJsonValue json = object.value(QStringLiteral("value"));

    if (type == QLatin1String("bool")) {
        if (json.isBool())
            return Value(std::in_place_type<bool>, json.toBool());
    } else if (type == QLatin1String("integer")) {
        if (const auto i = decodeInteger(json))
            return Value(std::in_place_type<qint64>, *i);
    } else if (type == QLatin1String("string")) {
        if (json.isString())
            return Value(std::in_place_type<QString>, json.toString());
    } else if (type == QLatin1String("stringList")) {
        if (!json.isArray())
            return {};
        QStringList list;
        for (const QJsonValue &item : json.toArray()) {
            if (!item.isString())
                return {};
            list.append(item.toString());
        }
        return Value(std::in_place_type<QStringList>, list);
    } else if (type == QLatin1String("bytes")) {
        if (const auto bytes = fromBase64(json))
            return Value(std::in_place_type<QByteArray>, *bytes);
    } else if (type == QLatin1String("bytesMap")) {
        if (!json.isObject())
            return {};
        Preferences::BytesMap map;
        const QJsonObject object2 = json.toObject();
        for (auto it = object2.constBegin(); it != object2.constEnd(); ++it) {
            const auto bytes = fromBase64(it.value());
            if (!bytes)
                return {};
            map.insert(it.key(), *bytes);
        }
        return Value(std::in_place_type<Preferences::BytesMap>, map);
    }
    return {};
}

// Creates the missing directories of the path, private to the user.
bool makeDirectories(const QString &dir, QString *error)
{
    const QFileInfo info(dir);
    if (info.isDir())
        return true;
    const QString parent = info.path();
    if (parent != dir && !makeDirectories(parent, error))
        return false;
    if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create %1: %2").arg(dir, errorText(errno));
        return false;
    }
    return true;
}

std::atomic<Preferences *> g_installed{nullptr};

} // namespace

struct Preferences::Impl
{
    QString path;
    mutable QMutex mutex;
    QMap<QString, Entry> entries;
    bool writeFailureReported = false;
    // Set when an unreadable file could not be moved aside: writing would then
    // replace the only copy of it.
    bool mustNotOverwrite = false;

    void load();
    void moveAside(const QString &reason);
    bool save();
    bool writeFile(QString *error) const;
    bool store(const QString &key, Value value);

    template <typename T>
    std::optional<T> read(const QString &key) const
    {
        QMutexLocker lock(&mutex);
        const auto it = entries.constFind(key);
        if (it == entries.cend())
            return std::nullopt;
        if (const T *value = std::get_if<T>(&it->value))
            return *value;
        return std::nullopt;
    }
};

void Preferences::Impl::load()
{
    entries.clear();
    mustNotOverwrite = false;

    QFile file(path);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        moveAside(file.errorString());
        return;
    }
    const QByteArray data = file.readAll();
    file.close();

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        moveAside(QStringLiteral("not valid JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
        return;
    }
    const QJsonObject root = document.object();
    const QJsonValue values = root.value(QStringLiteral("values"));
    if (!document.isObject() || root.value(QStringLiteral("format")).toInteger(-1) != kFormat || !values.isObject()) {
        moveAside(QStringLiteral("not a preferences file of format %1").arg(kFormat));
        return;
    }

    QStringList unknown;
    const QJsonObject object = values.toObject();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        Entry entry{decode(it.value()), it.value()};
        if (std::holds_alternative<std::monostate>(entry.value))
            unknown.append(it.key());
        entries.insert(it.key(), std::move(entry));
    }
    if (!unknown.isEmpty())
        logLine(QStringLiteral("Preferences: keeping %1 entr%2 of %3 that this version does not understand: %4")
                    .arg(unknown.size())
                    .arg(unknown.size() == 1 ? QStringLiteral("y") : QStringLiteral("ies"), path,
                         unknown.join(QStringLiteral(", "))));
}

void Preferences::Impl::moveAside(const QString &reason)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString base = path + QStringLiteral(".corrupt-") + stamp;
    // QFile::rename never replaces an existing file; a name taken meanwhile
    // just moves on to the next counter.
    for (int counter = 1; counter < 1000; ++counter) {
        const QString target = counter == 1 ? base : QStringLiteral("%1-%2").arg(base).arg(counter);
        const QFileInfo targetInfo(target);
        if (targetInfo.exists() || targetInfo.isSymLink())
            continue;
        QFile file(path);
        if (file.rename(target)) {
            logLine(QStringLiteral("Preferences: %1 could not be read (%2); moved it to %3 and starting with empty preferences")
                        .arg(path, reason, target));
            return;
        }
        const QFileInfo after(target);
        if (!after.exists() && !after.isSymLink()) {
            logLine(QStringLiteral("Preferences: %1 could not be read (%2) nor moved to %3 (%4); starting with empty preferences and leaving the file alone")
                        .arg(path, reason, target, file.errorString()));
            mustNotOverwrite = true;
            return;
        }
    }
    logLine(QStringLiteral("Preferences: %1 could not be read (%2) nor moved aside to %3; starting with empty preferences and leaving the file alone")
                .arg(path, reason, base));
    mustNotOverwrite = true;
}

bool Preferences::Impl::writeFile(QString *error) const
{
    if (mustNotOverwrite) {
        *error = QStringLiteral("the unreadable file there was kept");
        return false;
    }
    const QString directory = QFileInfo(path).absolutePath();
    if (!makeDirectories(directory, error))
        return false;

    QJsonObject values;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        values.insert(it.key(), it->stored);
    QJsonObject root;
    root.insert(QStringLiteral("format"), kFormat);
    root.insert(QStringLiteral("values"), values);
    const QByteArray data = QJsonDocument(root).toJson(QJsonDocument::Indented);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    // Applies to the temporary file, so the file is private from the start.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(data) != data.size() || !file.commit()) {
        *error = file.errorString();
        return false;   // the destructor drops the temporary file
    }
    return true;
}

bool Preferences::Impl::save()
{
    QString error;
    if (!writeFile(&error)) {
        // One line per run of failures, not one per change.
        if (!writeFailureReported)
            logLine(QStringLiteral("Preferences: could not write %1: %2; changes are kept only until the app quits")
                        .arg(path, error));
        writeFailureReported = true;
        return false;
    }
    writeFailureReported = false;
    return true;
}

bool Preferences::Impl::store(const QString &key, Value value)
{
    QMutexLocker lock(&mutex);
    QJsonValue stored = encode(value);
    entries.insert(key, Entry{std::move(value), std::move(stored)});
    return save();
}

Preferences::Preferences(const QString &filePath)
    : d(std::make_unique<Impl>())
{
    d->path = filePath;
    d->load();
}

Preferences::~Preferences()
{
    Preferences *self = this;
    g_installed.compare_exchange_strong(self, nullptr);
}

QString Preferences::defaultFilePath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(base + QStringLiteral("/sweepbrook/preferences.json"));
}

Preferences &Preferences::standard()
{
    if (Preferences *installed = g_installed.load(std::memory_order_acquire))
        return *installed;
    static Preferences fallback(defaultFilePath());
    return fallback;
}

void Preferences::setStandard(Preferences *preferences)
{
    g_installed.store(preferences, std::memory_order_release);
}

QString Preferences::filePath() const
{
    return d->path;
}

Preferences::Type Preferences::type(const QString &key) const
{
    QMutexLocker lock(&d->mutex);
    const auto it = d->entries.constFind(key);
    return it == d->entries.cend() ? Type::Absent : typeOf(it->value);
}

std::optional<bool> Preferences::boolValue(const QString &key) const { return d->read<bool>(key); }
std::optional<qint64> Preferences::integerValue(const QString &key) const { return d->read<qint64>(key); }
std::optional<QString> Preferences::stringValue(const QString &key) const { return d->read<QString>(key); }
std::optional<QStringList> Preferences::stringListValue(const QString &key) const { return d->read<QStringList>(key); }
std::optional<QByteArray> Preferences::bytesValue(const QString &key) const { return d->read<QByteArray>(key); }
std::optional<Preferences::BytesMap> Preferences::bytesMapValue(const QString &key) const { return d->read<BytesMap>(key); }

bool Preferences::setBool(const QString &key, bool value)
{
    return d->store(key, Value(std::in_place_type<bool>, value));
}

bool Preferences::setInteger(const QString &key, qint64 value)
{
    return d->store(key, Value(std::in_place_type<qint64>, value));
}

bool Preferences::setString(const QString &key, const QString &value)
{
    return d->store(key, Value(std::in_place_type<QString>, value));
}

bool Preferences::setStringList(const QString &key, const QStringList &value)
{
    return d->store(key, Value(std::in_place_type<QStringList>, value));
}

bool Preferences::setBytes(const QString &key, const QByteArray &value)
{
    return d->store(key, Value(std::in_place_type<QByteArray>, value));
}

bool Preferences::setBytesMap(const QString &key, const BytesMap &value)
{
    return d->store(key, Value(std::in_place_type<BytesMap>, value));
}

bool Preferences::remove(const QString &key)
{
    QMutexLocker lock(&d->mutex);
    d->entries.remove(key);
    return d->save();
}

void Preferences::reload()
{
    QMutexLocker lock(&d->mutex);
    d->load();
}
