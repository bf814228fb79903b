// A whole RS-485 line of chamber controllers behind a pseudo-terminal. The
// application opens SlavePath() as its serial port; one serving thread reads
// the requests from the master side and writes the controllers' replies back
// with the timing of a real 57600-baud line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/ChamberModel.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// Misbehaviour of one controller. Everything off by default.
struct Faults {
    // Ignores every request (writes are not applied either).
    bool silent = false;
    // Ignores requests until the k-th one counted since the chamber was added
    // or its count was reset (1-based: 3 = the first two go unanswered).
    int answerFrom = 0;
    // Added to the controller time before the reply.
    std::chrono::milliseconds extraDelay{0};
    // Reply handed over in pieces, as serial hardware does: chunkSizes first
    // (the rest of the reply forms a last piece), else pieces of pieceSize
    // bytes, else chunkCount pieces of about equal size. A piece is written
    // when its last byte has crossed the wire, chunkGap of silence after the
    // piece before: pieceSize 1 with no gap is a reply byte by byte at the
    // wire's pace, pieceSize 14 a 16550 FIFO at its trigger level.
    std::vector<int> chunkSizes;
    int pieceSize = 0;
    int chunkCount = 0;
    std::chrono::microseconds chunkGap{20000};
    // Random pieces: sizes from 1 byte to the whole rest, silences from none
    // to chunkGap, drawn from the seeded generator.
    bool randomPieces = false;
    // A USB adapter's latency timer: the bytes that have crossed the wire are
    // handed over every latencyTimer, the timer running freely from the
    // simulator's start, so a reply is cut wherever a tick falls. Takes the
    // place of the piece options above.
    std::chrono::microseconds latencyTimer{0};
    // Bytes written in front of the reply, in the same write: noiseBytes when
    // given, else noiseCount random bytes.
    std::vector<uint8_t> noiseBytes;
    int noiseCount = 0;
    // The reply's CRC is wrong.
    bool badCrc = false;
    // Status reads are answered with exception 04 (0x84 04) instead.
    bool exceptionReply = false;
    // The 15-word status read gets the 15 words only (byte count 30).
    bool fifteenWordsOnly = false;
    // Writes (function 0x10) are refused with this exception code instead of
    // being echoed, and not applied; 0: off.
    uint8_t writeException = 0;
    // The echo of a good write comes back changed, its CRC made good again:
    // from another address (the next one), for the next first register, or
    // for one register more. The write is applied all the same.
    enum class Echo { Faithful, OtherAddress, OtherRegister, OtherCount };
    Echo echo = Echo::Faithful;
    // Each request has this chance of one random fault: ignored, late by
    // 100..1000 ms, split in two (chunkGap apart), 1..4 noise bytes, bad CRC,
    // and for status reads also exception or short reply. Seeded (SetSeed).
    double faultRate = 0.0;
};

// Bytes seen or written on the line, with the moment they were.
struct LineFrame {
    std::vector<uint8_t> bytes;
    Clock::time_point time;
};

class BusSimulator {
public:
    static constexpr int kMaxAddress = 250;
    static constexpr int kBaud = 57600;

    BusSimulator();
    ~BusSimulator();  // Stop()
    BusSimulator(const BusSimulator&) = delete;
    BusSimulator& operator=(const BusSimulator&) = delete;

    // Creates the pseudo-terminal and starts serving. False with *error set
    // (if error is not null) when it cannot; false also when already running.
    bool Start(std::string* error);
    // Ends the serving thread and closes the line. Safe to call twice.
    void Stop();
    // Stop, then Start on a new pseudo-terminal (a new SlavePath()).
    // Chambers, faults and logs are kept.
    bool Restart(std::string* error);
    bool Running() const;
    // "/dev/pts/N" while running, empty before the first Start.
    std::string SlavePath() const;

    // Chambers, 0..250. There is no broadcast on this bus: address 0 is
    // answered only when a chamber sits at 0. False for an address out of
    // range or (Add) already taken / (Remove) not present.
    bool AddChamber(int address);
    bool RemoveChamber(int address);
    bool HasChamber(int address) const;
    std::vector<int> Chambers() const;
    // Runs fn on the chamber's model under the simulator's lock; false when
    // there is no such chamber. fn must not call back into the simulator.
    bool WithChamber(int address, const std::function<void(ChamberModel&)>& fn);

    bool SetFaults(int address, const Faults& faults);
    Faults GetFaults(int address) const;  // default Faults when absent
    // CRC-valid requests addressed to the chamber since it was added or reset.
    int RequestCount(int address) const;
    bool ResetRequestCount(int address);

    // Simulated seconds per real second for every chamber, present and future
    // (0 freezes the models). Default 1.
    void SetSpeed(double simulatedPerReal);
    double Speed() const;
    // Controller time between the end of a request and the start of the reply.
    // Default 3 ms.
    void SetControllerDelay(std::chrono::microseconds delay);
    // Silence after which received bytes that do not make a frame are dropped.
    // Default 20 ms: the master waits far longer between its requests.
    void SetFrameSilence(std::chrono::microseconds silence);
    // Seed of the fault and noise generator (default 1).
    void SetSeed(uint32_t seed);
    // Called on the serving thread with one line per received frame, reply,
    // dropped fragment and line event. Must not call back into the simulator.
    void SetLogger(std::function<void(const std::string&)> logger);

    // Every CRC-valid frame received, in order, with its arrival time;
    // frames for absent chambers included.
    std::vector<LineFrame> ReceivedFrames() const;
    void ClearReceivedFrames();
    // Waits until at least count frames are logged; false on timeout.
    bool WaitForReceivedFrames(size_t count, std::chrono::milliseconds timeout) const;
    // Every write the simulator made to the line (reply pieces with their
    // noise, injected bytes), in order, with the time of the write. A write
    // is logged just after it is made, so a reader may see the bytes first:
    // WaitUntilIdle() or WaitForSentWrites() before looking.
    std::vector<LineFrame> SentWrites() const;
    void ClearSentWrites();
    bool WaitForSentWrites(size_t count, std::chrono::milliseconds timeout) const;
    // Waits until every reply to the frames received so far has been written
    // and no partial frame is waiting; false on timeout.
    bool WaitUntilIdle(std::chrono::milliseconds timeout) const;
    // Frames whose CRC did not match (dropped). A frame is judged bad only
    // once the line has gone quiet after it (SetFrameSilence), since its
    // length rule may have been fooled by a wrong byte count.
    size_t BadCrcCount() const;
    // Byte runs dropped after a silence because they made no frame.
    size_t DroppedFragmentCount() const;

    // Strict: every CRC-valid request that arrives while a reply (of any
    // chamber) is still due is recorded as a collision; a test fails on any.
    void SetStrict(bool strict);
    std::vector<std::string> Collisions() const;
    // Writes raw bytes to the line at once (noise as the application sees it).
    bool InjectBytes(const std::vector<uint8_t>& bytes);
    // The adapter disappears: closes the master side and the simulator's own
    // slave descriptor, so the application gets a hang-up / EIO. The serving
    // thread stays until Stop(); Restart() gives a new line.
    void CloseLine();
    bool LineOpen() const;

    // Wire time of n bytes at 57600 baud, 10 bits a byte.
    static std::chrono::microseconds WireTime(size_t bytes);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Text of bytes as "01 04 00 0F", for logs and test messages.
std::string HexBytes(const std::vector<uint8_t>& bytes);

}  // namespace sim
