// One line of chambers as a scheduler of its own reaches it: a serial
// device, a serial device server's raw TCP port, or a Modbus TCP gateway.
// Above this interface nothing knows which: a request goes out as an RTU
// frame and its reply comes back as the RTU frame the serial line would have
// carried. A transport belongs to one thread (its line's scheduler); its
// exchanges block that thread only, never another line's.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/PortUnit.h"

enum class TransportKind { Serial, RtuOverTcp, ModbusTcp };

// Exception codes a Modbus TCP gateway answers with for a controller behind
// it that it could not reach: no answer of the chamber's, not a refusal.
constexpr uint8_t kGatewayPathUnavailable = 0x0A;
constexpr uint8_t kGatewayTargetFailed = 0x0B;

struct TransportAddress {
    TransportKind kind = TransportKind::Serial;
    std::string device;  // Serial
    std::string host;    // the TCP kinds
    uint16_t port = 0;
};

// "host:port" as a configuration gives it (IPv4, a name, or [IPv6]); false
// with the reason when it does not parse or the port is not 1..65535.
bool ParseTcpAddress(const std::string& text, std::string* host, uint16_t* port, std::string* reason);
// "serial /dev/ttyUSB0", "rtu-over-tcp 10.0.0.5:4001", "modbus-tcp 10.0.0.6:502".
std::string TransportText(const TransportAddress& address);

class Transport {
public:
    virtual ~Transport() = default;

    // Opens the device or makes the connection (within timeoutMs for TCP);
    // false with the reason (the system's words). Closes what was open first.
    virtual bool Open(int timeoutMs, std::string* reason) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    const TransportAddress& Address() const { return m_address; }

    // A read request whose reply is taken the moment it is whole, or given
    // up after timeoutMs, with the outcomes of the serial port's whole-reply
    // read (a gateway's 0x0A and 0x0B exceptions are Silent). PortLost: the device went or the connection dropped; the
    // transport is closed then and must be opened again.
    virtual WholeReply Read(uint8_t address, uint8_t function, uint8_t count, int timeoutMs);
    // A function-0x10 write and the chamber's echo (or refusal), taken the
    // moment it is whole or given up after timeoutMs.
    virtual WriteReply Write(const uint8_t* frame, int length, int timeoutMs);

protected:
    explicit Transport(TransportAddress address) : m_address(std::move(address)) {}
    // Hands one RTU frame to the line in this line's form; false when it was
    // not taken whole.
    virtual bool Send(const uint8_t* frame, size_t length) = 0;
    // Waits until bytes come or the deadline passes, appending what came (as
    // RTU bytes) to *bytes; false when the line is lost.
    virtual bool Receive(std::vector<uint8_t>* bytes, std::chrono::steady_clock::time_point deadline) = 0;
    // Bytes that came before a request answer something else.
    virtual void DropInput() = 0;

private:
    template <typename Whole>
    std::vector<uint8_t> Collect(const uint8_t* frame, size_t length, int timeoutMs, const Whole& whole, bool* lost,
                                 bool* sent);
    TransportAddress m_address;
};

std::unique_ptr<Transport> MakeTransport(const TransportAddress& address);
