// The exchanges made of a request and its reply.
#include "link/PortUnit.h"
#include "link/ReceiveThread.h"
#include "link/TrafficHook.h"

#include <algorithm>
#include <thread>

namespace {

constexpr int kLeastAnswerWindowMs = 100;
constexpr std::chrono::milliseconds kAbandonCheck{50};

// The frame check of an answer, over its bytes before the CRC.
bool AnswerCrcChecks(const uint8_t* bytes, size_t length)
{
    const uint16_t crc = Crc16(0, static_cast<uint8_t>(length - 3), bytes);
    return bytes[length - 2] == (crc & 0xFF) && bytes[length - 1] == (crc >> 8);
}

// Where the answer to a function-0x10 write stands in the bytes received
// after it: the first position holding the write's address with the echo
// (0x10, the first register and the count the write carried, a good CRC) or
// an exception reply (0x90, a code, a good CRC). An echo of another register
// or count, or any answer of another address, is passed over: it answers
// some other write.
ReplyScan ScanWriteAnswer(const uint8_t* bytes, size_t count, const uint8_t* request)
{
    constexpr size_t kEchoLength = 8;
    constexpr size_t kExceptionLength = 5;
    ReplyScan scan;
    const uint8_t address = request[0];
    const uint8_t function = request[1];
    const uint8_t exception = static_cast<uint8_t>(function | 0x80);
    for (size_t at = 0; at + 1 < count; ++at) {
        if (bytes[at] != address)
            continue;
        const uint8_t* b = bytes + at;
        if (b[1] == function && at + kEchoLength <= count && b[2] == request[2] && b[3] == request[3] &&
            b[4] == request[4] && b[5] == request[5] && AnswerCrcChecks(b, kEchoLength)) {
            scan.state = ReplyScan::State::Whole;
            scan.length = kEchoLength;
        } else if (b[1] == exception && at + kExceptionLength <= count && AnswerCrcChecks(b, kExceptionLength)) {
            scan.state = ReplyScan::State::Exception;
            scan.length = kExceptionLength;
        } else {
            continue;
        }
        scan.offset = at;
        return scan;
    }
    return scan;
}

}  // namespace

bool WriteFrameTaken(const uint8_t* frame, int length)
{
    if (length <= 0)
        return false;
    // Recorded after the write, as what really left the computer, with the
    // time it was handed over.
    const int64_t startedUs = WallClockUs();
    const bool sent = WriteBytes(PortHandle, frame, static_cast<size_t>(length));
    ReportTraffic(sent ? TrafficDirection::Sent : TrafficDirection::NotSent, frame, length, startedUs);
    return sent;
}

void WriteFrame(const uint8_t* frame, int length) { WriteFrameTaken(frame, length); }

void SendReadRequest(uint8_t address, uint8_t function, uint8_t count)
{
    const auto frame = BuildReadRequest(address, function, count);
    WriteFrame(frame.data(), static_cast<int>(frame.size()));
}

bool FindReply(int address, uint8_t function)
{
    return FindReplyIn(ReceiveBufferSnapshot(), address, function);
}

bool ReadExchange(int address, uint8_t function, uint8_t count, int wait)
{
    ClearReceiveBuffer();
    PurgeOutput(PortHandle);
    PurgeInput(PortHandle);
    SendReadRequest(static_cast<uint8_t>(address & 0xFF), function, count);
    Sleep(wait);
    return FindReply(address, function);
}

