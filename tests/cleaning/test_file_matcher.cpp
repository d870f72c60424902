#include "cleaning/FileMatcher.h"
#include "cleaning/FileType.h"
#include "localization/ByteCountFormat.h"
#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include <QScopeGuard>
#include <QTemporaryDir>

using testsupport::StdoutCapture;

namespace {

// "*" is every kind; "-kind" every kind but that one; otherwise the listed raw values.
FileTypeSet kindsFrom(const QString &text)
{
    if (text == u"*")
        return FileTypes::allTypes();
    if (text.startsWith(u'-')) {
        FileTypeSet all = FileTypes::allTypes();
        all.remove(*FileTypes::fromRawValue(text.mid(1)));
        return all;
    }
    FileTypeSet set;
    for (const QString &raw : text.split(u',', Qt::SkipEmptyParts))
        set.insert(*FileTypes::fromRawValue(raw));
    return set;
}

QString rawOrEmpty(const std::optional<FileType> &type)
{
    return type ? FileTypes::rawValue(*type) : QString();
}

FileMatcher makeMatcher(const FileTypeSet &enabled, const QStringList &custom = {},
                        const QStringList &excluded = {})
{
    return FileMatcher(FileTypes::junkFilePatterns(), enabled, custom, excluded);
}

} // namespace

class TestFileMatcher : public QObject
{
    Q_OBJECT

private slots:
    void rawValues()
    {
        QCOMPARE(FileTypes::allCases().size(), 9);
        QCOMPARE(FileTypes::allCases().first(), FileType::dsStore);
        QCOMPARE(FileTypes::allCases().last(), FileType::custom);
        for (FileType type : FileTypes::allCases())
            QCOMPARE(FileTypes::fromRawValue(FileTypes::rawValue(type)), std::optional<FileType>(type));
        QCOMPARE(FileTypes::rawValues(FileTypes::allTypes()).size(), 9);
        for (const char *bad : {"dsstore", "DsStore", "ds_store_files", ""})
            QVERIFY2(!FileTypes::fromRawValue(QString::fromLatin1(bad)), bad);
    }

    void catalogueAndDisplayLists()
    {
        const auto &catalogue = FileTypes::junkFilePatterns();
        QCOMPARE(catalogue.size(), 8);
        QVERIFY(!catalogue.contains(FileType::custom));
        QCOMPARE(catalogue.value(FileType::temporaryFiles).size(), 23);
        QCOMPARE(catalogue.value(FileType::thumbsDb).size(), 9);
        QCOMPARE(catalogue.value(FileType::windowsSystem).size(), 4);

        QVERIFY(FileTypes::patternInfo(FileType::custom).patterns.isEmpty());
        QCOMPARE(FileTypes::patternInfo(FileType::windowsSystem).patterns.size(), 3);
        QCOMPARE(FileTypes::patternInfo(FileType::appleDouble).patterns.last(), QStringLiteral("Network Trash Folder"));
        QVERIFY(!FileTypes::patternInfo(FileType::spotlight).patterns.contains(QStringLiteral(".fseventsd")));
    }

    void displayNameFollowsLanguage()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Preferences preferences(dir.filePath(QStringLiteral("prefs.json")));
        NotificationCenter center;
        LanguageManager manager(preferences, center);
        LanguageManager::setShared(&manager);
        const auto restore = qScopeGuard([] { LanguageManager::setShared(nullptr); });

