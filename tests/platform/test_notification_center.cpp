#include "platform/NotificationCenter.h"

#include "TestMain.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

using Notification = NotificationCenter::Notification;

class TestNotificationCenter : public QObject
{
    Q_OBJECT

private slots:
    void deliveryAndRemoval()
    {
        // Synchronous, in registration order, only to observers of the name; with or without an object.
        NotificationCenter center;
        QStringList seen;
        auto *context = new QObject;
        center.addObserver("n", context, [&](const Notification &n) {
            seen << "context:" + (n.object.isValid() ? n.object.toString() : "none");
        });
        center.addObserver("other", nullptr, [&](const Notification &) { seen << "other"; });
        const auto free = center.addObserver("n", nullptr, [&](const Notification &) { seen << "free"; });
        center.post("n", QStringLiteral("/media/usb"));
        center.post("n", 42);
        center.post("n");
        center.post("nobody");
        QCOMPARE(seen, (QStringList{"context:/media/usb", "free", "context:42", "free", "context:none", "free"}));

        // A dead context or removal ends an observer; removing twice or an unknown token is harmless.
        seen.clear();
        delete context;
        QCOMPARE(center.observerCount("n"), 1);
        center.post("n");
        center.removeObserver(free);
        center.removeObserver(free);
        center.removeObserver(123456);
        center.post("n");
        QCOMPARE(seen, QStringList{"free"});
    }

    void observersChangeDuringDelivery()
    {
        NotificationCenter center;
        QStringList order;
        NotificationCenter::Token self = 0, victim = 0;
        bool added = false;
        auto *dyingContext = new QObject;

        self = center.addObserver("n", nullptr, [&](const Notification &) {
            order << "self";
            center.removeObserver(self);   // removing itself mid-delivery
        });
        center.addObserver("n", nullptr, [&](const Notification &) {
            order << "remover";
            center.removeObserver(victim);   // not run yet: must be skipped
            delete dyingContext;             // its observer, later in the list, must not run
            dyingContext = nullptr;
            if (!added) {
                added = true;
                center.addObserver("n", nullptr, [&](const Notification &) { order << "added"; });
            }
        });
        victim = center.addObserver("n", nullptr, [&](const Notification &) { order << "victim"; });
        center.addObserver("n", dyingContext, [&](const Notification &) { order << "dying"; });
        center.addObserver("n", nullptr, [&](const Notification &) { order << "last"; });

        center.post("n");
        QCOMPARE(order, (QStringList{"self", "remover", "last"}));   // the added one waits for the next post
        order.clear();
        center.post("n");
        QCOMPARE(order, (QStringList{"remover", "last", "added"}));
    }

    void nestedPostsAndOtherThreads()
    {
        NotificationCenter center;
        QStringList order;
        center.addObserver("outer", nullptr, [&](const Notification &n) {
            order << "outer";
            center.post("inner", n.object);   // re-entering the centre must not deadlock
            order << "outer-end";
        });
        center.addObserver("inner", nullptr, [&](const Notification &n) { order << "inner:" + n.object.toString(); });
        center.post("outer", "x");
        QCOMPARE(order, (QStringList{"outer", "inner:x", "outer-end"}));

        // Posted from a worker thread: delivered on that thread before post() returns.
        std::atomic<QThread *> deliveredOn{nullptr};
        center.addObserver("worker", nullptr, [&](const Notification &) { deliveredOn = QThread::currentThread(); });
        bool seenBeforeReturn = false;
        std::thread worker([&] {
            center.post("worker");
            seenBeforeReturn = deliveredOn.load() == QThread::currentThread();
        });
        worker.join();
        QVERIFY(seenBeforeReturn);

        // Threads posting while others add and remove observers: every post reaches
        // the observer that stays registered throughout.
        std::atomic<int> steady{0};
        center.addObserver("busy", nullptr, [&](const Notification &) { ++steady; });
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 500; ++i)
                    center.post("busy");
            });
            threads.emplace_back([&] {
                for (int i = 0; i < 500; ++i)
                    center.removeObserver(center.addObserver("busy", nullptr, [](const Notification &) {}));
            });
        }
        for (auto &thread : threads)
            thread.join();
        QCOMPARE(steady.load(), 2000);
        QCOMPARE(center.observerCount("busy"), 1);
    }
};

SWEEPBROOK_TEST_MAIN(TestNotificationCenter)
#include "test_notification_center.moc"
