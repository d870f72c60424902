#include "platform/Preferences.h"

#include "StdoutCapture.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <limits>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::StdoutCapture;

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

int modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QJsonObject storedValues(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object().value(QStringLiteral("values")).toObject();
}

} // namespace

class TestPreferences : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath(QStringLiteral("conf/preferences.json")); }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void everyTypeSurvivesAFreshInstance()
    {
        const qint64 big = (qint64(1) << 53) + 1;
        const qint64 max = std::numeric_limits<qint64>::max(), min = std::numeric_limits<qint64>::min();
        const Preferences::BytesMap map{{QStringLiteral("/media/usb/Фото"), QByteArray("\x00\xff\x10", 3)},
                                        {QStringLiteral("a|b c"), QByteArray()},
                                        {QStringLiteral("日本/x"), QByteArray("bookmark")}};
        const QByteArray binary("\x00\x01\xfe\xff\r\n", 6);
        const QString text = QStringLiteral("Ünïcødé ✓ \"q\"\n");
        const QStringList list{QStringLiteral("a"), QStringLiteral("b/c")};
        {
            Preferences prefs(path());
            QVERIFY(prefs.setBool(QStringLiteral("flag"), true) && prefs.setBool(QStringLiteral("off"), false));
            for (const qint64 value : {max, min, big, -(qint64(1) << 53)})
                QVERIFY(prefs.setInteger(QString::number(value), value));
            QVERIFY(prefs.setString(QStringLiteral("volumes/USB|1"), text));
            QVERIFY(prefs.setStringList(QStringLiteral("list"), list));
            QVERIFY(prefs.setStringList(QStringLiteral("one"), {QStringLiteral("only")}));
            QVERIFY(prefs.setBytes(QStringLiteral("bytes"), binary));
            QVERIFY(prefs.setBytesMap(QStringLiteral("map"), map));
            QVERIFY(prefs.setString(QStringLiteral("emptyString"), QString()));
            QVERIFY(prefs.setStringList(QStringLiteral("emptyList"), {}));
            QVERIFY(prefs.setBytes(QStringLiteral("emptyBytes"), QByteArray()));
            QVERIFY(prefs.setBytesMap(QStringLiteral("emptyMap"), {}));
        }

        Preferences prefs(path());
        QCOMPARE(prefs.boolValue(QStringLiteral("flag")), std::optional<bool>(true));
        QCOMPARE(prefs.boolValue(QStringLiteral("off")), std::optional<bool>(false));
        for (const qint64 value : {max, min, big, -(qint64(1) << 53)})
            QCOMPARE(prefs.integerValue(QString::number(value)), std::optional<qint64>(value));
        QCOMPARE(prefs.stringValue(QStringLiteral("volumes/USB|1")), std::optional<QString>(text));
        QCOMPARE(prefs.stringListValue(QStringLiteral("list")), std::optional<QStringList>(list));
        QCOMPARE(prefs.stringListValue(QStringLiteral("one")), std::optional<QStringList>(QStringList{QStringLiteral("only")}));
        QCOMPARE(prefs.bytesValue(QStringLiteral("bytes")), std::optional<QByteArray>(binary));
        QCOMPARE(prefs.bytesMapValue(QStringLiteral("map")), std::optional<Preferences::BytesMap>(map));

        // Empty is a value; absent is not.
        QCOMPARE(prefs.stringValue(QStringLiteral("emptyString")), std::optional<QString>(QString()));
        QCOMPARE(prefs.stringListValue(QStringLiteral("emptyList")), std::optional<QStringList>(QStringList()));
        QCOMPARE(prefs.bytesValue(QStringLiteral("emptyBytes")), std::optional<QByteArray>(QByteArray()));
        QCOMPARE(prefs.bytesMapValue(QStringLiteral("emptyMap")), std::optional<Preferences::BytesMap>(Preferences::BytesMap()));
        QCOMPARE(prefs.type(QStringLiteral("missing")), Preferences::Type::Absent);
        QVERIFY(!prefs.stringValue(QStringLiteral("missing")) && !prefs.stringListValue(QStringLiteral("missing"))
                && !prefs.bytesValue(QStringLiteral("missing")) && !prefs.bytesMapValue(QStringLiteral("missing")));

        // Beyond 2^53 other JSON readers would round a number; lists stay lists.
        const QJsonObject values = storedValues(path());
        const auto stored = [&](const QString &key) { return values.value(key).toObject().value(QStringLiteral("value")); };
        QCOMPARE(stored(QString::number(big)), QJsonValue(QString::number(big)));
        QVERIFY(stored(QString::number(-(qint64(1) << 53))).isDouble());
        QVERIFY(stored(QStringLiteral("one")).isArray());

        QCOMPARE(modeOf(path()), 0600);
        QCOMPARE(modeOf(QFileInfo(path()).path()), 0700);
    }

    void readsNeedTheStoredTypeAndRemoveForgets()
    {
        Preferences prefs(path());
        prefs.setBool(QStringLiteral("k"), true);
        QVERIFY(!prefs.integerValue(QStringLiteral("k")) && !prefs.stringValue(QStringLiteral("k"))
                && !prefs.stringListValue(QStringLiteral("k")) && !prefs.bytesValue(QStringLiteral("k"))
                && !prefs.bytesMapValue(QStringLiteral("k")));
        prefs.setString(QStringLiteral("k"), QStringLiteral("1"));
        QVERIFY(!prefs.boolValue(QStringLiteral("k")) && !prefs.integerValue(QStringLiteral("k")));
        QVERIFY(prefs.boolean(QStringLiteral("k"), true));
        prefs.setBytes(QStringLiteral("b"), "x");
        QVERIFY(!prefs.stringValue(QStringLiteral("b")));

        QVERIFY(prefs.remove(QStringLiteral("k")));
        QVERIFY(!prefs.contains(QStringLiteral("k")));
        Preferences fresh(path());
        QVERIFY(!fresh.contains(QStringLiteral("k")) && fresh.contains(QStringLiteral("b")));
    }

    void unreadableFilesAreMovedAsideIntact()
    {
        const QList<QByteArray> contents{QByteArray("\x00\xff{not json", 11), "[1, 2, 3]",
                                         R"({"format": 1, "values": [1]})", R"({"values": {}})"};
        QDir().mkpath(QFileInfo(path()).path());
        Preferences prefs(path());
        QStringList seen;
        for (const QByteArray &content : contents) {
            writeFile(path(), content);
            StdoutCapture capture;
            prefs.reload();
            const QStringList lines = capture.lines();

            const QDir dir(QFileInfo(path()).path());
            const QStringList backups = dir.entryList({QStringLiteral("preferences.json.corrupt-*")}, QDir::Files);
            QCOMPARE(backups.size(), seen.size() + 1);   // earlier backups are never replaced
            QString backup;
            for (const QString &name : backups)
                if (!seen.contains(name))
                    backup = dir.filePath(name);
            seen = backups;
            QCOMPARE(readFile(backup), content);
            QVERIFY(!QFile::exists(path()));
            QCOMPARE(lines.size(), 1);
            QVERIFY(lines.first().contains(path()) && lines.first().contains(backup));

            // Starts empty and usable.
            QVERIFY(!prefs.contains(QStringLiteral("k")));
            QVERIFY(prefs.setInteger(QStringLiteral("k"), 7));
            QCOMPARE(Preferences(path()).integerValue(QStringLiteral("k")), std::optional<qint64>(7));
        }
    }

    void entriesNotUnderstoodAreKept()
    {
        QDir().mkpath(QFileInfo(path()).path());
        const QByteArray json = R"({"format": 1, "values": {
            "future": {"type": "colour", "value": "#fff"},
            "broken": {"type": "integer", "value": "12abc"},
            "badList": {"type": "stringList", "value": [1, 2]},
            "bare": 42,
            "known": {"type": "string", "value": "x"}}})";
        writeFile(path(), json);
        const QJsonObject original = QJsonDocument::fromJson(json).object().value(QStringLiteral("values")).toObject();

        StdoutCapture capture;
        Preferences prefs(path());
        QCOMPARE(capture.lines().size(), 1);
        QCOMPARE(prefs.stringValue(QStringLiteral("known")), std::optional<QString>(QStringLiteral("x")));
        QVERIFY(prefs.setBool(QStringLiteral("new"), true));
        for (const char *key : {"future", "broken", "badList", "bare"}) {
            QCOMPARE(prefs.type(QLatin1String(key)), Preferences::Type::Unknown);
            QVERIFY(!prefs.integerValue(QLatin1String(key)) && !prefs.stringValue(QLatin1String(key))
                    && !prefs.stringListValue(QLatin1String(key)));
            QCOMPARE(storedValues(path()).value(QLatin1String(key)), original.value(QLatin1String(key)));
        }

        // Setting a key replaces what was not understood.
        QVERIFY(prefs.setInteger(QStringLiteral("broken"), 12));
        QCOMPARE(Preferences(path()).integerValue(QStringLiteral("broken")), std::optional<qint64>(12));
        QCOMPARE(Preferences(path()).type(QStringLiteral("future")), Preferences::Type::Unknown);
    }

    void unwritableLocationIsReportedOnce()
    {
        // A regular file where the directory should be stops even root.
        writeFile(m_dir.filePath(QStringLiteral("conf")), "file");
        StdoutCapture capture;
        Preferences prefs(path());
        QVERIFY(!prefs.setString(QStringLiteral("a"), QStringLiteral("1")));
        QVERIFY(!prefs.setString(QStringLiteral("b"), QStringLiteral("2")));
        QVERIFY(!prefs.remove(QStringLiteral("b")));
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().contains(path()));
        QCOMPARE(prefs.stringValue(QStringLiteral("a")), std::optional<QString>(QStringLiteral("1")));
    }

    void concurrentSettersLeaveAValidFile()
    {
        Preferences prefs(path());
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&prefs, t] {
                for (int i = 0; i < 40; ++i) {
                    const QString key = QStringLiteral("t%1/%2").arg(t).arg(i);
                    prefs.setInteger(key, t * 1000 + i);
                    prefs.setStringList(QStringLiteral("shared"), {key});
                    prefs.integerValue(key);
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();

        Preferences fresh(path());
        for (int t = 0; t < 6; ++t)
            for (int i = 0; i < 40; ++i)
                QCOMPARE(fresh.integerValue(QStringLiteral("t%1/%2").arg(t).arg(i)), std::optional<qint64>(t * 1000 + i));
        QCOMPARE(fresh.stringListValue(QStringLiteral("shared")).value_or(QStringList()).size(), 1);
    }

    void defaultLocation()
    {
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", "/tmp/xdg-here");
        QCOMPARE(Preferences::defaultFilePath(), QStringLiteral("/tmp/xdg-here/sweepbrook/preferences.json"));
        qputenv("XDG_CONFIG_HOME", "");
        QCOMPARE(Preferences::defaultFilePath(), QDir::homePath() + QStringLiteral("/.config/sweepbrook/preferences.json"));
        qputenv("XDG_CONFIG_HOME", saved);
    }
};

SWEEPBROOK_TEST_MAIN(TestPreferences)
#include "test_preferences.moc"
