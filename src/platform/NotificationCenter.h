#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

// Named broadcasts within the app. Delivery is synchronous: when post() returns,
// every observer registered for the name has run, on the posting thread.
class NotificationCenter
{
public:
    struct Notification
    {
        QString name;
        QVariant object;   // invalid when posted without an object
    };
    using Observer = std::function<void(const Notification &)>;
    using Token = quint64;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;

    // The app-wide centre.
    static NotificationCenter &defaultCenter();

    // Registers an observer; it ends when `context` is destroyed or removeObserver()
    // is called. Observers registered while a post is being delivered do not see it.
    Token addObserver(const QString &name, QObject *context, Observer observer);
    void removeObserver(Token token);

    void post(const QString &name, const QVariant &object = QVariant());

    int observerCount(const QString &name) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
