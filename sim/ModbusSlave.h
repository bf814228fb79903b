// The controller's side of Modbus RTU: how long a request is, and what a
// chamber answers to it. No I/O; the bus simulator does the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/ChamberModel.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kReadInputRegisters = 0x04;
constexpr uint8_t kWriteMultipleRegisters = 0x10;
constexpr size_t kMaxFrame = 256;
// The operator client asks for 15 status words but decodes 17.
constexpr int kStatusRequestCount = 15;

// CRC-16/MODBUS of bytes[0..length-1] (length 1..256).
uint16_t FrameCrc(const uint8_t* bytes, size_t length);
// True when the frame is at least 4 bytes and its last two are its CRC.
bool CrcValid(const Bytes& frame);
// Appends the CRC, low byte first.
void AppendFrameCrc(Bytes* frame);

// Length of the request that starts at bytes[0], as far as the bytes seen so
// far tell: > 0 the whole frame's length; 0 more bytes needed to tell; -1 the
// function has no length rule (the frame ends with the line going silent) or
// the length would exceed a frame.
int RequestLength(const uint8_t* bytes, size_t available);

// Exception reply: address, function | 0x80, code, CRC.
Bytes ExceptionReply(uint8_t address, uint8_t function, uint8_t code);

struct ReplyShape {
    // Answer the 15-word status request with the 15 words only (byte count
    // 30), as a plain Modbus slave would.
    bool fifteenWordsOnly = false;
};

// Carries out a CRC-valid request on the chamber and returns the reply with
// its CRC. Writes are applied only when the reply is not an exception.
Bytes AnswerRequest(ChamberModel& chamber, const Bytes& request, ReplyShape shape = {});

}  // namespace sim
