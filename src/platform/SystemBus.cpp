#include "platform/SystemBus.h"

#include <QByteArray>
#include <QDBusError>
#include <QDeadlineTimer>
#include <QtEndian>

#include <optional>
#include <utility>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The Hello every client sends first, marshalled little-endian by hand.
QByteArray helloMessage()
{
    QByteArray message;
    const auto pad = [&](int alignment) {
        while (message.size() % alignment)
            message.append('\0');
    };
    const auto uint32 = [&](quint32 value) {
        pad(4);
        char bytes[4];
        qToLittleEndian(value, bytes);
        message.append(bytes, 4);
    };
    message.append("l\x01\x00\x01", 4);   // little-endian, method call, no flags, version 1
    uint32(0);                            // no body
    uint32(1);                            // serial
    uint32(0);                            // header fields' length, filled in below
    const qsizetype fieldsStart = message.size();
    const auto field = [&](char code, char type, const QByteArray &value) {
        pad(8);
        message.append(code);
        message.append('\x01');
        message.append(type);
        message.append('\0');
        uint32(quint32(value.size()));
        message.append(value);
        message.append('\0');
    };
    field(1, 'o', "/org/freedesktop/DBus");   // path
    field(6, 's', "org.freedesktop.DBus");    // destination
    field(2, 's', "org.freedesktop.DBus");    // interface
    field(3, 's', "Hello");                   // member
    qToLittleEndian(quint32(message.size() - fieldsStart), message.data() + 12);
    pad(8);
    return message;
}

class Socket
{
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// Waits for `events` on `fd` until the deadline; false when it passed.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, int(std::min<qint64>(deadline.remainingTime(), 1 << 30)));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

bool sendAll(int fd, QByteArray data, const QDeadlineTimer &deadline)
{
    while (!data.isEmpty()) {
        if (!waitFor(fd, POLLOUT, deadline))
            return false;
        const ssize_t sent = ::send(fd, data.constData(), size_t(data.size()), MSG_NOSIGNAL);
        if (sent < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (sent > 0)
            data.remove(0, sent);
    }
    return true;
}

// Reads until `complete` says the bytes so far are enough; false on timeout or a closed socket.
template<typename Complete>
bool receiveUntil(int fd, QByteArray &received, const QDeadlineTimer &deadline, Complete complete)
{
    while (!complete(received)) {
        if (!waitFor(fd, POLLIN, deadline))
            return false;
        char buffer[512];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            return false;
        if (got > 0)
            received.append(buffer, got);
    }
    return true;
}

enum class Handshake { answered, silent, refused, noSocket };

// One unix socket: connects, authenticates as ourselves and waits for the
// answer to Hello.
Handshake handshake(const sockaddr_un &address, socklen_t length, const QDeadlineTimer &deadline, QString &error)
{
    const Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.fd() < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return Handshake::noSocket;
    }
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr *>(&address), length) != 0 && errno != EAGAIN
        && errno != EINPROGRESS) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return Handshake::noSocket;
    }
    const QByteArray uid = QByteArray::number(qulonglong(::geteuid())).toHex();
    QByteArray received;
    const auto line = [](const QByteArray &bytes) { return bytes.contains("\r\n"); };
    if (!sendAll(socket.fd(), QByteArray(1, '\0') + "AUTH EXTERNAL " + uid + "\r\n", deadline)
        || !receiveUntil(socket.fd(), received, deadline, line)) {
        error = QStringLiteral("the system bus did not answer the authentication");
        return Handshake::silent;
    }
    if (!received.startsWith("OK ")) {
        error = QStringLiteral("the system bus refused the authentication: ")
                + QString::fromUtf8(received.left(received.indexOf("\r\n")));
        return Handshake::refused;
    }
    received.clear();
    // A reply's fixed header is 16 bytes; its second byte is its type.
    const auto header = [](const QByteArray &bytes) { return bytes.size() >= 16; };
    if (!sendAll(socket.fd(), "BEGIN\r\n" + helloMessage(), deadline)
        || !receiveUntil(socket.fd(), received, deadline, header)) {
        error = QStringLiteral("the system bus did not answer Hello");
        return Handshake::silent;
    }
    if (received.at(1) != 2) {
        error = QStringLiteral("the system bus refused Hello");
        return Handshake::refused;
    }
    return Handshake::answered;
}

// The unix socket of one address entry ("unix:path=…" or "unix:abstract=…").
std::optional<std::pair<sockaddr_un, socklen_t>> unixSocketOf(const QByteArray &entry)
{
    if (!entry.startsWith("unix:"))
        return std::nullopt;
    for (const QByteArray &pair : entry.mid(5).split(',')) {
        const qsizetype equals = pair.indexOf('=');
        const QByteArray key = pair.left(equals);
        const QByteArray value = QByteArray::fromPercentEncoding(pair.mid(equals + 1));
        if (equals < 0 || (key != "path" && key != "abstract"))
            continue;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const bool abstract = key == "abstract";
        if (value.isEmpty() || value.size() + (abstract ? 1 : 0) >= qsizetype(sizeof address.sun_path))
            return std::nullopt;
        std::memcpy(address.sun_path + (abstract ? 1 : 0), value.constData(), size_t(value.size()));
        const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + (abstract ? 1 : 0) + value.size()
                                           + (abstract ? 0 : 1));
        return std::pair{address, length};
    }
    return std::nullopt;
}

// Does the bus at `address` finish a handshake in time? Entries are tried in
// order as the D-Bus library tries them; one that is not a unix socket is left
// for the library to judge.
bool busAnswers(const QString &address, const QDeadlineTimer &deadline, QString &error)
{
    error = QStringLiteral("the system bus is not reachable");
    for (const QByteArray &entry : address.toUtf8().split(';')) {
        if (entry.isEmpty())
            continue;
        const auto socket = unixSocketOf(entry);
        if (!socket)
            return true;
        switch (handshake(socket->first, socket->second, deadline, error)) {
        case Handshake::answered:
            return true;
        case Handshake::silent:
        case Handshake::refused:
            return false;
        case Handshake::noSocket:
            break;
        }
    }
    return false;
}

} // namespace

QString systemBusAddress()
{
    const QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    return address.isEmpty() ? QStringLiteral("unix:path=/run/dbus/system_bus_socket") : address;
}

QDBusConnection connectToBusBounded(const QString &address, const QString &name,
                                    std::chrono::milliseconds timeout, QString *error)
{
    QString why;
    if (!busAnswers(address, QDeadlineTimer(timeout.count()), why)) {
        if (error)
            *error = why;
        return QDBusConnection(name);   // not connected
    }
    QDBusConnection connection = QDBusConnection::connectToBus(address, name);
    if (error && !connection.isConnected()) {
        const QString message = connection.lastError().message();
        *error = message.isEmpty() ? QStringLiteral("the system bus is not reachable") : message;
    }
    return connection;
}