        manager.setLanguage(AppLanguage::english);
        QCOMPARE(FileTypes::displayName(FileType::thumbsDb), QStringLiteral("Thumbnail Caches"));
        manager.setLanguage(AppLanguage::chinese);
        QCOMPARE(FileTypes::displayName(FileType::thumbsDb), QStringLiteral("缩略图缓存"));
        QCOMPARE(FileTypes::displayNames({FileType::thumbsDb}), QStringList{QStringLiteral("缩略图缓存")});
    }

    void wildcardPattern_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("expected");
        const QList<std::tuple<const char *, const char *, bool>> rows{
            {"IMG_0001.thm", "*.THM", true},
            {"albumart_large.jpg", "AlbumArt_*", true},
            {"$RECYCLE.BIN", "$RECYCLE.BIN", true},
            {"$recycle.bin", "$RECYCLE.BIN", false},
            {".ds_store", ".DS_Store", false},
            {"Error.LOG", "*.log", true},
            {"Errorxlog", "*.log", false},   // "." is literal
            {"._photo.jpg", "._*", true},
            {"core.123", "core.*", true},
            {"CORE.9", "core.*", true},
            {"core.js", "core.*", false},
            {"core.", "core.*", false},
            {"core.12a", "core.*", false},
            {"__MACOSX", "*/__MACOSX/*", false},
            {"file1x", "file(1)*", true},   // other metacharacters keep their meaning
            {"file(1)x", "file(1)*", false},
            {"a+b", "a+b", true},           // without "*" compared as they are
            {"aab", "a+b", false},
            {"IMG_1_keep.JPG", "img_*_keep.jpg", true},
            {"IMG_1_keep.JPG.bak", "img_*_keep.jpg", false},
        };
        for (const auto &[name, pattern, expected] : rows)
            QTest::addRow("%s ~ %s", name, pattern)
                << QString::fromUtf8(name) << QString::fromUtf8(pattern) << expected;
    }

    void wildcardPattern()
    {
        QFETCH(QString, name);
        QFETCH(QString, pattern);
        QFETCH(bool, expected);
        bool matched = false;
        {
            StdoutCapture quiet;   // not around QCOMPARE, whose report goes to stdout too
            matched = FileMatcher::matchesWildcardPattern(name, pattern);
        }
        QCOMPARE(matched, expected);
    }

    void matchFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isDirectory");
        QTest::addColumn<bool>("insideMacosx");
        QTest::addColumn<QString>("enabled");
        QTest::addColumn<QStringList>("custom");
        QTest::addColumn<QStringList>("excluded");
        QTest::addColumn<QString>("expected");   // raw value, empty for none

        const auto file = [](const char *tag, const char *name, const char *enabled, const QStringList &custom,
                             const QStringList &excluded, const char *expected) {
            QTest::newRow(tag) << QString::fromUtf8(name) << false << false << QString::fromLatin1(enabled) << custom
                               << excluded << QString::fromLatin1(expected);
        };
        const auto folder = [](const char *tag, const char *name, const char *enabled, const QStringList &excluded,
                               const char *expected) {
            QTest::newRow(tag) << QString::fromUtf8(name) << true << false << QString::fromLatin1(enabled)
                               << QStringList() << excluded << QString::fromLatin1(expected);
        };

        file("protected beats custom", ".VolumeIcon.icns", "*", {"icns"}, {}, "");
        file("protected beats exclusion", ".VolumeIcon.icns", "*", {}, {"*.icns"}, "");
        file("log", "Error.LOG", "*", {}, {}, "systemLogs");
        file("excluded *.log ignores case", "Error.LOG", "*", {}, {"*.log"}, "");
        file("exact exclusion keeps case", ".DS_Store", "*", {}, {".ds_store"}, "dsStore");
        file("catalogue keeps case", ".ds_store", "*", {}, {".DS_Store"}, "");
        file("excluded ._*", "._photo.jpg", "*", {}, {"._*"}, "");
        file("excluded before custom", "Notes.txt", "*", {"txt"}, {"notes.*"}, "");
        file("excluded mid-star", "img_1_KEEP.log", "*", {}, {"IMG_*_keep.log"}, "");
        file("metacharacter group", "report1.tmp", "*", {}, {"report(1)*"}, "");
        file("metacharacter not literal", "report(1).tmp", "*", {}, {"report(1)*"}, "temporaryFiles");
        file("broken exclusion never matches", "[x.log", "*", {}, {"[*"}, "systemLogs");
        file("._ with temporaryFiles", "._photo.jpg", "*", {}, {}, "temporaryFiles");
        file("._ without temporaryFiles", "._photo.jpg", "-temporaryFiles", {}, {}, "appleDouble");
        file("._ with nothing enabled", "._photo.jpg", "", {}, {}, "");
        file("custom .TXT", "Notes.txt", "*", {".TXT"}, {}, "custom");
        file("custom before catalogue", "app.log", "*", {"log"}, {}, "custom");
        file("custom needs a dot in the name", "readme", "*", {"readme"}, {}, "");
        file("trailing dot is no extension", "notes.", "*", {"."}, {}, "");
        file("custom kind disabled", "Notes.txt", "-custom", {"txt"}, {}, "");
        file("custom without extensions", "Notes.txt", "*", {}, {}, "");
        file("core dump", "core.123", "*", {}, {}, "temporaryFiles");
        file("core.js is not a dump", "core.js", "*", {}, {}, "");
        file("core.log is a log", "core.log", "*", {}, {}, "systemLogs");
        file("nohup.out in kind order", "nohup.out", "*", {}, {}, "temporaryFiles");
        file("nohup.out without temporaryFiles", "nohup.out", "-temporaryFiles", {}, {}, "systemLogs");
        file("AlbumArt.tmp in kind order", "AlbumArt.tmp", "*", {}, {}, "thumbsDb");
        file("*.THM", "IMG_0001.thm", "*", {}, {}, "thumbsDb");
        file("AlbumArt_*", "albumart_large.jpg", "*", {}, {}, "thumbsDb");
        file(".spotlightV*", ".spotlightV2", "*", {}, {}, "spotlight");
        file("Thumbs.db is exact", "thumbs.db", "*", {}, {}, "");
        file("kind not enabled", "x.tmp", "dsStore", {}, {}, "");
        file("Photos.old file", "Photos.old", "*", {}, {}, "temporaryFiles");
        file("~stuff file", "~stuff", "*", {}, {}, "temporaryFiles");
        file("ordinary photo", "IMG_1234.JPG", "*", {"txt"}, {"*.bak"}, "");
        file("ordinary document", "report-2024.docx", "*", {}, {}, "");

        folder("Photos.old folder", "Photos.old", "*", {}, "");
        folder("x.tmp folder", "x.tmp", "*", {}, "");
        folder("~stuff folder", "~stuff", "*", {}, "");
        folder("._ folder", "._stuff", "*", {}, "");
        folder(".Trashes folder", ".Trashes", "*", {}, "trash");
        folder("$RECYCLE.BIN folder", "$RECYCLE.BIN", "*", {}, "trash");
        folder("System Volume Information", "System Volume Information", "*", {}, "windowsSystem");
        folder("__MACOSX without temporaryFiles", "__MACOSX", "dsStore", {}, "temporaryFiles");
        folder("excluded __MACOSX", "__MACOSX", "*", {"__MACOSX"}, "");

        QTest::newRow("inside __MACOSX, nothing enabled")
            << QStringLiteral("photo.jpg") << false << true << QString() << QStringList() << QStringList()
            << QStringLiteral("temporaryFiles");
        QTest::newRow("inside excluded __MACOSX")
            << QStringLiteral("photo.jpg") << false << true << QStringLiteral("*") << QStringList()
            << QStringList{QStringLiteral("__MACOSX")} << QStringLiteral("temporaryFiles");
    }

    void matchFile()
    {
        QFETCH(QString, name);
        QFETCH(bool, isDirectory);
        QFETCH(bool, insideMacosx);
        QFETCH(QString, enabled);
        QFETCH(QStringList, custom);
        QFETCH(QStringList, excluded);
        QFETCH(QString, expected);

        const FileTypeSet kinds = kindsFrom(enabled);
        std::optional<FileType> result;
        {
            StdoutCapture quiet;
            const FileMatcher matcher = makeMatcher(kinds, custom, excluded);
            result = matcher.matchFile({name, isDirectory, insideMacosx}, kinds);
        }
        QCOMPARE(rawOrEmpty(result), expected);
    }

    // The compiled tables give what trying each pattern in turn gives.
    void compiledCatalogueAgreesWithPatterns()
    {
        const QStringList names{
            ".DS_Store", "Desktop DB", ".AppleDouble", "._x", "__MACOSX", ".Spotlight-V100", ".SPOTLIGHTv1",
            ".fseventsd", ".Trash", "Network Trash Folder", "found.000", "FOUND.000", "Thumbs.db", "a.THM",
            "b.thumb", "_thumbs", "AlbumArt.jpg", "albumart_1.log", "ehthumbs_vista.db", "x.TMP", "y.temp",
            "~$doc.docx", ".~lock.odt#", "a.swp", "b.SWO", "c.swn", "d.bak", "e.old", "f.cache", "g.lock",
            "h.crdownload", "i.part", "j.partial", "k.filepart", "l.download", "m.downloading", "n.crashreporter",
            "o.crash", "nohup.out", "core.1", "core.x", "p.stackdump", "q.pdb", "r.dmp", "s.err", "t.log", "u.out",
            "v.prv", "System Volume Information", "desktop.ini", "Autorun.inf", "boot.ini", "IMG_1234.JPG",
            "tmp", ".tmp", "x.tmp.gz", "a.b.log", "", ".", "readme", "g.loc\u212A"};
        const QList<FileTypeSet> enabledSets{FileTypes::allTypes(), kindsFrom("-temporaryFiles"),
                                             kindsFrom("systemLogs,thumbsDb")};
        QStringList mismatches;
        StdoutCapture quiet;
        for (const FileTypeSet &enabled : enabledSets) {
            const FileMatcher matcher = makeMatcher(enabled);
            for (const QString &name : names) {
                if (name.startsWith(u"._") && enabled.contains(FileType::temporaryFiles))
                    continue;   // settled before the catalogue
                std::optional<FileType> expected;
                for (FileType type : FileTypes::allCases()) {
                    if (!enabled.contains(type) || expected)
                        continue;
                    for (const QString &pattern : FileTypes::junkFilePatterns().value(type)) {
                        if (FileMatcher::matchesWildcardPattern(name, pattern)) {
                            expected = type;
                            break;
                        }
                    }
                }
                if (name == u"__MACOSX")
                    expected = FileType::temporaryFiles;
                if (matcher.matchFile({name}, enabled) != expected)
                    mismatches << name;
            }
        }
        quiet.lines();   // ends the capture
        QCOMPARE(mismatches, QStringList());
    }

    void diagnostics()
    {
        StdoutCapture capture;
        const FileMatcher matcher = makeMatcher(FileTypes::allTypes(), {}, {"[*", "*.log"});
        const bool keptError = !matcher.matchFile({u"Error.LOG"}, FileTypes::allTypes());
        const bool bracketNotJunk = !matcher.matchFile({u"[abc"}, FileTypes::allTypes());
        const auto appleDouble = matcher.matchFile({u"._a"}, FileTypes::allTypes());
        const bool bracketMatched = FileMatcher::matchesWildcardPattern(QStringLiteral("[abc"), QStringLiteral("[*"));
        const QStringList lines = capture.lines();
        QVERIFY(keptError);
        QVERIFY(bracketNotJunk);
        QCOMPARE(appleDouble, std::optional(FileType::temporaryFiles));
        QVERIFY(!bracketMatched);
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[0].startsWith(QStringLiteral("正则表达式创建失败: ")) && lines[0].size() > 11,
                 qPrintable(lines[0]));
        QCOMPARE(lines[1], QStringLiteral("文件 Error.LOG 匹配排除模式 *.log，将被保留（白名单）"));
        QCOMPARE(lines[2], QStringLiteral("文件匹配器直接匹配到._文件: ._a"));
        QCOMPARE(lines[3], lines[0]);
    }

    void byteCount_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("expected");
        const QList<std::pair<qint64, const char *>> rows{
            {0, "Zero KB"},          {1, "1 byte"},           {2, "2 bytes"},          {532, "532 bytes"},
            {999, "999 bytes"},      {1000, "1 KB"},          {12345, "12 KB"},        {999499, "999 KB"},
            {999500, "1 MB"},        {1234567, "1.2 MB"},     {2000000, "2 MB"},       {999950000, "1 GB"},
            {3456789012, "3.46 GB"}, {1500000000, "1.5 GB"},  {3050000000, "3.05 GB"}, {2000000000000, "2 TB"},
            {1234567890123, "1.23 TB"},
        };
        for (const auto &[bytes, expected] : rows)
            QTest::addRow("%lld", bytes) << bytes << QString::fromLatin1(expected);
    }

    void byteCount()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, expected);
        QCOMPARE(formatByteCount(bytes), expected);
    }
};

SWEEPBROOK_TEST_MAIN(TestFileMatcher)
#include "test_file_matcher.moc"
