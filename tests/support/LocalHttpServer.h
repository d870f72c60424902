#pragma once

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace testsupport {

// JSON written with ' for " (test tables stay readable).
inline QByteArray json(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

// A small HTTP server on 127.0.0.1 (a free port) that records each request and
// answers as told: a whole reply, nothing at all, or headers and then nothing.
class LocalHttpServer
{
public:
    enum class Mode { reply, silent, headersThenStall, cutShort };

    struct Request
    {
        QByteArray method;
        QByteArray target;                   // path and query, as sent
        QMap<QByteArray, QByteArray> headers;   // names in lower case
    };

    Mode mode = Mode::reply;
    int status = 200;
    QByteArray body;
    QList<Request> requests;
    int closedByClient = 0;                  // connections the client closed

    LocalHttpServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                accept(socket);
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return m_server.serverPort(); }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

    // A port nothing listens on: connections to it are refused.
    static quint16 closedPort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

private:
    void accept(QTcpSocket *socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
            ++closedByClient;
            socket->deleteLater();
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            record(buffer->left(end));
            buffer->clear();
            answer(socket);
        });
    }

    void record(const QByteArray &head)
    {
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request request{requestLine.value(0), requestLine.value(1), {}};
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        requests.append(request);
    }

    void answer(QTcpSocket *socket)
    {
        if (mode == Mode::silent)
            return;
        const qsizetype length = mode == Mode::reply ? body.size() : body.size() + 100;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Answer\r\nContent-Type: application/json\r\n"
                          "Content-Length: " + QByteArray::number(length) + "\r\n\r\n";
        socket->write(head);
        if (mode == Mode::headersThenStall)
            return;
        socket->write(body);
        if (mode == Mode::cutShort)
            socket->disconnectFromHost();
    }

    QTcpServer m_server;
};

} // namespace testsupport
