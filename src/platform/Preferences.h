#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// The user's preferences: typed values under string keys, kept in one JSON file.
// A value reads back only with the type it was written with; reading it as
// another type gives nothing, as does reading an absent key.
//
// Every change is held in memory at once and written to the file in the
// background, by one writer per store, in order: a write always takes the
// newest state, so the last change wins and changes made while a write runs
// go out together with the next one. The file is replaced atomically and is
// private to the user. Opening a store (or reloading it) first waits for what
// this process still has to write to the same file.
//
// The file is opened only when it is a regular file. One that is something
// else, or cannot be read as preferences, is moved aside (its name gets
// ".corrupt-<timestamp>") and reported on standard output; the store then
// starts empty. One that cannot be moved aside (a read-only folder) is left
// as it is, and nothing is written over it: each write tries to move it
// aside first. Entries of the file this version does not understand are kept
// as they are and written back unchanged. The file is written as compact
// JSON. Opening a store removes the temporary files that writes of the same
// file killed half-way left beside it.
class Preferences
{
public:
    enum class Type { Absent, Bool, Integer, String, StringList, Bytes, BytesMap, Unknown };
    using BytesMap = QMap<QString, QByteArray>;

    // Why the file could not be written: the file, the errno of the step that
    // failed and what that step was, in our own words (English); the keys
    // whose changes are not in the file, and whether the failure began a run
    // of failures.
    struct WriteFailure
    {
        QString path;
        int error = 0;
        QString description;
        QStringList keys;
        bool firstOfRun = true;
    };
    // Called on the writer's thread, once per run of failed writes (a write
    // that succeeds ends the run). Must not use this store.
    using WriteFailureHandler = std::function<void(const WriteFailure &)>;

    explicit Preferences(const QString &filePath);
    ~Preferences();   // writes what is still pending
    Preferences(const Preferences &) = delete;
    Preferences &operator=(const Preferences &) = delete;

    // $XDG_CONFIG_HOME/sweepbrook/preferences.json (~/.config when unset).
    static QString defaultFilePath();

    // The app's store, created on first use at defaultFilePath().
    static Preferences &standard();
    // Tests install their own store; nullptr returns to the default.
    static void setStandard(Preferences *preferences);

    QString filePath() const;

    Type type(const QString &key) const;
    bool contains(const QString &key) const { return type(key) != Type::Absent; }

    std::optional<bool> boolValue(const QString &key) const;
    std::optional<qint64> integerValue(const QString &key) const;
    std::optional<QString> stringValue(const QString &key) const;
    std::optional<QStringList> stringListValue(const QString &key) const;
    std::optional<QByteArray> bytesValue(const QString &key) const;
    std::optional<BytesMap> bytesMapValue(const QString &key) const;

    // Convenience reads in the manner of the platform's defaults.
    bool boolean(const QString &key, bool fallback = false) const { return boolValue(key).value_or(fallback); }

    // Each setter stores the value and queues a write of the file; it never
    // waits for the disk.
    void setBool(const QString &key, bool value);
    void setInteger(const QString &key, qint64 value);
    void setString(const QString &key, const QString &value);
    void setStringList(const QString &key, const QStringList &value);
    void setBytes(const QString &key, const QByteArray &value);
    void setBytesMap(const QString &key, const BytesMap &value);
    void remove(const QString &key);

    // An entry as the file holds it (compact JSON), whatever its type, even one
    // this version does not understand; nothing when absent. What it gives,
    // setStoredEntry stores again unchanged (under any key).
    std::optional<QByteArray> storedEntry(const QString &key) const;
    void setStoredEntry(const QString &key, const QByteArray &stored);

    // Waits until the file holds every change made so far (or the write of it
    // failed); after a failed write, the file is written again first. False
    // when the last write failed. Closing the store does the same.
    bool flush();

    // What the file does not hold because the last write failed: that
    // failure, with every key whose change is not in the file (firstOfRun
    // unset); nothing when the last write worked. Call flush() first to
    // know of every change.
    std::optional<WriteFailure> unsavedChanges() const;

    // Where failed writes are reported; a failure not yet reported when no
    // handler was set is reported to the next one. Empty: none. A failed
    // write that leaves out a change of a key of `toldApart` is reported
    // besides, once per run, even when the run was reported already.
    void setWriteFailureHandler(WriteFailureHandler handler, const QStringList &toldApart = {});

    // Re-reads the file (used by tests and after another process wrote it).
    void reload();

    // Where the file was moved aside because it could not be read, once:
    // the next call gives nothing until it happens again.
    std::optional<QString> takeSetAside();
    // The file that could not be read when the store was opened, and why it
    // could not be moved aside either, once (nothing when it could be).
    std::optional<WriteFailure> takeNotSetAside();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
