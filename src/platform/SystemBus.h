#pragma once

#include <QDBusConnection>
#include <QString>

#include <chrono>

// The system bus's address: DBUS_SYSTEM_BUS_ADDRESS, read at each call, else
// the standard socket.
QString systemBusAddress();

// A private connection to the bus at `address`, named `name`, opened only
// after the bus finished a handshake of our own (authentication and Hello)
// within `timeout`. QDBusConnection::connectToBus blocks in that handshake,
// inside the one thread QtDBus shares between all connections, when a bus
// accepts connections and never answers. On failure the connection returned
// is not connected and `error` says why. Disconnect it with
// QDBusConnection::disconnectFromBus(name). Blocking: call from background jobs.
QDBusConnection connectToBusBounded(const QString &address, const QString &name,
                                    std::chrono::milliseconds timeout, QString *error = nullptr);
