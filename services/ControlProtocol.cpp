#include "services/ControlProtocol.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace {
constexpr int kLengthBytes = 4;

quint32 LengthAt(const QByteArray& bytes)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.constData());
    return (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
}
}  // namespace

QByteArray EncodeControlMessage(const QJsonObject& message)
{
    const QByteArray body = QJsonDocument(message).toJson(QJsonDocument::Compact);
    if (body.size() > kMostControlMessageBytes)
        return QByteArray();
    QByteArray framed;
    framed.reserve(kLengthBytes + body.size());
    const quint32 n = static_cast<quint32>(body.size());
    framed.append(static_cast<char>((n >> 24) & 0xFF));
    framed.append(static_cast<char>((n >> 16) & 0xFF));
    framed.append(static_cast<char>((n >> 8) & 0xFF));
    framed.append(static_cast<char>(n & 0xFF));
    framed.append(body);
    return framed;
}

void ControlMessageReader::Feed(const QByteArray& bytes)
{
    if (!m_broken)
        m_buffer.append(bytes);
}

ControlMessageReader::Result ControlMessageReader::Next(QJsonObject* message, QString* error)
{
    if (m_broken) {
        *error = QStringLiteral("запрос слишком велик");
        return Result::TooLarge;
    }
    if (m_buffer.size() < kLengthBytes)
        return Result::NeedMore;
    const quint32 length = LengthAt(m_buffer);
    if (length > static_cast<quint32>(kMostControlMessageBytes)) {
        // Nothing after it can be found again: the connection ends.
        m_broken = true;
        m_buffer.clear();
        *error = QStringLiteral("запрос слишком велик");
        return Result::TooLarge;
    }
    if (m_buffer.size() < kLengthBytes + static_cast<qsizetype>(length))
        return Result::NeedMore;
    const QByteArray body = m_buffer.mid(kLengthBytes, length);
    m_buffer.remove(0, kLengthBytes + length);
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parsed);
    if (parsed.error != QJsonParseError::NoError || !document.isObject()) {
        *error = parsed.error != QJsonParseError::NoError
                     ? QStringLiteral("запрос не разобран: %1").arg(parsed.errorString())
                     : QStringLiteral("запрос не разобран: ожидался объект JSON");
        return Result::Malformed;
    }
    *message = document.object();
    return Result::Message;
}

QJsonObject ControlReply(const QJsonObject& request, const QJsonObject& fields)
{
    QJsonObject reply = fields;
    reply.insert(QStringLiteral("v"), kControlProtocolVersion);
    if (request.contains(QStringLiteral("id")))
        reply.insert(QStringLiteral("id"), request.value(QStringLiteral("id")));
    reply.insert(QStringLiteral("ok"), true);
    return reply;
}

QJsonObject ControlError(const QJsonObject& request, const QString& error)
{
    QJsonObject reply;
    reply.insert(QStringLiteral("v"), kControlProtocolVersion);
    if (request.contains(QStringLiteral("id")))
        reply.insert(QStringLiteral("id"), request.value(QStringLiteral("id")));
    reply.insert(QStringLiteral("ok"), false);
    reply.insert(QStringLiteral("error"), error);
    return reply;
}

bool SameControlVersion(const QJsonObject& message, const QString& whose, QString* error)
{
    const QJsonValue v = message.value(QStringLiteral("v"));
    if (v.isDouble() && v.toDouble() == kControlProtocolVersion)
        return true;
    const QString theirs = v.isDouble() ? QString::number(v.toDouble()) : QStringLiteral("не указана");
    *error = QStringLiteral("версия протокола %1 %2, этой программы %3").arg(whose, theirs).arg(kControlProtocolVersion);
    return false;
}
