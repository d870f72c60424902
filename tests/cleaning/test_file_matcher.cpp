#include "cleaning/FileMatcher.h"
#include "cleaning/FileType.h"
#include "localization/ByteCountFormat.h"
#include "StdoutCapture.h"
#include "TestMain.h"

using testsupport::StdoutCapture;

namespace {

// "*" is every kind; "-kind" every kind but that one; otherwise the listed raw values.
FileTypeSet kindsFrom(const QString &text)
{
    FileTypeSet set = text == u"*" || text.startsWith(u'-') ? FileTypes::allTypes() : FileTypeSet();
    if (text.startsWith(u'-'))
        set.remove(*FileTypes::fromRawValue(text.mid(1)));
    else if (text != u"*")
        for (const QString &raw : text.split(u',', Qt::SkipEmptyParts))
            set.insert(*FileTypes::fromRawValue(raw));
    return set;
}

FileMatcher makeMatcher(const FileTypeSet &enabled, const QStringList &custom = {}, const QStringList &excluded = {})
{
    return FileMatcher(FileTypes::junkFilePatterns(), enabled, custom, excluded);
}

// Names where a compiled table and a pattern's expression might part: line
// breaks, carriage returns and tabs where an expression might stop, letters
// beyond ASCII that fold onto ASCII ones.
QStringList oddNames()
{
    return {".DS_Store", "Desktop DB", ".AppleDouble", "._x", "__MACOSX", ".Spotlight-V100", ".SPOTLIGHTv1",
            ".fseventsd", ".Trash", "Network Trash Folder", "found.000", "FOUND.000", "Thumbs.db", "a.THM",
            "b.thumb", "_thumbs", "AlbumArt.jpg", "albumart_1.log", "ehthumbs_vista.db", "x.TMP", "y.temp",
            "~$doc.docx", ".~lock.odt#", "a.swp", "b.SWO", "d.bak", "e.old", "g.lock", "i.part", "k.filepart",
            "nohup.out", "core.1", "core.x", "p.stackdump", "r.dmp", "t.log", "u.out", "System Volume Information",
            "desktop.ini", "Autorun.inf", "IMG_1234.JPG", "tmp", ".tmp", "x.tmp.gz", "a.b.log", "", ".", "readme",
            "g.loc\u212A",
            // Line breaks, carriage returns and tabs where an expression might stop.
            "a\nb.log", "x.log\n", "\n.DS_Store", ".DS_Store\n", "._\nx", "\n._x", "Thumbs.db\n", "Thumbs\n.db",
            "x\n.THM", "a\r.tmp", "x.tmp\r", "x.tmp\r\n", "\t.swp", "b.swp\t", "core.1\n", "core.\n1", "\ncore.1",
            "AlbumArt.\n", "AlbumArt_\nx", "x\nAlbumArt_1", "~\n", "\n~x", ".~\n", ".spotlightV\n3",
            "nohup.out\n", "x.\nlog", "\n", "\r\n", "__MACOSX\n", ".Trashes\n",
            // Beyond ASCII.
            "naïve.LOG", "résumé.tmp", "日志.log", "Ä.TMP", "x.\u017Fwp", "albumart_ß", "ALBUMART.ß", "\u00C6.bak",
            "x.t\u0130mp", "e\u0301.old"};
}

} // namespace

class TestFileMatcher : public QObject
{
    Q_OBJECT

private slots:
    void rawValues()
    {
        for (FileType type : FileTypes::allCases())
            QCOMPARE(FileTypes::fromRawValue(FileTypes::rawValue(type)), std::optional<FileType>(type));
        for (const char *bad : {"dsstore", "DsStore", "ds_store_files", ""})
            QVERIFY2(!FileTypes::fromRawValue(QString::fromLatin1(bad)), bad);
    }

