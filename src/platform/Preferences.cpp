#include "platform/Preferences.h"

#include "platform/FileReplace.h"
#include "platform/Log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QHash>
#include <QMultiHash>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // Decoded where the text was read (twice the bytes, UTF-16): keep only what it holds.
    decoded.decoded.squeeze();
    return std::move(decoded.decoded);
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

std::atomic<Preferences *> g_installed{nullptr};

} // namespace

struct Preferences::Impl
{
    QString path;
    // Guards everything below but the handler.
    mutable std::mutex mutex;
    QMap<QString, Entry> entries;
    // Set when an unreadable file could not be moved aside: writing would then
    // replace the only copy of it, so each write tries to move it first.
    bool mustNotOverwrite = false;
    // Where an unreadable file was moved, until the user is told (takeSetAside()).
    std::optional<QString> setAside;
    // Why an unreadable file could not be moved aside at open, until told.
    std::optional<WriteFailure> notSetAside;
    // The keys changed since the file last took them, with the change that
    // last touched each; the keys whose failure is told apart, and those of
    // them a report of the run of failures named.
    QHash<QString, quint64> unwritten;
    QSet<QString> toldApart;
    QSet<QString> reported;

    // The writer: `changes` counts the changes made, `written` the newest
    // change the last write took (written or failed).
    quint64 changes = 0;
    quint64 written = 0;
    bool stopping = false;
    bool failing = false;            // the last write failed
    std::optional<WriteFailure> lastFailure;   // why, while it did
    std::condition_variable wake;    // a change to write, or stop
    std::condition_variable caughtUp;
    std::thread writer;

    // Reports of failed writes: the handler is called under its own lock, so
    // clearing it waits for a report under way.
    std::mutex handlerMutex;
    WriteFailureHandler handler;
    std::optional<WriteFailure> unreported;

    void load();
    void moveAside(const QString &reason);
    WriteFailure notMovedAside(int error) const;
    void changed();            // with `mutex` held
    void changed(const QString &key)   // the same, for a change of `key`
    {
        changed();
        unwritten.insert(key, changes);
    }
    // One write of `snapshot`, moving an unreadable file aside first when it
    // had to be kept (`keepFile`); nothing when it worked.
    std::optional<WriteFailure> write(const QMap<QString, Entry> &snapshot, bool keepFile);
    // After a write of the changes up to `taking`: the keys it took are
    // written, or what is to be reported of its failure (nothing when it
    // tells nothing new). With `mutex` held.
    std::optional<WriteFailure> afterWrite(quint64 taking, std::optional<WriteFailure> failure);
    void writeLoop();
    bool flush();
    void report(const WriteFailure &failure);
    QByteArray document(const QMap<QString, Entry> &snapshot) const;

    template <typename T>
    std::optional<T> read(const QString &key) const
    {
        std::lock_guard lock(mutex);
        const auto it = entries.constFind(key);
        if (it == entries.cend())
            return std::nullopt;
        if (const T *value = std::get_if<T>(&it->value))
            return *value;
        return std::nullopt;
    }

    void store(const QString &key, Value value)
    {
        // Encoded before the lock: a large value costs the caller, not readers.
        QJsonValue stored = encode(value);
        std::lock_guard lock(mutex);
        entries.insert(key, Entry{std::move(value), std::move(stored)});
        changed(key);
    }
};

