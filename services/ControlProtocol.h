// The protocol between the recorder and its clients on the control socket:
// each message is a 4-byte big-endian length, then that many bytes of one
// JSON object in UTF-8. A request names its operation ("op") and carries an
// "id" the reply repeats; a reply says "ok" and, when false, "error" in the
// system's words. Both sides send the protocol version ("v") in every
// message, so that a client of another version is told so at once.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

constexpr int kControlProtocolVersion = 1;
// A message larger than this is refused unread: the rest of the stream can
// no longer be trusted, and the connection ends.
constexpr int kMostControlMessageBytes = 64 * 1024;

// The message with its length in front; empty when it would be too large.
QByteArray EncodeControlMessage(const QJsonObject& message);

// Takes the bytes of a stream as they come, in any pieces, and gives the
// messages out one at a time.
class ControlMessageReader {
public:
    enum class Result {
        NeedMore,   // no whole message yet
        Message,    // *message holds the next one
        Malformed,  // a whole message that is not a JSON object; the stream goes on
        TooLarge,   // the length says more than allowed; the stream cannot go on
    };
    void Feed(const QByteArray& bytes);
    // The next message, or why there is none. After TooLarge every call
    // says TooLarge again.
    Result Next(QJsonObject* message, QString* error);
    // Bytes held of a message not yet whole.
    int Buffered() const { return static_cast<int>(m_buffer.size()); }

private:
    QByteArray m_buffer;
    bool m_broken = false;
};

// A reply to request: the version, the request's id, "ok": true, and fields.
QJsonObject ControlReply(const QJsonObject& request, const QJsonObject& fields = QJsonObject());
// A refusal of request (or of a message that did not parse: request empty).
QJsonObject ControlError(const QJsonObject& request, const QString& error);
// Whether a message of the other side speaks this version; if not, why, with
// both versions named ("версия протокола регистратора 2, этой программы 1":
// whose is the other side's name in the genitive).
bool SameControlVersion(const QJsonObject& message, const QString& whose, QString* error);
