// The overview read's reply handling: arbitrary line bytes through the reply
// scan, the whole-reply outcome and the overview's decoding, whole and split
// into pieces as the receive thread hands them over.
//
// Input: byte 0 the address, byte 1 flags (bit 0: a function byte of its
// own, the low 7 bits of byte 2, instead of 0x04; bit 1: plant a frame with a good
// CRC at the position byte 3 names, its byte count as the stream has it;
// bit 2: plant an exception reply instead), byte 2 the function byte or the
// register count asked for, byte 3 the planting position, byte 4 the seed of
// the cuts into pieces; the rest is the line's bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "link/Rtu.h"
#include "monitoring/LineOwner.h"

namespace {

[[noreturn]] void Mismatch(const char* what)
{
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

uint16_t ReferenceCrc(const uint8_t* bytes, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

// The frame length of a complete, CRC-good reply carrying the registers
// asked for, or of an exception, at p; else 0.
size_t ValidFrameAt(const std::vector<uint8_t>& b, size_t size, size_t p, uint8_t address, uint8_t function,
                    uint8_t registers)
{
    if (p + 1 >= size || b[p] != address)
        return 0;
    size_t length = 0;
    if (b[p + 1] == function) {
        if (p + 2 >= size || b[p + 2] < 2 * registers)
            return 0;
        length = 5u + b[p + 2];
    } else if (b[p + 1] == static_cast<uint8_t>(function | 0x80)) {
        length = 5;
    } else {
        return 0;
    }
    if (p + length > size)
        return 0;
    const uint16_t crc = ReferenceCrc(b.data() + p, length - 2);
    return (b[p + length - 2] == (crc & 0xFF) && b[p + length - 1] == (crc >> 8)) ? length : 0;
}

void CheckScan(const ReplyScan& scan, const std::vector<uint8_t>& b, size_t size, uint8_t address,
               uint8_t function, uint8_t registers)
{
    size_t first = size;
    for (size_t p = 0; p < size && first == size; ++p)
        if (ValidFrameAt(b, size, p, address, function, registers))
            first = p;
    if (scan.state == ReplyScan::State::Incomplete) {
        if (first != size)
            Mismatch("a whole frame with a good CRC was not found");
        return;
    }
    if (scan.offset != first)
        Mismatch("the scan did not take the first whole frame");
    if (scan.offset + scan.length > size || scan.length != ValidFrameAt(b, size, scan.offset, address, function, registers))
        Mismatch("a frame reported whole has the wrong length or CRC");
    const bool exception = b[scan.offset + 1] != function;
    if (exception != (scan.state == ReplyScan::State::Exception))
        Mismatch("exception and reply confused");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    const uint8_t address = data[0];
    const uint8_t flags = data[1];
    // Function codes are 1..127: the high bit is the exception flag.
    const uint8_t function = (flags & 1) ? data[2] & 0x7F : 0x04;
    const uint8_t count = (flags & 1) ? 15 : data[2] % 126;
    std::vector<uint8_t> line(data + 5, data + size);
    uint32_t seed = data[4] * 2654435761u + 1;

    if ((flags & 2) && !line.empty()) {
        const size_t p = data[3] % line.size();
        const bool exception = flags & 4;
        line[p] = address;
        if (p + 1 < line.size())
            line[p + 1] = exception ? static_cast<uint8_t>(function | 0x80) : function;
        if (p + 2 < line.size()) {
            const size_t length = exception ? 5 : 5u + line[p + 2];
            if (p + length <= line.size()) {
                const uint16_t crc = ReferenceCrc(line.data() + p, length - 2);
                line[p + length - 2] = static_cast<uint8_t>(crc & 0xFF);
                line[p + length - 1] = static_cast<uint8_t>(crc >> 8);
            }
        }
    }

    // Whole.
    const ReplyScan whole = ScanReply(line.data(), line.size(), address, function, count);
    CheckScan(whole, line, line.size(), address, function, count);

    // In pieces: the wait ends at the first piece after which the bytes so
    // far hold a whole reply, and the outcome is taken from those bytes.
    std::vector<uint8_t> got;
    ReplyScan stopped;
    bool stop = false;
    size_t at = 0;
    while (at < line.size() && !stop) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = 1 + (seed >> 16) % 64;
        const size_t end = at + piece < line.size() ? at + piece : line.size();
        got.insert(got.end(), line.begin() + at, line.begin() + end);
        at = end;
        stopped = ScanReply(got.data(), got.size(), address, function, count);
        CheckScan(stopped, got, got.size(), address, function, count);
        stop = stopped.state != ReplyScan::State::Incomplete;
    }
    // A reply whole in a part of the bytes is whole in all of them, and
    // nothing before it in all of them can be whole when it was not in the part.
    if (stop != (whole.state != ReplyScan::State::Incomplete))
        Mismatch("pieces and whole disagree on whether a reply came");
    if (stop && whole.offset > stopped.offset)
        Mismatch("the whole bytes took a later frame than the pieces");

    for (bool portLost : {false, true}) {
        const WholeReply reply = WholeReplyOf(got, address, function, count, portLost);
        switch (reply.outcome) {
        case WholeReply::Outcome::Answered:
        case WholeReply::Outcome::Exception: {
            if (reply.frame.size() < 5 || reply.frame[0] != address)
                Mismatch("an answer without its frame");
            const uint16_t crc = ReferenceCrc(reply.frame.data(), reply.frame.size() - 2);
            if (reply.frame[reply.frame.size() - 2] != (crc & 0xFF) || reply.frame.back() != (crc >> 8))
                Mismatch("an answer whose CRC does not check");
            if (reply.outcome == WholeReply::Outcome::Answered &&
                (reply.frame[1] != function || reply.frame.size() != 5u + reply.frame[2]))
                Mismatch("an answer whose length is not its byte count's");
            // The reply must carry every register asked for.
            if (reply.outcome == WholeReply::Outcome::Answered && reply.frame[2] < 2 * count)
                Mismatch("an answer shorter than the registers asked for");
            break;
        }
        case WholeReply::Outcome::PortLost:
            if (!portLost)
                Mismatch("port lost while it was not");
            break;
        case WholeReply::Outcome::Silent:
            if (!got.empty())
                Mismatch("silent although bytes came");
            break;
        case WholeReply::Outcome::Garbled:
            if (got.empty())
                Mismatch("garbled although nothing came");
            break;
        }
        if (function != 0x04 || count != 15)
            continue;
        // The overview's decoding: only what the reply's data holds is read.
        const OverviewRead read = OverviewReadOf(address, reply);
        if (read.answered != (reply.outcome == WholeReply::Outcome::Answered))
            Mismatch("answered differs from the outcome");
        if (!read.answered)
            continue;
        const size_t dataEnd = 3u + reply.frame[2];
        for (int n = 0; n < kStatusWordCount; ++n) {
            const size_t hi = 3u + 2u * n;
            const uint16_t expected =
                hi + 1 < dataEnd ? static_cast<uint16_t>(reply.frame[hi] << 8 | reply.frame[hi + 1]) : 0;
            if (read.reply.words[n] != expected)
                Mismatch("a word taken from beyond the reply's data");
        }
        if ((dataEnd < 3u + 2u * 15u + 2u && read.reply.currentHumidity.accepted) ||
            (dataEnd < 3u + 2u * 16u + 2u && read.reply.setHumidity.accepted))
            Mismatch("a humidity accepted that the reply did not carry");
    }
    return 0;
}
