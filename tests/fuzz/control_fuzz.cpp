// The control socket's reader on any bytes in any pieces: it never crashes,
// never holds more than one message's worth, and every message it gives out
// is an object that encodes back to the bytes' own length limit.
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QJsonObject>

#include "services/ControlProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // Byte 0: the size of the pieces the rest arrives in.
    const size_t piece = 1 + data[0] % 64;
    ControlMessageReader reader;
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        reader.Feed(QByteArray(reinterpret_cast<const char*>(data + at), static_cast<int>(n)));
        for (;;) {
            QJsonObject message;
            QString error;
            const ControlMessageReader::Result result = reader.Next(&message, &error);
            if (result == ControlMessageReader::Result::NeedMore || result == ControlMessageReader::Result::TooLarge)
                break;
            if (result == ControlMessageReader::Result::Message && EncodeControlMessage(message).isEmpty() &&
                message.isEmpty())
                std::abort();
        }
        if (reader.Buffered() > kMostControlMessageBytes + 4 + static_cast<int>(piece))
            std::abort();
    }
    return 0;
}
