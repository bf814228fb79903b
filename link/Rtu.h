// Modbus RTU framing: CRC, the read request, and the search for a reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF, no final xor) over the
// inclusive index range first..last of a 256-byte frame array. A range with
// last < first gives 0xFFFF. Frames carry the low byte first.
uint16_t Crc16(uint8_t first, uint8_t last, const uint8_t* bytes);

// Appends the CRC of bytes 0..length-1 at frame[length], frame[length+1]
// (low byte first) and returns the new length.
size_t AppendCrc(uint8_t* frame, size_t length);

// The 8-byte read request: address, function, first register 0, count, CRC.
std::array<uint8_t, 8> BuildReadRequest(uint8_t address, uint8_t function, uint8_t count);

// True when some position p in 0..254 holds address at p and function at p+1.
// Only the pair is looked at; CRC and byte count of a reply are never checked.
bool FindReplyIn(const std::array<uint8_t, 256>& buffer, int address, uint8_t function);

// Where a whole reply to (address, function) stands in bytes received so
// far: the first position holding the address and the function (or the
// function with the exception flag) whose frame is complete by its byte
// count (five bytes for an exception) and whose CRC checks. Bytes before it
// are noise; a candidate whose CRC fails, or whose byte count is short of
// the registers asked for (a reply to some other request), is passed over:
// what it lacks would otherwise be read as values.
struct ReplyScan {
    enum class State { Incomplete, Whole, Exception };
    State state = State::Incomplete;
    size_t offset = 0;
    size_t length = 0;
};
ReplyScan ScanReply(const uint8_t* bytes, size_t count, uint8_t address, uint8_t function, uint8_t registers);
