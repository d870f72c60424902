#include "TestMain.h"

#include "cleaning/FileType.h"
#include "cleaning/PathArena.h"
#include "platform/Log.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

class TestPathArena : public QObject
{
    Q_OBJECT

private slots:
    // Any bytes come back as they went in: odd shapes, bytes that are not
    // UTF-8, a component longer than a chunk, folders added after what they
    // hold; names NUL-terminated in place.
    void pathsComeBackExactly()
    {
        const QByteArray huge(3 << 20, 'h');
        const QList<QByteArray> paths = {"/media/USB/.DS_Store", "/", "", "//a//b/", "relative/x", "/media/USB/caf\xe9",
                                         "/media/USB/caf\xc3\xa9", "/media/USB/" + huge + "/._a", "/media/USB/\x01\x7f\xff",
                                         // Folders added after what they hold, inside what their items share.
                                         "/media/DEEP/a/b/c/._x", "/media/DEEP/a/b", "/media/DEEP/a", "/media/DEEP/a/b/c"};
        PathIndex index;
        QList<PathArena::Node> nodes;
        for (const QByteArray &path : paths)
            nodes << index.add(path);
        for (qsizetype i = 0; i < paths.size(); ++i) {
            QCOMPARE(index.arena()->path(nodes[i]), paths[i]);
            QCOMPARE(index.find(paths[i]), std::optional(nodes[i]));
            QCOMPARE(index.add(paths[i]), nodes[i]);
            const FileItem item(index.arena(), nodes[i]);
            const QByteArrayView name = item.nameBytes();
            QCOMPARE(name, QByteArrayView(paths[i]).sliced(paths[i].lastIndexOf('/') + 1));
            QCOMPARE(name.data()[name.size()], '\0');
        }
        // Two bytes spellings of one reading are two paths.
        QVERIFY(nodes[5] != nodes[6]);
        QCOMPARE(FileItem(index.arena(), nodes[5]).path(), FileItem(index.arena(), nodes[6]).path());
        QCOMPARE(FileItem(index.arena(), nodes[6]).name(), QStringLiteral("caf\u00e9"));

        // A folder of a listed path is there; a path below a missing folder is not.
        QVERIFY(index.find("/media/USB"));
        QVERIFY(!index.find("/media/USB/.DS_Stor"));
        QVERIFY(!index.find("/media/OTHER/.DS_Store"));
        QVERIFY(!index.find("/media/USB/.DS_Store/x"));
    }

    // A scan's worth of items: each path once, its folders shared, and the
    // items handed out still read after the index and its other items are gone.
    void manyItems()
    {
        constexpr int kFolders = 1000;
        constexpr int kPerFolder = 100;
        const QByteArray base = "/media/user/STICK/" + QByteArray(150, 'p');
        const auto pathOf = [&](int folder, int file) {
            return base + "/f" + QByteArray::number(folder) + "/._photo" + QByteArray::number(file) + ".jpg";
        };
        QList<FileItem> kept;
        qsizetype pathBytes = 0;
        {
            PathIndex index;
            QList<FileItem> items;
            // Folders visited twice, as two passes over a volume would.
            for (int pass = 0; pass < 2; ++pass) {
                for (int folder = 0; folder < kFolders; ++folder) {
                    for (int file = 0; file < kPerFolder; ++file) {
                        const QByteArray path = pathOf(folder, file);
                        const PathArena::Node node = index.add(path);
                        if (pass == 0) {
                            items.append(FileItem(index.arena(), node, file));
                            pathBytes += path.size();
                        } else {
                            QCOMPARE(node, items[folder * kPerFolder + file].node());
                        }
                    }
                }
            }
            const PathArena &arena = *index.arena();
            QCOMPARE(arena.segmentCount(), qsizetype(1 + 1 + kFolders + kFolders * kPerFolder));
            // The shared folders are not held once per item.
            QVERIFY2(arena.bytesHeld() + index.bytesHeld() < pathBytes / 3,
                     qPrintable(QString::number(arena.bytesHeld() + index.bytesHeld())));
            for (int i = 0; i < items.size(); i += 7)
                kept.append(items[i]);
        }
        for (int i = 0; i < kept.size(); ++i) {
            const int at = i * 7;
            QCOMPARE(kept[i].fsPath(), pathOf(at / kPerFolder, at % kPerFolder));
            QCOMPARE(kept[i].size, qint64(at % kPerFolder));
        }
    }
    // Two threads filling one index (a scan's walk beside its pre-search),
    // each meeting paths the other adds, in folders both add to: every path
    // is one node, whoever added it first, and comes back whole.
    void twoThreadsFillOneIndex()
    {
        constexpr int kPaths = 20000;
        const auto pathOf = [](int i) {
            return "/media/STICK/d" + QByteArray::number(i % 37) + "/e" + QByteArray::number(i % 5) + "/._f"
                   + QByteArray::number(i);
        };
        PathIndex index;
        std::vector<PathArena::Node> first(kPaths), second(kPaths);
        {
            std::jthread other([&] {
                for (int i = 0; i < kPaths; ++i)
                    first[size_t(i)] = index.add(pathOf(i));
            });
            for (int i = kPaths - 1; i >= 0; --i) {
                second[size_t(i)] = index.add(pathOf(i));
                QCOMPARE(index.path(second[size_t(i)]), pathOf(i));
            }
        }
        for (int i = 0; i < kPaths; ++i) {
            QCOMPARE(first[size_t(i)], second[size_t(i)]);
            QCOMPARE(index.arena()->path(first[size_t(i)]), pathOf(i));
        }
    }

