#include "link/Rtu.h"

uint16_t Crc16(uint8_t first, uint8_t last, const uint8_t* bytes)
{
    uint16_t crc = 0xFFFF;
    if (last < first)
        return crc;
    for (int i = first; i <= last; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

size_t AppendCrc(uint8_t* frame, size_t length)
{
    // Frames never exceed 256 bytes, so the last data index fits in 8 bits.
    const uint16_t crc = length == 0 ? 0xFFFF : Crc16(0, static_cast<uint8_t>(length - 1), frame);
    frame[length] = static_cast<uint8_t>(crc & 0xFF);
    frame[length + 1] = static_cast<uint8_t>(crc >> 8);
    return length + 2;
}

std::array<uint8_t, 8> BuildReadRequest(uint8_t address, uint8_t function, uint8_t count)
{
    std::array<uint8_t, 8> frame{address, function, 0x00, 0x00, 0x00, count, 0, 0};
    AppendCrc(frame.data(), 6);
    return frame;
}

bool FindReplyIn(const std::array<uint8_t, 256>& buffer, int address, uint8_t function)
{
    // The pair may sit anywhere, even inside other bytes: the chambers are
    // recognised by these two bytes alone.
    for (int p = 0; p <= 254; ++p)
        if (buffer[p] == address && buffer[p + 1] == function)
            return true;
    return false;
}

namespace {

bool CrcChecks(const uint8_t* frame, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i + 2 < length; ++i) {
        crc ^= frame[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

}  // namespace

ReplyScan ScanReply(const uint8_t* bytes, size_t count, uint8_t address, uint8_t function, uint8_t registers)
{
    ReplyScan scan;
    const uint8_t exception = static_cast<uint8_t>(function | 0x80);
    for (size_t at = 0; at + 1 < count; ++at) {
        if (bytes[at] != address)
            continue;
        size_t length = 0;
        if (bytes[at + 1] == function && at + 2 < count && bytes[at + 2] >= 2u * registers)
            length = 3u + bytes[at + 2] + 2u;
        else if (bytes[at + 1] == exception)
            length = 5;
        if (length == 0 || at + length > count || !CrcChecks(bytes + at, length))
            continue;
        scan.state = bytes[at + 1] == function ? ReplyScan::State::Whole : ReplyScan::State::Exception;
        scan.offset = at;
        scan.length = length;
        return scan;
    }
    return scan;
}
