// The field-bus link: the one serial port, its receive thread, the shared
// receive buffer, and the single read exchange every request/reply is made of.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/PortHolder.h"
#include "link/SerialPort.h"
#include "link/Waits.h"
#include "link/Rtu.h"

constexpr int kReceiveBufferSize = 256;
using ReceiveBytes = std::array<uint8_t, kReceiveBufferSize>;

// Descriptor of the open port; kNoPort before the first open and after a
// failed one.
extern int PortHandle;

// Port names as the operator picks them: index 0..4 gives "COM1".."COM5",
// anything else "COM1".
std::string PortNameForIndex(int selectionIndex);

// CALVETRA_COMn in the environment, otherwise the operator's mapping
// (SetPortMapping), otherwise /dev/ttyS<n-1>.
std::string DevicePathForPort(const std::string& portName);

// The operator's own device for "COM1".."COM5" (number 1..5); an empty path
// drops it again. Set on the user-interface thread only.
void SetPortMapping(int number, const std::string& devicePath);

struct PortOpenResult {
    bool ok = false;
    std::string portName;
    std::string devicePath;
    int error = 0;          // errno of the failed step
    // The program holding a busy device's lock, where /proc tells (0 /
    // empty if not).
    int holderPid = 0;
    std::string holderName;
    // Who may open a device that refused us (filled on EACCES and EPERM).
    DeviceAccess access;
};

// Ends the running receive thread, closes the old port, opens the chosen one
// and starts a new receive thread (also after a failed open, which then never
// receives anything).
PortOpenResult OpenPort(int selectionIndex);
// The same for a device picked by its path; portName is what the operator saw.
PortOpenResult OpenPortDevice(const std::string& portName, const std::string& devicePath);

// Set by the receive thread the moment it stops watching a port that hung
// up or failed (the adapter was pulled out); cleared by every open. Read
// without a lock from any thread.
bool PortLost();
// Called on the receive thread the moment the port is lost, so that the
// window need not look every so often; it must return at once. Null: none.
using PortLostHook = void (*)();
void SetPortLostHook(PortLostHook hook);

// Every frame written and every chunk stored goes to this hook, on the
// writing or the receiving thread, once the write has been tried; it must
// return at once and never block. Null (the default) records nothing.
// NotSent: a frame the driver did not take whole (no port, a dead one).
enum class TrafficDirection : uint8_t { Sent, Received, NotSent };
// timeUs: wall clock in µs since the epoch; for a frame, taken before the
// write, so that it stands before its reply whenever the hook runs.
using TrafficHook = void (*)(TrafficDirection direction, const uint8_t* bytes, int length, int64_t timeUs);
void SetTrafficHook(TrafficHook hook);

// Stops the receive thread and closes the port. Harmless when nothing is open.
void ClosePort();

// Hands a whole frame to the driver without waiting for it to be sent.
void WriteFrame(const uint8_t* frame, int length);
// The same; false when the driver did not take the whole frame.
bool WriteFrameTaken(const uint8_t* frame, int length);

// ReceiveBuffer: each chunk the receive thread reads lands at offset 0; bytes
// beyond the chunk keep what they held. Copy, clearing and scan each see the
// buffer whole.
void StoreChunk(const uint8_t* bytes, int length);
void ClearReceiveBuffer();  // bytes 0..254; byte 255 keeps its value
ReceiveBytes ReceiveBufferSnapshot();

// Number of receive loops running now (one while a port is open).
int RunningReceiveThreads();

// The frame gap: the receive thread takes the bytes waiting as one chunk once
// they have stopped growing for this long (or as soon as a whole buffer's
// worth waits), so a reply that an adapter hands over in pieces lands whole.
// The operator may set it in whole or decimal milliseconds with
// CALVETRA_FRAME_GAP_MS; values outside the range are clamped.
constexpr int kDefaultFrameGapUs = 20000;
constexpr int kMinFrameGapUs = 1000;    // above 3.5 characters at 57600 baud (608 us)
constexpr int kMaxFrameGapUs = 100000;  // well inside the shortest reply wait, 160 ms
constexpr int kWireSilenceUs = 608;     // 3.5 characters: the least gap even in shortened tests

struct FrameGapSetting {
    int us = kDefaultFrameGapUs;
    std::string warning;  // empty when the text was taken as it stands
};

// The gap from the environment variable's text (nullptr or "" for unset).
FrameGapSetting FrameGapFromText(const char* text);

// The gap now in force: the one read at the last OpenPort, shortened with the
// other waits in tests but never below kWireSilenceUs.
int FrameGapUs();

void SendReadRequest(uint8_t address, uint8_t function, uint8_t count);
bool FindReply(int address, uint8_t function);

// One attempt: clear, purge output then input, send, sleep wait ms, search.
bool ReadExchange(int address, uint8_t function, uint8_t count, int wait);

// A request whose reply is taken the moment it is whole (its length from its
// byte count, its CRC checked), or given up after timeoutMs (not scaled: it
// is a setting, not one of the fixed waits). The request goes out on the
// calling thread; the bytes come from the receive thread as they arrive and
// never touch the receive buffer.
struct WholeReply {
    enum class Outcome { Answered, Exception, Silent, Garbled, PortLost };
    Outcome outcome = Outcome::Silent;
    std::vector<uint8_t> frame;  // the reply (or exception) from its address byte
    std::chrono::microseconds took{0};  // from the request's write to the end
};
WholeReply ReadWholeReply(uint8_t address, uint8_t function, uint8_t count, int timeoutMs);
// What the bytes collected for one such request make of it (took left 0).
WholeReply WholeReplyOf(const std::vector<uint8_t>& bytes, uint8_t address, uint8_t function, uint8_t count,
                        bool portLost);

// A function-0x10 write and the chamber's answer to it, taken with the same
// collector during the fixed pause that follows every control frame. The
// frame goes out as it is; the call returns when the pause (from the write;
// shortened in tests, never below 100 ms) is over, never earlier, however
// soon the answer came. Only the
// chamber's echo of the write (its address, 0x10, the first register and the
// count written, a good CRC) confirms it: an echo of another address,
// register or count is none. An exception reply (0x90, its code) refuses it.
struct WriteReply {
    bool sent = false;  // the driver took the whole frame
    // Answered: the echo; Exception: a refusal (frame holds it); Silent: no
    // byte; Garbled: bytes that are no answer to this write; PortLost: the
    // adapter went during the pause.
    WholeReply::Outcome outcome = WholeReply::Outcome::Silent;
    std::vector<uint8_t> frame;  // the echo or the exception reply
    // The exception code of a refusal, 0 otherwise.
    uint8_t ExceptionCode() const { return outcome == WholeReply::Outcome::Exception && frame.size() > 2 ? frame[2] : 0; }
};
WriteReply WriteWithReply(const uint8_t* frame, int length, int pauseMs);
// What the bytes collected after a write make of it (sent left false).
WriteReply WriteReplyOf(const std::vector<uint8_t>& bytes, const uint8_t* request, int length, bool portLost);