namespace {

// The stores of this process by file, so opening one waits for what another
// one still has to write there.
std::mutex g_registryMutex;
QMultiHash<QString, Preferences *> g_stores;   // NOLINT: guarded by g_registryMutex

QString registryKey(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

void flushOthers(const QString &path, const Preferences *self)
{
    std::lock_guard lock(g_registryMutex);
    for (Preferences *store : g_stores.values(registryKey(path))) {
        if (store != self)
            store->flush();
    }
}

} // namespace

void Preferences::Impl::load()
{
    entries.clear();
    unwritten.clear();
    mustNotOverwrite = false;

    // Opened only as a regular file: a named pipe or a device would block the
    // open or the read, and a folder is no file. O_NONBLOCK keeps the open of
    // a pipe from waiting for a writer.
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return;
        const int error = errno;
        struct stat st;
        if (::lstat(native.constData(), &st) != 0)
            return;   // gone meanwhile
        moveAside(errorText(error));
        return;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        moveAside(QStringLiteral("not a regular file"));
        return;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        moveAside(QStringLiteral("cannot be read"));
        return;
    }
    QByteArray data = file.readAll();
    const bool readWhole = file.error() == QFileDevice::NoError;
    file.close();
    if (!readWhole) {
        moveAside(QStringLiteral("cannot be read"));
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    data = QByteArray();   // the document holds what it needs (a long history is most of it)
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

namespace {

// Where an unreadable file was moved, or the errno of the rename that failed.
struct MovedAside
{
    std::optional<QString> target;
    QString base;
    int error = 0;
};

MovedAside renameAside(const QString &path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString base = path + QStringLiteral(".corrupt-") + stamp;
    const QByteArray from = QFile::encodeName(path);
    // Never replaces an existing file (RENAME_NOREPLACE): a name taken meanwhile
    // just moves on to the next counter.
    int error = 0;
    for (int counter = 1; counter < 1000; ++counter) {
        const QString target = counter == 1 ? base : QStringLiteral("%1-%2").arg(base).arg(counter);
        const QByteArray to = QFile::encodeName(target);
        int moved = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: look first, then rename.
            struct stat st;
            if (::lstat(to.constData(), &st) == 0)
                errno = EEXIST;
            else
                moved = ::rename(from.constData(), to.constData());
        }
        if (moved == 0)
            return MovedAside{target, base, 0};
        error = errno;
        if (error != EEXIST)
            break;
    }
    return MovedAside{std::nullopt, base, error};
}

} // namespace

// The unreadable file could not be moved aside, so nothing is written over it.
Preferences::WriteFailure Preferences::Impl::notMovedAside(int error) const
{
    return WriteFailure{path, error, QStringLiteral("the unreadable file there could not be moved aside: ") + errorText(error),
                        {}, true};
}

void Preferences::Impl::moveAside(const QString &reason)
{
    const MovedAside moved = renameAside(path);
    if (moved.target) {
        logLine(QStringLiteral("Preferences: %1 could not be read (%2); moved it to %3 and starting with empty preferences")
                    .arg(path, reason, *moved.target));
        setAside = moved.target;
        return;
    }
    logLine(QStringLiteral("Preferences: %1 could not be read (%2) nor moved aside to %3 (%4); starting with empty preferences and leaving the file alone")
                .arg(path, reason, moved.base, errorText(moved.error)));
    mustNotOverwrite = true;
    notSetAside = notMovedAside(moved.error);
}

QByteArray Preferences::Impl::document(const QMap<QString, Entry> &snapshot) const
{
    QJsonObject values;
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it)
        values.insert(it.key(), it->stored);
    QJsonObject root;
    root.insert(QStringLiteral("format"), kFormat);
    root.insert(QStringLiteral("values"), values);
    // Compact: indenting a deeply nested entry kept from another version
    // would grow it by the square of its depth.
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

void Preferences::Impl::changed()
{
    ++changes;
    if (!writer.joinable())
        writer = std::thread([this] { writeLoop(); });
    wake.notify_one();
}

// One thread per store writes the newest state, one write at a time.
void Preferences::Impl::writeLoop()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || changes > written; });
        if (changes == written)
            return;   // stopping, with nothing left to write
        const quint64 taking = changes;
        const QMap<QString, Entry> snapshot = entries;   // shared, not copied
        const bool keepFile = mustNotOverwrite;
        lock.unlock();

        std::optional<WriteFailure> failure = write(snapshot, keepFile);

        lock.lock();
        if (std::optional<WriteFailure> told = afterWrite(taking, std::move(failure))) {
            lock.unlock();
            // One line per run of failures, not one per change.
            if (told->firstOfRun)
                logLine(QStringLiteral("Preferences: could not write %1: %2; changes are kept only until the app quits")
                            .arg(path, told->description));
            report(*told);
            lock.lock();
        }
        // A flush returns once the write and its report are done.
        written = taking;
        caughtUp.notify_all();
    }
}