    // Two indexes of one thread each fill a part of one arena side by side,
    // without a lock (as a scan's pre-search and walk do): each holds its
    // own paths, every node names its part and reads back from the arena
    // whichever thread asks, and the other index finds a path the first
    // holds by its folder and name, right after the one it found before or
    // through its table. A path added unlisted reads back but is not found.
    void partsOfOneArena()
    {
        constexpr int kPaths = 20000;
        const auto pathOf = [](int i) {
            return "/media/STICK/d" + QByteArray::number(i / 100) + "/._f" + QByteArray::number(i);
        };
        PathIndex first(PathIndex::Threads::one);
        PathIndex second(first.arena(), PathIndex::Threads::one);
        QCOMPARE(second.arena(), first.arena());
        std::vector<PathArena::Node> ones(kPaths), twos(kPaths), unlisted(kPaths);
        {
            std::jthread other([&] {
                for (int i = 0; i < kPaths; ++i)
                    ones[size_t(i)] = first.add(pathOf(i));
            });
            for (int i = 0; i < kPaths; ++i) {
                const QByteArray path = pathOf(i);
                const qsizetype slash = path.lastIndexOf('/');
                if (i % 2)
                    twos[size_t(i)] = second.add(path.first(slash), path.sliced(slash + 1));
                else
                    unlisted[size_t(i)] = second.addUnlisted(path.first(slash), "._u" + QByteArray::number(i));
            }
        }
        const PathArena &arena = *first.arena();
        PathArena::Node previous = PathArena::kNone;
        for (int i = 0; i < kPaths; ++i) {
            const QByteArray path = pathOf(i);
            const qsizetype slash = path.lastIndexOf('/');
            QCOMPARE(PathArena::partOf(ones[size_t(i)]), first.part());
            QCOMPARE(arena.path(ones[size_t(i)]), path);
            QCOMPARE(first.add(path), ones[size_t(i)]);
            // Asked for in the order added, and out of it.
            const std::optional<PathArena::Node> found = first.findAfter(previous, path.first(slash), path.sliced(slash + 1));
            QCOMPARE(found, std::optional(ones[size_t(i)]));
            previous = *found;
            QCOMPARE(first.findAfter(ones[size_t((i + 7) % kPaths)], path.first(slash), path.sliced(slash + 1)), found);
            if (i % 2) {
                QCOMPARE(PathArena::partOf(twos[size_t(i)]), second.part());
                QVERIFY(twos[size_t(i)] != ones[size_t(i)]);
                QCOMPARE(arena.path(twos[size_t(i)]), path);
                QCOMPARE(second.find(path), std::optional(twos[size_t(i)]));
            } else {
                const QByteArray other = path.first(slash + 1) + "._u" + QByteArray::number(i);
                QCOMPARE(arena.path(unlisted[size_t(i)]), other);
                QCOMPARE(second.find(other), std::nullopt);
                QVERIFY(second.find(path.first(slash)));   // its folder is held
                QCOMPARE(first.find(other), std::nullopt);
            }
        }
        QCOMPARE(arena.segmentCount(), first.segmentCount() + second.segmentCount() - 1);

        // Once nothing adds to it, threads side by side find the same, each
        // with a finder of its own, in order and out of it.
        std::atomic<int> wrong{0};
        {
            std::vector<std::jthread> finders;
            for (int step = 1; step <= 3; ++step) {
                finders.emplace_back([&, step] {
                    PathIndex::Finder finder(first);
                    PathArena::Node before = PathArena::kNone;
                    for (int i = step - 1; i < kPaths; i += step) {
                        const QByteArray path = pathOf(i);
                        const qsizetype slash = path.lastIndexOf('/');
                        const auto found = finder.findAfter(before, path.first(slash), path.sliced(slash + 1));
                        wrong += found != std::optional(ones[size_t(i)]) || finder.find(path) != found;
                        before = found.value_or(PathArena::kNone);
                    }
                    wrong += finder.find("/media/STICK/d3/._none").has_value() + finder.find("/media/NONE").has_value();
                });
            }
        }
        QCOMPARE(wrong.load(), 0);
    }

    // A node's line, made from its folder read once, is the line
    // appendLogLine makes of the whole path, whatever bytes the path holds.
    void linesAsLogged()
    {
        const QList<QByteArray> paths = {"/media/USB/a/._x", "/media/USB/a/._y", "/media/caf\xe9/._z", "/media/caf\xe9/._w",
                                         "/media/USB/a/b\x01c", "/media/USB/\xe2\x80\xa8/x", "/media/USB/a/caf\xc3\xa9",
                                         "/media/USB/a/\xc2\x85", "relative", "/top", "/media/USB/a/._x"};
        PathIndex index(PathIndex::Threads::one);
        std::vector<PathArena::Node> nodes;
        for (const QByteArray &path : paths)
            nodes.push_back(index.add(path));
        // A folder added after what it holds: its segment holds a '/'.
        nodes.push_back(index.add("/media/USB"));
        const LineHead plain("发现._文件: ");
        const LineHead escaped("head \x02 ");
        PathReader reader(*index.arena());
        for (const PathArena::Node node : nodes) {
            const QByteArray path = index.arena()->path(node);
            QCOMPARE(reader.path(node), QByteArrayView(path));
            QCOMPARE(reader.path(node).data()[path.size()], '\0');
            QCOMPARE(reader.nameStart(), path.lastIndexOf('/') + 1);
            for (const LineHead *head : {&plain, &escaped}) {
                QByteArray made, expected;
                reader.appendLine(made, *head);
                appendLogLine(expected, head->text.data(), path);
                QCOMPARE(made, expected);
            }
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestPathArena)
#include "test_path_arena.moc"
