// What stands between a lab's network and an RS-485 line: a serial device
// server in raw TCP mode (the line's bytes as they are) or a Modbus TCP
// gateway (each request behind a seven-byte header, no CRC, and its reply
// wrapped the same way). It opens the simulated line's terminal as a client
// would and serves one TCP connection at a time, as such boxes do.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

class TcpGateway {
public:
    enum class Mode { RawRtu, ModbusTcp };
    struct Options {
        Mode mode = Mode::RawRtu;
        std::string linePath;        // the terminal the line's controllers answer on
        std::string host = "127.0.0.1";
        uint16_t port = 0;           // 0: any free port (Port() tells which)
        // Every byte of a reply in a TCP segment of its own, pieceGap apart:
        // a reply in any segmentation reaches the client.
        bool byteByByte = false;
        std::chrono::microseconds pieceGap{0};
        // Modbus TCP: how long a reply from the line is waited for; a silent
        // controller then gets exception 0x0B (target failed to respond) when
        // answerTargetFailure is set, nothing otherwise.
        std::chrono::milliseconds replyTimeout{1000};
        bool answerTargetFailure = false;
    };

    TcpGateway() = default;
    ~TcpGateway();  // Stop()
    TcpGateway(const TcpGateway&) = delete;
    TcpGateway& operator=(const TcpGateway&) = delete;

    // Opens the line and starts listening. False with *error when either fails.
    bool Start(const Options& options, std::string* error);
    void Stop();
    uint16_t Port() const { return m_port.load(); }

    // Closes the client's connection as a box does on a restart; the next one is accepted.
    void DropConnection();
    // Connections accepted so far; those refused while one was open.
    int Accepted() const { return m_accepted.load(); }
    int Refused() const { return m_refused.load(); }

private:
    void Serve();
    void ServeClient(int client);
    void RelayRaw(int client);
    void RelayModbusTcp(int client);
    bool ForwardRequest(int client, const uint8_t* adu, size_t length);
    void SendToClient(int client, const uint8_t* bytes, size_t length);
    void RefuseWaiting();

    Options m_options;
    int m_line = -1;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<uint16_t> m_port{0};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_drop{false};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_refused{0};
    std::thread m_thread;
};

}  // namespace sim
