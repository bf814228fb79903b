// Modbus TCP framing: a gateway carries the same requests as the serial line,
// each behind a seven-byte header (transaction, protocol 0, length, unit) and
// without the CRC. The transport turns a request into this form and every
// reply back into the RTU frame the line would have carried, so that nothing
// above the transport knows which kind of line it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kMbapHeaderSize = 7;  // transaction, protocol, length, unit
// The largest frame a gateway sends: unit and a PDU of at most 253 bytes.
constexpr size_t kMbapMaxLength = 254;

// The request for a gateway from a whole RTU frame (address, PDU, CRC; the
// CRC is dropped, the address becomes the unit). Empty when the frame is too
// short to hold an address, a function and a CRC, or too long.
std::vector<uint8_t> MbapRequestOf(const uint8_t* rtu, size_t length, uint16_t transaction);

// The next frame at the start of a gateway's byte stream.
struct MbapFrame {
    // Incomplete: more bytes are needed. Whole: rtu holds the frame as the
    // serial line carries it (unit, PDU, a CRC computed here). Broken: the
    // header cannot be a frame's (protocol not 0, a length of 0, 1 or
    // beyond kMbapMaxLength): nothing later in the stream can be trusted.
    enum class State { Incomplete, Whole, Broken };
    State state = State::Incomplete;
    uint16_t transaction = 0;
    size_t consumed = 0;  // bytes of the stream this frame took
    std::vector<uint8_t> rtu;
};
MbapFrame NextMbapFrame(const uint8_t* bytes, size_t count);
