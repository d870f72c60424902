#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// The user's preferences: typed values under string keys, kept in one JSON file
// and written atomically after every change. A value reads back only with the
// type it was written with; reading it as another type gives nothing, as does
// reading an absent key.
//
// A file that cannot be read as preferences is moved aside (its name gets
// ".corrupt-<timestamp>") and reported on standard output; the store then
// starts empty. Entries of the file this version does not understand are kept
// as they are and written back unchanged.
class Preferences
{
public:
    enum class Type { Absent, Bool, Integer, String, StringList, Bytes, BytesMap, Unknown };
    using BytesMap = QMap<QString, QByteArray>;

    explicit Preferences(const QString &filePath);
    ~Preferences();
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

    // Each setter stores the value and writes the file. False when the file could
    // not be written (the value is still held in memory and reported once).
    bool setBool(const QString &key, bool value);
    bool setInteger(const QString &key, qint64 value);
    bool setString(const QString &key, const QString &value);
    bool setStringList(const QString &key, const QStringList &value);
    bool setBytes(const QString &key, const QByteArray &value);
    bool setBytesMap(const QString &key, const BytesMap &value);
    bool remove(const QString &key);

    // Re-reads the file (used by tests and after another process wrote it).
    void reload();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
