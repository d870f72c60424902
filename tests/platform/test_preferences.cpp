#include "platform/Preferences.h"

#include "Patience.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <limits>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
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
    return QJsonDocument::fromJson(readFile(path)).object().value("values").toObject();
}

// No read of another type than the stored one gives a value.
bool readsNothingBut(const Preferences &prefs, const QString &key, Preferences::Type stored)
{
    using T = Preferences::Type;
    return (stored == T::Bool || !prefs.boolValue(key)) && (stored == T::Integer || !prefs.integerValue(key))
           && (stored == T::String || !prefs.stringValue(key)) && (stored == T::StringList || !prefs.stringListValue(key))
           && (stored == T::Bytes || !prefs.bytesValue(key)) && (stored == T::BytesMap || !prefs.bytesMapValue(key));
}

} // namespace

class TestPreferences : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath("conf/preferences.json"); }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void everyTypeSurvivesAFreshInstance()
    {
        const qint64 big = (qint64(1) << 53) + 1, exact = -(qint64(1) << 53);
        const QList<qint64> integers{std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min(), big, exact};
        const Preferences::BytesMap map{
            {"/media/usb/Фото", QByteArray("\x00\xff\x10", 3)}, {"a|b c", QByteArray()}, {"日本/x", "bookmark"}};
        const QByteArray binary("\x00\x01\xfe\xff\r\n", 6);
        const QString text = "Ünïcødé ✓ \"q\"\n";
        const QStringList list{"a", "b/c"};
        {
            Preferences prefs(path());
            prefs.setBool("flag", true);
            prefs.setBool("off", false);
            for (const qint64 value : integers)
                prefs.setInteger(QString::number(value), value);
            prefs.setString("volumes/USB|1", text);
            prefs.setStringList("list", list);
            prefs.setStringList("one", {"only"});
            prefs.setBytes("bytes", binary);
            prefs.setBytesMap("map", map);
            prefs.setString("emptyString", QString());
            prefs.setStringList("emptyList", {});
            prefs.setBytes("emptyBytes", QByteArray());
            prefs.setBytesMap("emptyMap", {});
        }

        Preferences prefs(path());
        QCOMPARE(prefs.boolValue("flag"), std::optional<bool>(true));
        QCOMPARE(prefs.boolValue("off"), std::optional<bool>(false));
        for (const qint64 value : integers)
            QCOMPARE(prefs.integerValue(QString::number(value)), std::optional<qint64>(value));
        QCOMPARE(prefs.stringValue("volumes/USB|1"), std::optional<QString>(text));
        QCOMPARE(prefs.stringListValue("list"), std::optional<QStringList>(list));
        QCOMPARE(prefs.stringListValue("one"), std::optional<QStringList>(QStringList{"only"}));
        QCOMPARE(prefs.bytesValue("bytes"), std::optional<QByteArray>(binary));
        QCOMPARE(prefs.bytesMapValue("map"), std::optional<Preferences::BytesMap>(map));

        // Empty is a value; absent is not.
        QCOMPARE(prefs.stringValue("emptyString"), std::optional<QString>(QString()));
        QCOMPARE(prefs.stringListValue("emptyList"), std::optional<QStringList>(QStringList()));
        QCOMPARE(prefs.bytesValue("emptyBytes"), std::optional<QByteArray>(QByteArray()));
        QCOMPARE(prefs.bytesMapValue("emptyMap"), std::optional<Preferences::BytesMap>(Preferences::BytesMap()));
        QCOMPARE(prefs.type("missing"), Preferences::Type::Absent);
        QVERIFY(readsNothingBut(prefs, "missing", Preferences::Type::Absent));

        // Beyond 2^53 other JSON readers would round a number; lists stay lists.
        const QJsonObject values = storedValues(path());
        const auto stored = [&](const QString &key) { return values.value(key).toObject().value("value"); };
        QCOMPARE(stored(QString::number(big)), QJsonValue(QString::number(big)));
        QVERIFY(stored(QString::number(exact)).isDouble());
        QVERIFY(stored("one").isArray());

        QCOMPARE(modeOf(path()), 0600);
        QCOMPARE(modeOf(QFileInfo(path()).path()), 0700);
    }

    void readsNeedTheStoredTypeAndRemoveForgets()
    {
        Preferences prefs(path());
        prefs.setBool("k", true);
        QVERIFY(readsNothingBut(prefs, "k", Preferences::Type::Bool));
        prefs.setString("k", "1");
        QVERIFY(readsNothingBut(prefs, "k", Preferences::Type::String));
        QVERIFY(prefs.boolean("k", true));
        prefs.setBytes("b", "x");
        QVERIFY(readsNothingBut(prefs, "b", Preferences::Type::Bytes));

        prefs.remove("k");
        QVERIFY(!prefs.contains("k"));
        Preferences fresh(path());
        QVERIFY(!fresh.contains("k") && fresh.contains("b"));
    }

    void unreadableFilesAreMovedAsideIntact()
    {
        const QList<QByteArray> contents{QByteArray("\x00\xff{not json", 11), "[1, 2, 3]",
                                         R"({"format": 1, "values": [1]})", R"({"values": {}})"};
        const QDir dir(QFileInfo(path()).path());
        QDir().mkpath(dir.path());
        Preferences prefs(path());
        QStringList seen;
        for (const QByteArray &content : contents) {
            writeFile(path(), content);
            StdoutCapture capture;
            prefs.reload();
            const QStringList lines = capture.lines();

            const QStringList backups = dir.entryList({"preferences.json.corrupt-*"}, QDir::Files);
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
            // Where it went is there to tell, once.
            QCOMPARE(prefs.takeSetAside(), std::optional<QString>(backup));
            QVERIFY(!prefs.takeSetAside());

            // Starts empty and usable.
            QVERIFY(!prefs.contains("k"));
            prefs.setInteger("k", 7);
            QCOMPARE(Preferences(path()).integerValue("k"), std::optional<qint64>(7));
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
        const QJsonObject original = QJsonDocument::fromJson(json).object().value("values").toObject();

        StdoutCapture capture;
        Preferences prefs(path());
        QCOMPARE(capture.lines().size(), 1);
        QCOMPARE(prefs.stringValue("known"), std::optional<QString>("x"));
        prefs.setBool("new", true);
        QVERIFY(prefs.flush());
        for (const char *key : {"future", "broken", "badList", "bare"}) {
            QCOMPARE(prefs.type(key), Preferences::Type::Unknown);
            QVERIFY(readsNothingBut(prefs, key, Preferences::Type::Unknown));
            QCOMPARE(storedValues(path()).value(key), original.value(key));
        }

        // An entry is copied as it stands, understood or not.
        prefs.setStoredEntry("copy", *prefs.storedEntry("future"));
        QVERIFY(prefs.flush());
        QCOMPARE(storedValues(path()).value("copy"), original.value("future"));

        // Setting a key replaces what was not understood.
        prefs.setInteger("broken", 12);
        QCOMPARE(Preferences(path()).integerValue("broken"), std::optional<qint64>(12));
        QCOMPARE(Preferences(path()).type("future"), Preferences::Type::Unknown);

        // Written compact: a deeply nested entry not understood keeps its size
        // (indented, 500 levels came to over a megabyte).
        const QByteArray deep = R"({"format": 1, "values": {"deep": {"type": "tree", "value": )"
                                + QByteArray(500, '[') + QByteArray(500, ']') + "}}}";
        writeFile(path(), deep);
        Preferences nested(path());
        nested.setBool("new", true);
        QVERIFY(nested.flush());
        const QByteArray written = readFile(path());
        QVERIFY2(written.size() < 2 * deep.size(), qPrintable(QString::number(written.size())));
        QCOMPARE(storedValues(path()).value("deep"), QJsonDocument::fromJson(deep).object().value("values").toObject().value("deep"));
    }

    // A write killed half-way leaves its temporary file; the next store of the
    // same file removes it, and nothing else: not a file a writer holds, one
    // written to a moment ago, another file's, another name's, nor a link.
    void staleTemporaryFilesAreRemoved()
    {
        const QString conf = m_dir.filePath("conf");
        QDir().mkpath(conf);
        const auto aged = [](const QString &file, const QByteArray &data = "partial") {
            writeFile(file, data);
            const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
            QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, AT_SYMLINK_NOFOLLOW) == 0);
        };
        const QString stale = path() + ".k9Xq2Z";
        aged(stale, QByteArray(1 << 20, 'x'));
        const QString held = path() + ".Hd7Lk0";
        aged(held);
        const int holder = ::open(QFile::encodeName(held).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX) == 0);   // a write under way
        const QString fresh = path() + ".Fr3sh1";
        writeFile(fresh, "being written");
        const QStringList kept{path() + ".corrupt-20240101-000000", path() + ".abc12", path() + ".abc1234",
                               conf + "/other.json.k9Xq2Z", path() + ".Li9k00"};
        for (const QString &file : kept.mid(0, 4))
            aged(file);
        QVERIFY(QFile::link(held, kept.last()));

        StdoutCapture capture;
        Preferences prefs(path());
        QVERIFY(!QFileInfo::exists(stale));
        QVERIFY(QFileInfo::exists(held) && QFileInfo::exists(fresh));
        for (const QString &file : kept)
            QVERIFY2(QFileInfo(file).exists() || QFileInfo(file).isSymLink(), qPrintable(file));
        QCOMPARE(capture.lines(), QStringList{"Preferences: removed " + stale + ", left by a write that did not finish"});
        ::close(holder);
    }

    // A failed write is reported once per run of failures, in our own words,
    // to the handler set then or to the first one set later.
    void unwritableLocationIsReportedOnce()
    {
        // A regular file where the directory should be stops even root.
        writeFile(m_dir.filePath("conf"), "file");
        StdoutCapture capture;
        Preferences prefs(path());
        prefs.setString("a", "1");
        QVERIFY(!prefs.flush());
        QList<Preferences::WriteFailure> reports;
        prefs.setWriteFailureHandler([&reports](const Preferences::WriteFailure &failure) { reports << failure; });
        QCOMPARE(reports.size(), 1);   // the one before a handler was there
        prefs.setString("b", "2");
        prefs.remove("b");
        QVERIFY(!prefs.flush());
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports[0].error, ENOTDIR);
        QCOMPARE(reports[0].description, "cannot create the folder " + QFileInfo(path()).path() + ": Not a directory");
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().contains(path()) && lines.first().contains(reports[0].description));
        QCOMPARE(prefs.stringValue("a"), std::optional<QString>("1"));

        // A write that succeeds ends the run; the next failure is reported again.
        QVERIFY(QFile::remove(m_dir.filePath("conf")));
        prefs.setString("c", "3");
        QVERIFY(prefs.flush());
        QCOMPARE(Preferences(path()).stringValue("a"), std::optional<QString>("1"));
        QVERIFY(QFile::remove(path()) && QDir(m_dir.filePath("conf")).removeRecursively());
        writeFile(m_dir.filePath("conf"), "file");
        prefs.setString("d", "4");
        QVERIFY(!prefs.flush());
        QCOMPARE(reports.size(), 2);
        prefs.setWriteFailureHandler({});
    }

    // Something else than a regular file in the file's place is moved aside
    // like an unreadable file, never opened for reading.
    void notARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("folder") << "folder";
    }

    void notARegularFile()
    {
        QFETCH(QString, kind);
        QDir().mkpath(QFileInfo(path()).path());
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
        else
            QVERIFY(QDir().mkpath(path()));
        // A read of a pipe waits for a writer, for good: the store, which
        // writes and flushes to a disk a loaded machine can hold for seconds,
        // is waited for a while, then the pipe's other end is opened so
        // nothing stays blocked.
        std::promise<bool> opened;
        std::future<bool> done = opened.get_future();
        std::thread open([&] {
            Preferences prefs(path());
            prefs.setInteger("k", 1);
            opened.set_value(prefs.flush());
        });
        const bool inTime = done.wait_for(std::chrono::milliseconds(testsupport::kPatience)) == std::future_status::ready;
        if (!inTime) {
            const int fd = ::open(QFile::encodeName(path()).constData(), O_WRONLY);
            ::close(fd);
        }
        open.join();
        QVERIFY2(inTime, "opening the store blocked on its file");
        QVERIFY(done.get());
        const QStringList aside = QDir(QFileInfo(path()).path()).entryList({"preferences.json.corrupt-*"},
                                                                           QDir::AllEntries | QDir::System);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(Preferences(path()).integerValue("k"), std::optional<qint64>(1));
    }

    // Writes never wait on the caller's thread and land in order: the file
    // holds the last value of every key.
    void lastWriteWins()
    {
        Preferences prefs(path());
        for (int i = 0; i < 2000; ++i) {
            prefs.setInteger("counter", i);
            prefs.setBytes("blob", QByteArray(i % 7 * 1000, char('a' + i % 26)));
        }
        QVERIFY(prefs.flush());
        Preferences fresh(path());
        QCOMPARE(fresh.integerValue("counter"), std::optional<qint64>(1999));
        QCOMPARE(fresh.bytesValue("blob"), std::optional<QByteArray>(QByteArray(1999 % 7 * 1000, char('a' + 1999 % 26))));
        // No temporary file stays behind.
        QCOMPARE(QDir(QFileInfo(path()).path()).entryList(QDir::Files), QStringList{"preferences.json"});
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
                    prefs.setStringList("shared", {key});
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
        QCOMPARE(fresh.stringListValue("shared").value_or(QStringList()).size(), 1);
    }

    void defaultLocation()
    {
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", "/tmp/xdg-here");
        QCOMPARE(Preferences::defaultFilePath(), QString("/tmp/xdg-here/sweepbrook/preferences.json"));
        qputenv("XDG_CONFIG_HOME", "");
        QCOMPARE(Preferences::defaultFilePath(), QDir::homePath() + "/.config/sweepbrook/preferences.json");
        qputenv("XDG_CONFIG_HOME", saved);
    }
};

SWEEPBROOK_TEST_MAIN(TestPreferences)
#include "test_preferences.moc"
