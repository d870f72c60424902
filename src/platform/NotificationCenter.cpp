#include "platform/NotificationCenter.h"

#include <QHash>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

struct Registration
{
    NotificationCenter::Token token = 0;
    QPointer<QObject> guard;
    bool hasContext = false;
    NotificationCenter::Observer observer;
    // Set when removed, so a delivery already holding a copy of the list skips it.
    std::atomic<bool> removed{false};

    bool alive() const { return !removed.load() && (!hasContext || guard); }
};

using RegistrationPtr = std::shared_ptr<Registration>;

} // namespace

struct NotificationCenter::Impl
{
    mutable std::mutex mutex;
    Token nextToken = 1;
    // Registration order. Plain vectors: post() takes a deep copy under the lock,
    // so no storage is shared with a delivery running on another thread.
    QHash<QString, std::vector<RegistrationPtr>> byName;
    std::unordered_map<Token, QString> nameOf;

    // Caller holds the mutex. Drops observers whose context object is gone.
    void purge(const QString &name)
    {
        auto it = byName.find(name);
        if (it == byName.end())
            return;
        std::erase_if(*it, [this](const RegistrationPtr &r) {
            if (r->alive())
                return false;
            r->removed = true;
            nameOf.erase(r->token);
            return true;
        });
        if (it->empty())
            byName.erase(it);
    }
};

NotificationCenter::NotificationCenter()
    : d(std::make_unique<Impl>())
{
}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter &NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString &name, QObject *context, Observer observer)
{
    auto registration = std::make_shared<Registration>();
    registration->guard = context;
    registration->hasContext = context != nullptr;
    registration->observer = std::move(observer);

    std::lock_guard lock(d->mutex);
    d->purge(name);
    registration->token = d->nextToken++;
    d->byName[name].push_back(registration);
    d->nameOf.emplace(registration->token, name);
    return registration->token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::lock_guard lock(d->mutex);
    auto found = d->nameOf.find(token);
    if (found == d->nameOf.end())
        return;
    const QString name = found->second;
    d->nameOf.erase(found);
    auto it = d->byName.find(name);
    if (it == d->byName.end())
        return;
    std::erase_if(*it, [token](const RegistrationPtr &r) {
        if (r->token != token)
            return false;
        r->removed = true;
        return true;
    });
    if (it->empty())
        d->byName.erase(it);
}

void NotificationCenter::post(const QString &name, const QVariant &object)
{
    std::vector<RegistrationPtr> targets;
    {
        std::lock_guard lock(d->mutex);
        d->purge(name);
        if (auto it = d->byName.constFind(name); it != d->byName.cend())
            targets = *it;
    }
    // Observers run unlocked: they may post, add or remove observers themselves.
    const Notification notification{name, object};
    for (const RegistrationPtr &r : targets) {
        if (r->alive() && r->observer)
            r->observer(notification);
    }
}

int NotificationCenter::observerCount(const QString &name) const
{
    std::lock_guard lock(d->mutex);
    auto it = d->byName.constFind(name);
    if (it == d->byName.cend())
        return 0;
    return int(std::count_if(it->cbegin(), it->cend(), [](const RegistrationPtr &r) { return r->alive(); }));
}
