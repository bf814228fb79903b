#include "sim/ModbusSlave.h"

#include <cstring>

namespace sim {

namespace {

// The controller's own CRC-16/MODBUS, table-driven as controller firmware
// has it, written apart from the client's bit-by-bit one so that a fault in
// either shows up as a rejected frame.
struct CrcTable {
    uint16_t entry[256];
    constexpr CrcTable() : entry{}
    {
        for (int byte = 0; byte < 256; ++byte) {
            uint16_t value = static_cast<uint16_t>(byte);
            for (int bit = 0; bit < 8; ++bit)
                value = static_cast<uint16_t>(value & 1 ? (value >> 1) ^ 0xA001 : value >> 1);
            entry[byte] = value;
        }
    }
};
constexpr CrcTable kCrcTable;

}  // namespace

uint16_t FrameCrc(const uint8_t* bytes, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable.entry[(crc ^ bytes[i]) & 0xFF]);
    return crc;
}

bool CrcValid(const Bytes& frame)
{
    if (frame.size() < 4 || frame.size() > kMaxFrame)
        return false;
    const uint16_t crc = FrameCrc(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

void AppendFrameCrc(Bytes* frame)
{
    const uint16_t crc = FrameCrc(frame->data(), frame->size());
    frame->push_back(static_cast<uint8_t>(crc & 0xFF));
    frame->push_back(static_cast<uint8_t>(crc >> 8));
}

int RequestLength(const uint8_t* bytes, size_t available)
{
    if (available < 2)
        return 0;
    switch (bytes[1]) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06:
        return 8;
    case 0x0F: case 0x10:
        if (available < 7)
            return 0;
        return 9 + bytes[6];  // at most 264: longer than a frame, caught below
    default:
        return -1;
    }
}

Bytes ExceptionReply(uint8_t address, uint8_t function, uint8_t code)
{
    Bytes reply{address, static_cast<uint8_t>(function | 0x80), code};
    AppendFrameCrc(&reply);
    return reply;
}

namespace {

uint16_t Word(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

Bytes ReadStatus(const ChamberModel& chamber, const Bytes& request, ReplyShape shape)
{
    const uint8_t address = request[0];
    if (request.size() != 8)
        return ExceptionReply(address, kReadInputRegisters, kIllegalDataValue);
    const uint16_t first = Word(request, 2);
    const uint16_t count = Word(request, 4);
    if (first != 0 || count == 0 || count > kStatusWords)
        return ExceptionReply(address, kReadInputRegisters, kIllegalDataAddress);

    // The client decodes the humidities from words 15 and 16 of its
    // 15-word request, so the controller sends them along.
    const int words = count == kStatusRequestCount && !shape.fifteenWordsOnly ? kStatusWords : count;
    const auto status = chamber.StatusWords();
    Bytes reply{address, kReadInputRegisters, static_cast<uint8_t>(2 * words)};
    for (int i = 0; i < words; ++i) {
        reply.push_back(static_cast<uint8_t>(status[i] >> 8));
        reply.push_back(static_cast<uint8_t>(status[i] & 0xFF));
    }
    AppendFrameCrc(&reply);
    return reply;
}

Bytes WriteRegisters(ChamberModel& chamber, const Bytes& request)
{
    const uint8_t address = request[0];
    if (request.size() < 9)
        return ExceptionReply(address, kWriteMultipleRegisters, kIllegalDataValue);
    const uint16_t first = Word(request, 2);
    const uint16_t count = Word(request, 4);
    const uint8_t byteCount = request[6];
    if (count == 0 || byteCount != 2 * count || request.size() != 9u + byteCount)
        return ExceptionReply(address, kWriteMultipleRegisters, kIllegalDataValue);
    std::vector<uint16_t> values(count);
    for (size_t i = 0; i < count; ++i)
        values[i] = Word(request, 7 + 2 * i);
    if (const uint8_t code = chamber.WriteRegisters(first, values))
        return ExceptionReply(address, kWriteMultipleRegisters, code);
    Bytes reply(request.begin(), request.begin() + 6);
    AppendFrameCrc(&reply);
    return reply;
}

}  // namespace

Bytes AnswerRequest(ChamberModel& chamber, const Bytes& request, ReplyShape shape)
{
    if (request.size() < 4)
        return {};
    switch (request[1]) {
    case kReadInputRegisters:
        return ReadStatus(chamber, request, shape);
    case kWriteMultipleRegisters:
        return WriteRegisters(chamber, request);
    default:
        return ExceptionReply(request[0], request[1], kIllegalFunction);
    }
}

}  // namespace sim