std::optional<Preferences::WriteFailure> Preferences::Impl::write(const QMap<QString, Entry> &snapshot, bool keepFile)
{
    if (keepFile) {
        // The folder may take the rename now: then the file is kept aside and
        // written as it should be.
        const MovedAside moved = renameAside(path);
        if (!moved.target)
            return notMovedAside(moved.error);
        logLine(QStringLiteral("Preferences: moved the unreadable %1 to %2 before writing it").arg(path, *moved.target));
        std::lock_guard lock(mutex);
        mustNotOverwrite = false;
        setAside = moved.target;
    }
    if (const std::optional<FileReplaceError> error = replaceFile(path, document(snapshot)))
        return WriteFailure{path, error->error, error->description, {}, true};
    return std::nullopt;
}

std::optional<Preferences::WriteFailure> Preferences::Impl::afterWrite(quint64 taking, std::optional<WriteFailure> failure)
{
    const bool firstFailure = failure && !failing;
    failing = failure.has_value();
    lastFailure = failure;
    if (!failure) {
        for (auto it = unwritten.begin(); it != unwritten.end();)
            it = it.value() <= taking ? unwritten.erase(it) : std::next(it);
        reported.clear();
        return std::nullopt;
    }
    bool apart = false;   // a key told apart that no report of the run named
    for (auto it = unwritten.cbegin(); it != unwritten.cend(); ++it) {
        if (it.value() > taking)
            continue;   // changed after this write began: the next one takes it
        failure->keys.append(it.key());
        apart = apart || (toldApart.contains(it.key()) && !reported.contains(it.key()));
    }
    failure->keys.sort();
    failure->firstOfRun = firstFailure;
    if (!firstFailure && !apart)
        return std::nullopt;
    for (const QString &key : std::as_const(failure->keys))
        reported.insert(key);
    return failure;
}

bool Preferences::Impl::flush()
{
    std::unique_lock lock(mutex);
    // A failed write is tried again: the folder may take it now.
    if (failing && written == changes)
        changed();
    const quint64 target = changes;
    caughtUp.wait(lock, [&] { return written >= target; });
    return !failing;
}

void Preferences::Impl::report(const WriteFailure &failure)
{
    std::lock_guard lock(handlerMutex);
    if (handler)
        handler(failure);
    else
        unreported = failure;
}

Preferences::Preferences(const QString &filePath)
    : d(std::make_unique<Impl>())
{
    d->path = filePath;
    flushOthers(filePath, this);
    for (const QString &left : removeStaleTemporaryFiles(filePath))
        logLine(QStringLiteral("Preferences: removed %1, left by a write that did not finish").arg(left));
    {
        std::lock_guard lock(d->mutex);
        d->load();
    }
    std::lock_guard lock(g_registryMutex);
    g_stores.insert(registryKey(filePath), this);
}

Preferences::~Preferences()
{
    {
        std::lock_guard lock(g_registryMutex);
        g_stores.remove(registryKey(d->path), this);
    }
    {
        std::lock_guard lock(d->mutex);
        // What a failed write left out is written now, if the folder takes it.
        if (d->failing && d->written == d->changes)
            d->changed();
        d->stopping = true;
        d->wake.notify_one();
    }
    if (d->writer.joinable())
        d->writer.join();
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
    std::lock_guard lock(d->mutex);
    const auto it = d->entries.constFind(key);
    return it == d->entries.cend() ? Type::Absent : typeOf(it->value);
}

