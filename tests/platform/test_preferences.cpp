#include "platform/Preferences.h"

#include "StdoutCapture.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
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
        const Preferences::BytesMap map{{QStringLiteral("/media/usb/Фото"), QByteArray("\x00\xff\x10", 3)},
                                        {QStringLiteral("a|b c"), QByteArray()},
                                        {QStringLiteral("日本/x"), QByteArray("bookmark")}};
        const QByteArray binary("\x00\x01\xfe\xff\r\n", 6);
        {
            Preferences prefs(path());
            QVERIFY(prefs.setBool(QStringLiteral("flag"), true));
            QVERIFY(prefs.setBool(QStringLiteral("off"), false));
            QVERIFY(prefs.setInteger(QStringLiteral("max"), std::numeric_limits<qint64>::max()));
            QVERIFY(prefs.setInteger(QStringLiteral("min"), std::numeric_limits<qint64>::min()));
            QVERIFY(prefs.setInteger(QStringLiteral("big"), big));
            QVERIFY(prefs.setInteger(QStringLiteral("negative"), -(qint64(1) << 53)));
            QVERIFY(prefs.setString(QStringLiteral("volumes/USB|1"), QStringLiteral("Ünïcødé ✓ \"q\"\n")));
            QVERIFY(prefs.setString(QStringLiteral("emptyString"), QString()));
            QVERIFY(prefs.setStringList(QStringLiteral("list"), {QStringLiteral("a"), QStringLiteral("b/c")}));
            QVERIFY(prefs.setStringList(QStringLiteral("one"), {QStringLiteral("only")}));
            QVERIFY(prefs.setStringList(QStringLiteral("emptyList"), {}));
            QVERIFY(prefs.setBytes(QStringLiteral("bytes"), binary));
            QVERIFY(prefs.setBytes(QStringLiteral("emptyBytes"), QByteArray()));
            QVERIFY(prefs.setBytesMap(QStringLiteral("map"), map));
            QVERIFY(prefs.setBytesMap(QStringLiteral("emptyMap"), {}));
        }

        Preferences prefs(path());
        QCOMPARE(prefs.boolValue(QStringLiteral("flag")), std::optional<bool>(true));
        QCOMPARE(prefs.boolValue(QStringLiteral("off")), std::optional<bool>(false));
        QCOMPARE(prefs.integerValue(QStringLiteral("max")), std::optional<qint64>(std::numeric_limits<qint64>::max()));
        QCOMPARE(prefs.integerValue(QStringLiteral("min")), std::optional<qint64>(std::numeric_limits<qint64>::min()));
        QCOMPARE(prefs.integerValue(QStringLiteral("big")), std::optional<qint64>(big));
        QCOMPARE(prefs.integerValue(QStringLiteral("negative")), std::optional<qint64>(-(qint64(1) << 53)));
        QCOMPARE(prefs.stringValue(QStringLiteral("volumes/USB|1")), std::optional<QString>(QStringLiteral("Ünïcødé ✓ \"q\"\n")));
        QCOMPARE(prefs.stringListValue(QStringLiteral("list")), std::optional<QStringList>(QStringList{QStringLiteral("a"), QStringLiteral("b/c")}));
        QCOMPARE(prefs.stringListValue(QStringLiteral("one")), std::optional<QStringList>(QStringList{QStringLiteral("only")}));
        QCOMPARE(prefs.bytesValue(QStringLiteral("bytes")), std::optional<QByteArray>(binary));
        QCOMPARE(prefs.bytesMapValue(QStringLiteral("map")), std::optional<Preferences::BytesMap>(map));

        // Empty is a value; absent is not.
        QCOMPARE(prefs.stringValue(QStringLiteral("emptyString")), std::optional<QString>(QString()));
        QCOMPARE(prefs.stringListValue(QStringLiteral("emptyList")), std::optional<QStringList>(QStringList()));
        QCOMPARE(prefs.bytesValue(QStringLiteral("emptyBytes")), std::optional<QByteArray>(QByteArray()));
        QCOMPARE(prefs.bytesMapValue(QStringLiteral("emptyMap")), std::optional<Preferences::BytesMap>(Preferences::BytesMap()));
        QCOMPARE(prefs.type(QStringLiteral("emptyMap")), Preferences::Type::BytesMap);
        QCOMPARE(prefs.type(QStringLiteral("emptyList")), Preferences::Type::StringList);
        QCOMPARE(prefs.type(QStringLiteral("missing")), Preferences::Type::Absent);
        QVERIFY(!prefs.stringValue(QStringLiteral("missing")));
        QVERIFY(!prefs.stringListValue(QStringLiteral("missing")));
        QVERIFY(!prefs.bytesValue(QStringLiteral("missing")));
        QVERIFY(!prefs.bytesMapValue(QStringLiteral("missing")));

        // Beyond 2^53 other JSON readers would round a number; lists stay lists.
        const QJsonObject values = storedValues(path());
        QCOMPARE(values.value(QStringLiteral("big")).toObject().value(QStringLiteral("value")), QJsonValue(QString::number(big)));
        QVERIFY(values.value(QStringLiteral("negative")).toObject().value(QStringLiteral("value")).isDouble());
        QVERIFY(values.value(QStringLiteral("one")).toObject().value(QStringLiteral("value")).isArray());

        QCOMPARE(modeOf(path()), 0600);
        QCOMPARE(modeOf(QFileInfo(path()).path()), 0700);
    }

    void readsNeedTheStoredTypeAndRemoveForgets()
    {
        Preferences prefs(path());
        prefs.setBool(QStringLiteral("k"), true);
        QVERIFY(!prefs.integerValue(QStringLiteral("k")));
        QVERIFY(!prefs.stringValue(QStringLiteral("k")));
        QVERIFY(!prefs.stringListValue(QStringLiteral("k")));
        QVERIFY(!prefs.bytesValue(QStringLiteral("k")));
        QVERIFY(!prefs.bytesMapValue(QStringLiteral("k")));
        prefs.setString(QStringLiteral("k"), QStringLiteral("1"));
        QCOMPARE(prefs.type(QStringLiteral("k")), Preferences::Type::String);
        QVERIFY(!prefs.boolValue(QStringLiteral("k")));
        QVERIFY(!prefs.integerValue(QStringLiteral("k")));
        QVERIFY(prefs.boolean(QStringLiteral("k"), true));
        prefs.setBytes(QStringLiteral("b"), "x");
        QVERIFY(!prefs.stringValue(QStringLiteral("b")));

        QVERIFY(prefs.remove(QStringLiteral("k")));
        QVERIFY(!prefs.contains(QStringLiteral("k")));
        Preferences fresh(path());
        QVERIFY(!fresh.contains(QStringLiteral("k")));
        QVERIFY(fresh.contains(QStringLiteral("b")));
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
        const QJsonObject future{{QStringLiteral("type"), QStringLiteral("colour")}, {QStringLiteral("value"), QStringLiteral("#fff")}};
        const QJsonObject broken{{QStringLiteral("type"), QStringLiteral("integer")}, {QStringLiteral("value"), QStringLiteral("12abc")}};
        const QJsonObject badList{{QStringLiteral("type"), QStringLiteral("stringList")}, {QStringLiteral("value"), QJsonArray{1, 2}}};
        const QJsonObject known{{QStringLiteral("type"), QStringLiteral("string")}, {QStringLiteral("value"), QStringLiteral("x")}};
        const QJsonObject values{{QStringLiteral("future"), future}, {QStringLiteral("broken"), broken},
                                 {QStringLiteral("badList"), badList}, {QStringLiteral("bare"), 42},
                                 {QStringLiteral("known"), known}};
        writeFile(path(), QJsonDocument(QJsonObject{{QStringLiteral("format"), 1}, {QStringLiteral("values"), values}}).toJson());

        StdoutCapture capture;
        Preferences prefs(path());
        QCOMPARE(capture.lines().size(), 1);
        for (const char *key : {"future", "broken", "badList", "bare"}) {
            QCOMPARE(prefs.type(QLatin1String(key)), Preferences::Type::Unknown);
            QVERIFY(!prefs.integerValue(QLatin1String(key)) && !prefs.stringValue(QLatin1String(key))
                    && !prefs.stringListValue(QLatin1String(key)));
        }
        QCOMPARE(prefs.stringValue(QStringLiteral("known")), std::optional<QString>(QStringLiteral("x")));

        QVERIFY(prefs.setBool(QStringLiteral("new"), true));
        QCOMPARE(storedValues(path()).value(QStringLiteral("future")), QJsonValue(future));
        QCOMPARE(storedValues(path()).value(QStringLiteral("broken")), QJsonValue(broken));
        QCOMPARE(storedValues(path()).value(QStringLiteral("bare")), QJsonValue(42));

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

        Preferences mine(path());
        Preferences::setStandard(&mine);
        QCOMPARE(&Preferences::standard(), &mine);
        Preferences::setStandard(nullptr);
        QCOMPARE(Preferences::standard().filePath(), Preferences::defaultFilePath());
    }
};

SWEEPBROOK_TEST_MAIN(TestPreferences)
#include "test_preferences.moc"