WholeReply ReadWholeReply(uint8_t address, uint8_t function, uint8_t count, int timeoutMs)
{
    WholeReply result;
    if (PortLost()) {
        result.outcome = WholeReply::Outcome::PortLost;
        return result;
    }
    PurgeOutput(PortHandle);
    PurgeInput(PortHandle);
    BeginCollecting();
    const auto start = std::chrono::steady_clock::now();
    const auto frame = BuildReadRequest(address, function, count);
    WriteFrame(frame.data(), static_cast<int>(frame.size()));
    ReplyScan scan;
    WaitCollected(
        [&](const std::vector<uint8_t>& bytes) {
            scan = ScanReply(bytes.data(), bytes.size(), address, function, count);
            return scan.state != ReplyScan::State::Incomplete;
        },
        start + std::chrono::milliseconds(timeoutMs));
    const std::vector<uint8_t> bytes = EndCollecting();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    result = WholeReplyOf(bytes, address, function, count, PortLost());
    result.took = took;
    return result;
}

WholeReply WholeReplyOf(const std::vector<uint8_t>& bytes, uint8_t address, uint8_t function, uint8_t count,
                        bool portLost)
{
    WholeReply result;
    const ReplyScan scan = ScanReply(bytes.data(), bytes.size(), address, function, count);
    switch (scan.state) {
    case ReplyScan::State::Whole:
        result.outcome = WholeReply::Outcome::Answered;
        result.frame.assign(bytes.begin() + scan.offset, bytes.begin() + scan.offset + scan.length);
        break;
    case ReplyScan::State::Exception:
        result.outcome = WholeReply::Outcome::Exception;
        result.frame.assign(bytes.begin() + scan.offset, bytes.begin() + scan.offset + scan.length);
        break;
    case ReplyScan::State::Incomplete:
        result.outcome = portLost        ? WholeReply::Outcome::PortLost
                         : bytes.empty() ? WholeReply::Outcome::Silent
                                         : WholeReply::Outcome::Garbled;
        break;
    }
    return result;
}

WriteReply WriteWithReply(const uint8_t* frame, int length, int pauseMs)
{
    // Bytes that came before the write answer something else; the collector
    // takes only what arrives from here on.
    PurgeInput(PortHandle);
    BeginCollecting();
    const bool sent = WriteFrameTaken(frame, length);
    // The pause runs from the write, as it always has. Shortened with the
    // other waits in tests, but never below what a chamber needs to answer:
    // its controller time and the answer's time on the wire do not shrink.
    const int pause = std::max(ScaledMs(pauseMs), std::min(pauseMs, kLeastAnswerWindowMs));
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(pause);
    if (sent && length >= 8) {
        const auto whole = [&](const std::vector<uint8_t>& bytes) {
            return ScanWriteAnswer(bytes.data(), bytes.size(), frame).state != ReplyScan::State::Incomplete;
        };
        // In slices, so that the program's closing ends the wait soon.
        for (auto slice = std::chrono::steady_clock::now(); slice < end && !WaitsAbandoned();) {
            slice = std::min(end, slice + kAbandonCheck);
            if (WaitCollected(whole, slice) || PortLost())
                break;
        }
    }
    const std::vector<uint8_t> bytes = EndCollecting();
    WriteReply reply = length >= 8 ? WriteReplyOf(bytes, frame, length, PortLost()) : WriteReply{};
    reply.sent = sent;
    SleepUntil(end);
    return reply;
}

WriteReply WriteReplyOf(const std::vector<uint8_t>& bytes, const uint8_t* request, int length, bool portLost)
{
    WriteReply reply;
    if (length < 8)
        return reply;
    const ReplyScan scan = ScanWriteAnswer(bytes.data(), bytes.size(), request);
    switch (scan.state) {
    case ReplyScan::State::Whole:
        reply.outcome = WholeReply::Outcome::Answered;
        break;
    case ReplyScan::State::Exception:
        reply.outcome = WholeReply::Outcome::Exception;
        break;
    case ReplyScan::State::Incomplete:
        reply.outcome = portLost        ? WholeReply::Outcome::PortLost
                        : bytes.empty() ? WholeReply::Outcome::Silent
                                        : WholeReply::Outcome::Garbled;
        return reply;
    }
    reply.frame.assign(bytes.begin() + scan.offset, bytes.begin() + scan.offset + scan.length);
    return reply;
}
