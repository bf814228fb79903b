#include "support/ControlClient.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

QJsonObject ControlRequest(const char* op, int id, QJsonObject fields)
{
    fields.insert(QStringLiteral("v"), kControlProtocolVersion);
    fields.insert(QStringLiteral("id"), id);
    fields.insert(QStringLiteral("op"), QString::fromLatin1(op));
    return fields;
}

RawClient::RawClient(const QString& path)
{
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), std::min<size_t>(name.size(), sizeof address.sun_path - 1));
    m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval wait{5, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

RawClient::~RawClient() { ::close(m_fd); }

bool RawClient::Send(const QByteArray& bytes)
{
    return ::send(m_fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL) == bytes.size();
}

QJsonObject RawClient::Receive()
{
    for (;;) {
        QJsonObject message;
        QString error;
        if (m_reader.Next(&message, &error) == ControlMessageReader::Result::Message)
            return message;
        char chunk[4096];
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return QJsonObject();
        m_reader.Feed(QByteArray(chunk, static_cast<int>(n)));
    }
}

bool RawClient::Closed()
{
    char byte;
    return ::recv(m_fd, &byte, 1, 0) == 0;
}

QString OwnPrimaryGroup()
{
    const group* g = ::getgrgid(::getgid());
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(::getgid());
}