    void wildcardPattern()
    {
        const QList<std::tuple<const char *, const char *, bool>> rows{
            {"$recycle.bin", "$RECYCLE.BIN", false},   // without "*": exact, case-sensitive
            {"a+b", "a+b", true},          {"aab", "a+b", false},
            {"Error.LOG", "*.log", true},  {"Errorxlog", "*.log", false},   // "." is literal
            {"core.123", "core.*", true},  {"CORE.9", "core.*", true},       // "core.*" is core.<digits>
            {"core.js", "core.*", false},  {"core.", "core.*", false},       {"core.12a", "core.*", false},
            {"__MACOSX", "*/__MACOSX/*", false},
            {"file1x", "file(1)*", true},  {"file(1)x", "file(1)*", false},  // other metacharacters keep their meaning
            {"IMG_1_keep.JPG", "img_*_keep.jpg", true}, {"IMG_1_keep.JPG.bak", "img_*_keep.jpg", false},
            {"xb", "a|b*", false},         {"b1", "a|b*", true},             // the whole name, whatever the pattern
            {"a", "a)|(b*", false},        {"b", "a)|(b*", false},           // does not compile on its own
            {"a\nb.log", "*.log", true},   {"x.log\n", "*.log", false},      // "*" spans line breaks, "$" is the end
            {"\n", "*", true},             {"report\n.docx", "report*", true}, {"a\r\nb", "a*b", true},
        };
        QStringList wrong;
        {
            StdoutCapture quiet;   // not around QCOMPARE, whose report goes to stdout too
            for (const auto &[name, pattern, expected] : rows) {
                if (FileMatcher::matchesWildcardPattern(QString::fromUtf8(name), QString::fromUtf8(pattern)) != expected)
                    wrong << QStringLiteral("%1 ~ %2").arg(QString::fromUtf8(name), QString::fromUtf8(pattern));
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u"; ")));
    }

    // 'F' a file, 'D' a folder, 'M' a file inside a "__MACOSX" folder; "enabled"
    // as kindsFrom() reads it; the expected kind's raw value, empty for none.
    void matchFile()
    {
        struct Row { char what; const char *name, *enabled; QStringList custom, excluded; const char *expected; };
        const QList<Row> rows{
            {'F', ".VolumeIcon.icns", "*", {"icns"}, {}, ""},   // protected beats custom and exclusion
            {'F', ".VolumeIcon.icns", "*", {}, {"*.icns"}, ""},
            {'F', "Error.LOG", "*", {}, {"*.log"}, ""},         // wildcard exclusion ignores case
            {'F', "a\nb.log", "*", {}, {"*.log"}, ""},          // and spans line breaks
            {'F', "a\nb.log", "*", {}, {}, "systemLogs"},
            {'F', "x.log\n", "*", {}, {}, ""},
            {'F', ".DS_Store", "*", {}, {".ds_store"}, "dsStore"},   // exact ones do not
            {'F', ".ds_store", "*", {}, {".DS_Store"}, ""},     // nor does the catalogue
            {'F', "._photo.jpg", "*", {}, {"._*"}, ""},
            {'F', "Notes.txt", "*", {"txt"}, {"notes.*"}, ""},  // exclusion before custom
            {'F', "img_1_KEEP.log", "*", {}, {"IMG_*_keep.log"}, ""},
            {'F', "report1.tmp", "*", {}, {"report(1)*"}, ""},  // a group, not literal brackets
            {'F', "report(1).tmp", "*", {}, {"report(1)*"}, "temporaryFiles"},
            {'F', "[x.log", "*", {}, {"[*"}, "systemLogs"},     // a broken exclusion never matches
            {'F', "._photo.jpg", "*", {}, {}, "temporaryFiles"},
            {'F', "._photo.jpg", "-temporaryFiles", {}, {}, "appleDouble"},
            {'F', "._photo.jpg", "", {}, {}, ""},
            {'F', "Notes.txt", "*", {".TXT"}, {}, "custom"},
            {'F', "app.log", "*", {"log"}, {}, "custom"},      // custom before the catalogue
            {'F', "readme", "*", {"readme"}, {}, ""},          // custom needs a dot in the name
            {'F', "notes.", "*", {"."}, {}, ""},
            {'F', "Notes.txt", "-custom", {"txt"}, {}, ""},
            {'F', "core.123", "*", {}, {}, "temporaryFiles"},
            {'F', "core.js", "*", {}, {}, ""},
            {'F', "core.log", "*", {}, {}, "systemLogs"},
            {'F', "nohup.out", "*", {}, {}, "temporaryFiles"},  // kind order decides
            {'F', "nohup.out", "-temporaryFiles", {}, {}, "systemLogs"},
            {'F', "AlbumArt.tmp", "*", {}, {}, "thumbsDb"},
            {'F', "x.tmp", "dsStore", {}, {}, ""},
            {'F', "IMG_1234.JPG", "*", {"txt"}, {"*.bak"}, ""},
            {'D', "Photos.old", "*", {}, {}, ""},                // wildcards never match folders
            {'D', "x.tmp", "*", {}, {}, ""},
            {'D', "~stuff", "*", {}, {}, ""},
            {'D', "._stuff", "*", {}, {}, ""},
            {'D', ".Trashes", "*", {}, {}, "trash"},
            {'D', "System Volume Information", "*", {}, {}, "windowsSystem"},
            {'D', "__MACOSX", "dsStore", {}, {}, "temporaryFiles"},
            {'D', "__MACOSX", "*", {}, {"__MACOSX"}, ""},
            {'M', "photo.jpg", "", {}, {}, "temporaryFiles"},
            {'M', "photo.jpg", "*", {}, {"__MACOSX"}, "temporaryFiles"},
        };
        QStringList wrong;
        {
            StdoutCapture quiet;
            for (const Row &row : rows) {
                const FileTypeSet kinds = kindsFrom(QString::fromLatin1(row.enabled));
                const QString name = QString::fromUtf8(row.name);
                const auto found = makeMatcher(kinds, row.custom, row.excluded).matchFile({name, row.what == 'D', row.what == 'M'}, kinds);
                if ((found ? FileTypes::rawValue(*found) : QString()) != QString::fromLatin1(row.expected))
                    wrong << QStringLiteral("%1 %2 [%3] +%4 -%5").arg(QChar::fromLatin1(row.what), name, QString::fromLatin1(row.enabled),
                                                                   row.custom.join(u','), row.excluded.join(u','));
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u"; ")));
    }

    // The compiled tables give what trying each pattern in turn gives, for
    // files and folders (wildcards match files only), for every kind alone and
    // together (the first kind in order wins), line breaks and odd characters
    // in names included.
    void compiledCatalogueAgreesWithPatterns()
    {
        const QStringList names = oddNames();
        QList<FileTypeSet> sets{FileTypes::allTypes(), kindsFrom("-temporaryFiles"), kindsFrom("systemLogs,thumbsDb")};
        for (FileType type : FileTypes::allCases())
            sets << FileTypeSet{type};
        QStringList mismatches;
        StdoutCapture quiet;
        for (const FileTypeSet &enabled : std::as_const(sets)) {
            const FileMatcher matcher = makeMatcher(enabled);
            for (const QString &name : names) {
                for (const bool folder : {false, true}) {
                    if (!folder && name.startsWith(u"._") && enabled.contains(FileType::temporaryFiles))
                        continue;   // settled before the catalogue
                    std::optional<FileType> expected;
                    for (FileType type : FileTypes::allCases()) {
                        const QStringList patterns = FileTypes::junkFilePatterns().value(type);
                        if (enabled.contains(type) && !expected
                            && std::any_of(patterns.cbegin(), patterns.cend(), [&](const QString &pattern) {
                                   return (!folder || !pattern.contains(u'*'))
                                       && FileMatcher::matchesWildcardPattern(name, pattern);
                               }))
                            expected = type;
                    }
                    if (name == u"__MACOSX")
                        expected = FileType::temporaryFiles;
                    if (matcher.matchFile({name, folder}, enabled) != expected) {
                        QStringList kinds;
                        for (FileType type : enabled)
                            kinds << FileTypes::rawValue(type);
                        const QString shown =
                            QString(name).replace(u'\n', QStringLiteral("\\n")).replace(u'\r', QStringLiteral("\\r"));
                        mismatches << QStringLiteral("%1 \"%2\" [%3]")
                                          .arg(QChar(folder ? u'D' : u'F'), shown,
                                               enabled == FileTypes::allTypes() ? QStringLiteral("*") : kinds.join(u','));
                    }
                }
            }
        }
        quiet.lines();   // ends the capture
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(u"; ")));
    }

    // An exclusion keeps exactly the names its pattern matches, however it
    // was compiled (the name, a prefix or suffix, an expression).
    void compiledExclusionsAgreeWithPatterns()
    {
        const QStringList patterns{"*.log", "*.LOG", "Thumbs*", "thumbs.DB", "*", "._*", "~$*", "*~", "a.b*",
                                   "*ß", "*\u017Fwp", "*K", "*.tmp\n", "x*y", "*a*", "[*", "(a|b)*", "*.t?p",
                                   "résumé*", "*\u212A"};
        QStringList mismatches;
        StdoutCapture quiet;
        for (const QString &pattern : patterns) {
            const FileMatcher matcher = makeMatcher(FileTypes::allTypes(), {}, {pattern});
            for (const QString &name : oddNames() + QStringList{"Thumbs.dbx", "thumbs", "résumé.doc", "RÉSUMÉ", "xKy"}) {
                const bool expected = name == FileMatcher::protectedName || FileMatcher::matchesWildcardPattern(name, pattern);
                if (matcher.isKept(name) != expected)
                    mismatches << QStringLiteral("\"%1\" by \"%2\"").arg(QString(name).replace(u'\n', QStringLiteral("\\n")), pattern);
            }
        }
        quiet.lines();   // ends the capture
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(u"; ")));
    }

    void diagnostics()
    {
        StdoutCapture capture;
        const FileMatcher matcher = makeMatcher(FileTypes::allTypes(), {}, {"[*", "*.log"});
        const bool kept = !matcher.matchFile({u"Error.LOG"}, FileTypes::allTypes());
        const QStringList lines = capture.lines();
        QVERIFY(kept);
        QVERIFY2(lines.value(0).startsWith(QStringLiteral("正则表达式创建失败: ")), qPrintable(lines.value(0)));
        QCOMPARE(lines.value(1), QStringLiteral("文件 Error.LOG 匹配排除模式 *.log，将被保留（白名单）"));
    }

    void byteCount()
    {
        const QList<std::pair<qint64, const char *>> rows{
            {0, "Zero KB"},          {1, "1 byte"},           {2, "2 bytes"},          {999, "999 bytes"},
            {1000, "1 KB"},          {12345, "12 KB"},        {999499, "999 KB"},      {999500, "1 MB"},
            {1234567, "1.2 MB"},     {2000000, "2 MB"},       {999950000, "1 GB"},     {3456789012, "3.46 GB"},
            {1500000000, "1.5 GB"},  {3050000000, "3.05 GB"}, {2000000000000, "2 TB"}, {1234567890123, "1.23 TB"},
        };
        for (const auto &[bytes, expected] : rows)
            QCOMPARE(formatByteCount(bytes), QString::fromLatin1(expected));
    }
};

SWEEPBROOK_TEST_MAIN(TestFileMatcher)
#include "test_file_matcher.moc"