std::optional<bool> Preferences::boolValue(const QString &key) const { return d->read<bool>(key); }
std::optional<qint64> Preferences::integerValue(const QString &key) const { return d->read<qint64>(key); }
std::optional<QString> Preferences::stringValue(const QString &key) const { return d->read<QString>(key); }
std::optional<QStringList> Preferences::stringListValue(const QString &key) const { return d->read<QStringList>(key); }
std::optional<QByteArray> Preferences::bytesValue(const QString &key) const { return d->read<QByteArray>(key); }
std::optional<Preferences::BytesMap> Preferences::bytesMapValue(const QString &key) const { return d->read<BytesMap>(key); }

void Preferences::setBool(const QString &key, bool value)
{
    d->store(key, Value(std::in_place_type<bool>, value));
}

void Preferences::setInteger(const QString &key, qint64 value)
{
    d->store(key, Value(std::in_place_type<qint64>, value));
}

void Preferences::setString(const QString &key, const QString &value)
{
    d->store(key, Value(std::in_place_type<QString>, value));
}

void Preferences::setStringList(const QString &key, const QStringList &value)
{
    d->store(key, Value(std::in_place_type<QStringList>, value));
}

void Preferences::setBytes(const QString &key, const QByteArray &value)
{
    d->store(key, Value(std::in_place_type<QByteArray>, value));
}

void Preferences::setBytesMap(const QString &key, const BytesMap &value)
{
    d->store(key, Value(std::in_place_type<BytesMap>, value));
}

void Preferences::remove(const QString &key)
{
    std::lock_guard lock(d->mutex);
    d->entries.remove(key);
    d->changed(key);
}

std::optional<QByteArray> Preferences::storedEntry(const QString &key) const
{
    std::lock_guard lock(d->mutex);
    const auto it = d->entries.constFind(key);
    if (it == d->entries.cend())
        return std::nullopt;
    // Wrapped in an array: a bare value is no JSON document.
    return QJsonDocument(QJsonArray{it->stored}).toJson(QJsonDocument::Compact);
}

void Preferences::setStoredEntry(const QString &key, const QByteArray &stored)
{
    const QJsonDocument document = QJsonDocument::fromJson(stored);
    if (!document.isArray() || document.array().size() != 1)
        return;
    const QJsonValue envelope = document.array().at(0);
    std::lock_guard lock(d->mutex);
    d->entries.insert(key, Entry{decode(envelope), envelope});
    d->changed(key);
}

bool Preferences::flush()
{
    return d->flush();
}

std::optional<Preferences::WriteFailure> Preferences::unsavedChanges() const
{
    std::lock_guard lock(d->mutex);
    if (!d->failing || !d->lastFailure)
        return std::nullopt;
    WriteFailure failure = *d->lastFailure;
    failure.keys = d->unwritten.keys();
    failure.keys.sort();
    failure.firstOfRun = false;
    return failure;
}

void Preferences::setWriteFailureHandler(WriteFailureHandler handler, const QStringList &toldApart)
{
    {
        std::lock_guard lock(d->mutex);
        d->toldApart = QSet<QString>(toldApart.cbegin(), toldApart.cend());
    }
    std::lock_guard lock(d->handlerMutex);
    d->handler = std::move(handler);
    if (d->handler && d->unreported) {
        d->handler(*d->unreported);
        d->unreported.reset();
    }
}

std::optional<QString> Preferences::takeSetAside()
{
    std::lock_guard lock(d->mutex);
    return std::exchange(d->setAside, std::nullopt);
}

std::optional<Preferences::WriteFailure> Preferences::takeNotSetAside()
{
    std::lock_guard lock(d->mutex);
    return std::exchange(d->notSetAside, std::nullopt);
}

void Preferences::reload()
{
    // What this store still has to write lands first; the file is read after it.
    d->flush();
    flushOthers(d->path, this);
    std::lock_guard lock(d->mutex);
    d->load();
}
