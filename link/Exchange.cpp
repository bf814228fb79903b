// The exchanges made of a request and its reply.
#include "link/PortUnit.h"
#include "link/ReceiveThread.h"
#include "link/TrafficHook.h"

void WriteFrame(const uint8_t* frame, int length)
{
    if (length <= 0)
        return;
    // Recorded after the write, as what really left the computer, with the
    // time it was handed over.
    const int64_t startedUs = WallClockUs();
    const bool sent = WriteBytes(PortHandle, frame, static_cast<size_t>(length));
    ReportTraffic(sent ? TrafficDirection::Sent : TrafficDirection::NotSent, frame, length, startedUs);
}

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
