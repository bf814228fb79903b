#include "sim/BusSimulator.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <pty.h>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include "sim/ModbusSlave.h"

namespace sim {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// The models move on this often even when nobody asks.
constexpr milliseconds kModelTick{50};

std::string ErrnoText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

void SetError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

enum class RandomFault { Ignore, Late, Split, Noise, BadCrc, Exception, Short, Count };

struct Chamber {
    ChamberModel model;
    Faults faults;
    int requests = 0;
    std::mt19937 rng;
};

struct Piece {
    Bytes bytes;
    Clock::duration silenceBefore{};
};

struct Pending {
    Clock::time_point due;
    Bytes bytes;
    // For the later pieces of a split reply: the least time after the write
    // of the piece before, so a late write never shortens the gap.
    bool chained = false;
    Clock::duration after{};
};

}  // namespace

std::string HexBytes(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char hex[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", bytes[i]);
        text += hex;
    }
    return text;
}

microseconds BusSimulator::WireTime(size_t bytes)
{
    return microseconds(bytes * 10 * 1000000 / kBaud);
}

struct BusSimulator::Impl {
    // Shared state, under mu.
    mutable std::mutex mu;
    mutable std::condition_variable changed;
    std::map<int, Chamber> chambers;
    double speed = 1.0;
    microseconds controllerDelay{3000};
    microseconds silence{20000};
    uint32_t seed = 1;
    std::function<void(const std::string&)> logger;
    std::vector<LineFrame> received;
    std::vector<LineFrame> sent;
    size_t badCrc = 0;
    size_t dropped = 0;
    bool strict = false;
    std::vector<std::string> collisions;
    std::string slavePath;
    bool running = false;
    bool closeRequested = false;
    bool idle = true;  // nothing received that is still to be answered

    // The line. Writes from any thread go under ioMu; only the serving thread
    // (or a caller while no thread runs) closes the descriptors, so the
    // thread never polls a descriptor that was closed under it.
    mutable std::mutex ioMu;
    int masterFd = -1;
    int slaveFd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};

    // Serving thread only.
    Bytes input;
    Clock::time_point lastByte;
    Clock::time_point lastTick;
    Clock::time_point lineFree;
    // An adapter's latency timer ticks at whole periods from here.
    Clock::time_point timerEpoch = Clock::now();
    std::deque<Pending> pending;
    std::vector<std::string> logLines;

    void Serve();
    void ReadLine(Clock::time_point now);
    void ExtractFrames(Clock::time_point now);
    void FlushAfterSilence(Clock::time_point now);
    void HandleFrame(const Bytes& frame, Clock::time_point at);
    void AdvanceModelsLocked(Clock::time_point now);
    void WriteDue(Clock::time_point now);
    Clock::time_point ScheduleThroughLatencyTimer(const std::vector<Piece>& pieces, Clock::time_point start,
                                                  Clock::duration period);
    void CloseDescriptors();
    void Log(std::string line) { logLines.push_back(std::move(line)); }
    void EmitLogs();
    void Wake() const
    {
        const uint64_t one = 1;
        if (wakeFd >= 0)
            (void)!::write(wakeFd, &one, sizeof one);
    }
};

BusSimulator::BusSimulator() : impl_(std::make_unique<Impl>()) {}

BusSimulator::~BusSimulator()
{
    Stop();
}

bool BusSimulator::Start(std::string* error)
{
    Impl& d = *impl_;
    if (Running()) {
        SetError(error, "simulator already running");
        return false;
    }
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        SetError(error, ErrnoText("openpty"));
        return false;
    }
    char name[128] = {};
    termios tio{};
    bool ok = ::ptsname_r(master, name, sizeof name) == 0 && ::tcgetattr(slave, &tio) == 0;
    if (ok) {
        // Raw both ways: Modbus data holds 0x11, 0x13, CR and LF.
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&tio, B57600);
        ::cfsetospeed(&tio, B57600);
        ok = ::tcsetattr(slave, TCSANOW, &tio) == 0;
    }
    ok = ok && ::fcntl(master, F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(slave, F_SETFD, FD_CLOEXEC) == 0 &&
         ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) == 0;
    const int wake = ok ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (!ok || wake < 0) {
        SetError(error, ErrnoText("pseudo-terminal setup"));
        ::close(master);
        ::close(slave);
        return false;
    }

    {
        std::lock_guard<std::mutex> io(d.ioMu);
        d.masterFd = master;
        // Kept open for the simulator's whole life: without it the master side
        // hangs up each time the application closes its port.
        d.slaveFd = slave;
    }
    d.wakeFd = wake;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.slavePath = name;
        d.running = true;
        d.closeRequested = false;
    }
    d.stopping = false;
    d.input.clear();
    d.pending.clear();
    d.thread = std::thread([&d] { d.Serve(); });
    return true;
}

void BusSimulator::Stop()
{
    Impl& d = *impl_;
    if (!d.thread.joinable())
        return;
    d.stopping = true;
    d.Wake();
    d.thread.join();
    d.CloseDescriptors();
    ::close(d.wakeFd);
    d.wakeFd = -1;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.running = false;
        d.closeRequested = false;
        d.idle = true;
    }
    d.changed.notify_all();
}

bool BusSimulator::Restart(std::string* error)
{
    Stop();
    return Start(error);
}

bool BusSimulator::Running() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->running;
}

std::string BusSimulator::SlavePath() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->slavePath;
}

bool BusSimulator::AddChamber(int address)
{
    if (address < 0 || address > kMaxAddress)
        return false;
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->chambers.count(address))
        return false;
    Chamber& c = impl_->chambers[address];
    c.model.SetSpeed(impl_->speed);
    c.rng.seed(impl_->seed + static_cast<uint32_t>(address));
    return true;
}

bool BusSimulator::RemoveChamber(int address)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->chambers.erase(address) > 0;
}

bool BusSimulator::HasChamber(int address) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->chambers.count(address) > 0;
}

std::vector<int> BusSimulator::Chambers() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<int> addresses;
    for (const auto& entry : impl_->chambers)
        addresses.push_back(entry.first);
    return addresses;
}

bool BusSimulator::WithChamber(int address, const std::function<void(ChamberModel&)>& fn)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->chambers.find(address);
    if (it == impl_->chambers.end())
        return false;
    fn(it->second.model);
    return true;
}

bool BusSimulator::SetFaults(int address, const Faults& faults)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->chambers.find(address);
    if (it == impl_->chambers.end())
        return false;
    it->second.faults = faults;
    return true;
}

Faults BusSimulator::GetFaults(int address) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->chambers.find(address);
    return it == impl_->chambers.end() ? Faults{} : it->second.faults;
}

int BusSimulator::RequestCount(int address) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->chambers.find(address);
    return it == impl_->chambers.end() ? 0 : it->second.requests;
}

bool BusSimulator::ResetRequestCount(int address)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->chambers.find(address);
    if (it == impl_->chambers.end())
        return false;
    it->second.requests = 0;
    return true;
}

void BusSimulator::SetSpeed(double simulatedPerReal)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->speed = std::max(0.0, simulatedPerReal);
    for (auto& entry : impl_->chambers)
        entry.second.model.SetSpeed(impl_->speed);
}

double BusSimulator::Speed() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->speed;
}

void BusSimulator::SetControllerDelay(microseconds delay)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->controllerDelay = std::max(microseconds(0), delay);
}

void BusSimulator::SetFrameSilence(microseconds silence)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->silence = std::max(microseconds(100), silence);
}

void BusSimulator::SetSeed(uint32_t seed)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->seed = seed;
    for (auto& entry : impl_->chambers)
        entry.second.rng.seed(seed + static_cast<uint32_t>(entry.first));
}

void BusSimulator::SetLogger(std::function<void(const std::string&)> logger)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->logger = std::move(logger);
}

std::vector<LineFrame> BusSimulator::ReceivedFrames() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->received;
}

void BusSimulator::ClearReceivedFrames()
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->received.clear();
}

bool BusSimulator::WaitForReceivedFrames(size_t count, milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->received.size() >= count; });
}

std::vector<LineFrame> BusSimulator::SentWrites() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->sent;
}

void BusSimulator::ClearSentWrites()
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->sent.clear();
}

bool BusSimulator::WaitForSentWrites(size_t count, milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->sent.size() >= count; });
}

bool BusSimulator::WaitUntilIdle(milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->idle || !impl_->running; });
}

size_t BusSimulator::BadCrcCount() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->badCrc;
}

void BusSimulator::SetStrict(bool strict)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->strict = strict;
}

std::vector<std::string> BusSimulator::Collisions() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->collisions;
}

size_t BusSimulator::DroppedFragmentCount() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->dropped;
}

bool BusSimulator::InjectBytes(const std::vector<uint8_t>& bytes)
{
    Impl& d = *impl_;
    ssize_t written = -1;
    {
        std::lock_guard<std::mutex> io(d.ioMu);
        if (d.masterFd < 0)
            return false;
        written = ::write(d.masterFd, bytes.data(), bytes.size());
    }
    if (written != static_cast<ssize_t>(bytes.size()))
        return false;
    std::function<void(const std::string&)> logger;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.sent.push_back({bytes, Clock::now()});
        logger = d.logger;
    }
    d.changed.notify_all();
    if (logger)
        logger("inject " + HexBytes(bytes));
    return true;
}

void BusSimulator::CloseLine()
{
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mu);
    if (!d.running) {
        lock.unlock();
        d.CloseDescriptors();
        return;
    }
    d.closeRequested = true;
    d.Wake();
    d.changed.wait(lock, [&] { return !d.closeRequested || !d.running; });
}

bool BusSimulator::LineOpen() const
{
    std::lock_guard<std::mutex> io(impl_->ioMu);
    return impl_->masterFd >= 0;
}

void BusSimulator::Impl::CloseDescriptors()
{
    std::lock_guard<std::mutex> io(ioMu);
    if (masterFd >= 0)
        ::close(masterFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
    masterFd = slaveFd = -1;
}

void BusSimulator::Impl::EmitLogs()
{
    if (logLines.empty())
        return;
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> lock(mu);
        sink = logger;
    }
    if (sink)
        for (const auto& line : logLines)
            sink(line);
    logLines.clear();
}

void BusSimulator::Impl::Serve()
{
    lastTick = Clock::now();
    lineFree = lastTick;
    // After a hang-up the master stays readable with nothing to read; look
    // at it again only now and then instead of spinning.
    Clock::time_point ignoreLineUntil{};
    while (!stopping) {
        Clock::time_point now = Clock::now();
        microseconds quiet;
        {
            std::lock_guard<std::mutex> lock(mu);
            quiet = silence;
        }
        Clock::time_point deadline = lastTick + kModelTick;
        if (!pending.empty())
            deadline = std::min(deadline, pending.front().due);
        if (!input.empty())
            deadline = std::min(deadline, lastByte + quiet);
        if (ignoreLineUntil > now)
            deadline = std::min(deadline, ignoreLineUntil);
        const auto wait = std::max(Clock::duration::zero(), deadline - now);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};

        const int master = masterFd;  // changed only on this thread
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {master, POLLIN, 0}};
        const nfds_t count = master >= 0 && ignoreLineUntil <= now ? 2 : 1;
        if (::ppoll(fds, count, &ts, nullptr) < 0 && errno != EINTR)
            break;

        if (fds[0].revents & POLLIN) {
            uint64_t value;
            (void)!::read(wakeFd, &value, sizeof value);
            bool closeLine;
            {
                std::lock_guard<std::mutex> lock(mu);
                closeLine = closeRequested;
            }
            if (closeLine) {
                CloseDescriptors();
                input.clear();
                pending.clear();
                Log("line closed");
                {
                    std::lock_guard<std::mutex> lock(mu);
                    closeRequested = false;
                }
                changed.notify_all();
            }
        }
        now = Clock::now();
        if (count == 2 && masterFd >= 0) {
            if (fds[1].revents & POLLIN) {
                ReadLine(now);
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                ignoreLineUntil = now + milliseconds(10);
            }
        }
        if (!input.empty() && now - lastByte >= quiet)
            FlushAfterSilence(now);
        if (now - lastTick >= kModelTick) {
            std::lock_guard<std::mutex> lock(mu);
            AdvanceModelsLocked(now);
        }
        WriteDue(Clock::now());
        {
            std::lock_guard<std::mutex> lock(mu);
            idle = pending.empty() && input.empty();
        }
        changed.notify_all();
        EmitLogs();
    }
    EmitLogs();
}

void BusSimulator::Impl::ReadLine(Clock::time_point now)
{
    uint8_t chunk[512];
    const ssize_t n = ::read(masterFd, chunk, sizeof chunk);
    if (n <= 0)
        return;
    microseconds quiet;
    {
        std::lock_guard<std::mutex> lock(mu);
        quiet = silence;
    }
    // A pause longer than the frame gap ends whatever came before.
    if (!input.empty() && now - lastByte >= quiet)
        FlushAfterSilence(now);
    input.insert(input.end(), chunk, chunk + n);
    lastByte = now;
    ExtractFrames(now);
}

void BusSimulator::Impl::ExtractFrames(Clock::time_point now)
{
    // A frame is complete as soon as its length rule is met and its CRC
    // matches; anything else waits for the line to go quiet.
    while (!input.empty()) {
        const int length = RequestLength(input.data(), input.size());
        if (length <= 0 || length > static_cast<int>(kMaxFrame) || input.size() < static_cast<size_t>(length))
            return;
        Bytes frame(input.begin(), input.begin() + length);
        if (!CrcValid(frame))
            return;
        input.erase(input.begin(), input.begin() + length);
        HandleFrame(frame, now);
    }
}

void BusSimulator::Impl::FlushAfterSilence(Clock::time_point now)
{
    Bytes frame;
    frame.swap(input);
    if (CrcValid(frame)) {
        // A frame of a function without a length rule, or one whose byte
        // count disagrees with its length: the controller still answers it.
        HandleFrame(frame, now);
        return;
    }
    const int length = RequestLength(frame.data(), frame.size());
    const bool whole = frame.size() >= 4 && (length < 0 || static_cast<int>(frame.size()) >= length);
    {
        std::lock_guard<std::mutex> lock(mu);
        ++(whole ? badCrc : dropped);
    }
    Log(std::string(whole ? "bad CRC, dropped " : "fragment dropped ") + HexBytes(frame));
}

void BusSimulator::Impl::AdvanceModelsLocked(Clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - lastTick).count();
    lastTick = now;
    if (seconds <= 0)
        return;
    for (auto& entry : chambers)
        entry.second.model.Advance(seconds);
}

namespace {

std::vector<Piece> SplitReply(const Bytes& reply, const Faults& f, Clock::duration gap, std::mt19937& rng)
{
    std::vector<Piece> pieces;
    size_t at = 0;
    auto take = [&](size_t size, Clock::duration silence) {
        size = std::min(reply.size() - at, std::max<size_t>(size, 1));
        pieces.push_back({Bytes(reply.begin() + at, reply.begin() + at + size), pieces.empty() ? Clock::duration{} : silence});
        at += size;
    };
    if (f.randomPieces) {
        const auto most = std::chrono::duration_cast<microseconds>(gap).count();
        while (at < reply.size()) {
            const size_t size = std::uniform_int_distribution<size_t>(1, reply.size() - at)(rng);
            take(size, microseconds(std::uniform_int_distribution<long long>(0, most)(rng)));
        }
    } else if (!f.chunkSizes.empty()) {
        for (int size : f.chunkSizes)
            if (at < reply.size())
                take(static_cast<size_t>(std::max(size, 1)), gap);
    } else if (f.pieceSize > 0) {
        while (at < reply.size())
            take(static_cast<size_t>(f.pieceSize), gap);
    } else if (f.chunkCount > 1) {
        const size_t size = std::max<size_t>(1, reply.size() / f.chunkCount);
        for (int i = 0; i + 1 < f.chunkCount && at + size < reply.size(); ++i)
            take(size, gap);
    }
    if (at < reply.size())
        take(reply.size() - at, gap);
    return pieces;
}

// An echo that answers some other write: one field moved on by one, the
// frame check made good again.
Bytes ChangedEcho(Bytes echo, Faults::Echo how)
{
    echo.resize(6);
    switch (how) {
    case Faults::Echo::OtherAddress:
        echo[0] = static_cast<uint8_t>(echo[0] + 1);
        break;
    case Faults::Echo::OtherRegister:
        echo[3] = static_cast<uint8_t>(echo[3] + 1);
        break;
    case Faults::Echo::OtherCount:
        echo[5] = static_cast<uint8_t>(echo[5] + 1);
        break;
    case Faults::Echo::Faithful:
        break;
    }
    AppendFrameCrc(&echo);
    return echo;
}

}  // namespace

void BusSimulator::Impl::HandleFrame(const Bytes& frame, Clock::time_point at)
{
    std::unique_lock<std::mutex> lock(mu);
    // A master that sends while a reply is still due talks over a chamber.
    if (strict && (!pending.empty() || at < lineFree)) {
        collisions.push_back("request " + HexBytes(frame) + " while a reply is due");
        changed.notify_all();
    }
    received.push_back({frame, at});
    idle = false;  // until this iteration has scheduled (or skipped) the reply
    changed.notify_all();
    auto it = chambers.find(frame[0]);
    if (it == chambers.end()) {
        lock.unlock();
        Log("rx " + HexBytes(frame) + "  (no chamber)");
        return;
    }
    AdvanceModelsLocked(at);
    Chamber& c = it->second;
    const Faults& f = c.faults;
    ++c.requests;
    if (f.silent || c.requests < f.answerFrom) {
        lock.unlock();
        Log("rx " + HexBytes(frame) + "  (not answered)");
        return;
    }

    const bool isRead = frame[1] == kReadInputRegisters;
    RandomFault random = RandomFault::Count;
    if (f.faultRate > 0 && std::uniform_real_distribution<double>(0, 1)(c.rng) < f.faultRate) {
        const int kinds = isRead ? static_cast<int>(RandomFault::Count) : static_cast<int>(RandomFault::Exception);
        random = static_cast<RandomFault>(std::uniform_int_distribution<int>(0, kinds - 1)(c.rng));
    }
    if (random == RandomFault::Ignore) {
        lock.unlock();
        Log("rx " + HexBytes(frame) + "  (not answered: random fault)");
        return;
    }

    Bytes reply;
    const bool isWrite = frame[1] == kWriteMultipleRegisters;
    if (isRead && (f.exceptionReply || random == RandomFault::Exception))
        reply = ExceptionReply(frame[0], kReadInputRegisters, kDeviceFailure);
    else if (isWrite && f.writeException != 0)
        reply = ExceptionReply(frame[0], kWriteMultipleRegisters, f.writeException);
    else
        reply = AnswerRequest(c.model, frame, ReplyShape{f.fifteenWordsOnly || random == RandomFault::Short});
    if (isWrite && f.echo != Faults::Echo::Faithful && reply.size() == 8 && reply[1] == kWriteMultipleRegisters)
        reply = ChangedEcho(reply, f.echo);
    if (reply.size() >= 2 && (f.badCrc || random == RandomFault::BadCrc))
        reply[reply.size() - 2] ^= 0xFF;

    std::vector<Piece> pieces;
    const Clock::duration gap = f.chunkGap;
    if (random == RandomFault::Split && reply.size() > 1) {
        Faults split;
        split.chunkSizes = {std::uniform_int_distribution<int>(1, static_cast<int>(reply.size()) - 1)(c.rng)};
        pieces = SplitReply(reply, split, gap, c.rng);
    } else {
        pieces = SplitReply(reply, f, gap, c.rng);
    }
    Bytes noise = f.noiseBytes;
    const int randomNoise = random == RandomFault::Noise ? std::uniform_int_distribution<int>(1, 4)(c.rng) : 0;
    const int randomBytes = (f.noiseBytes.empty() ? f.noiseCount : 0) + randomNoise;
    for (int i = 0; i < randomBytes; ++i)
        noise.push_back(static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 255)(c.rng)));
    if (!pieces.empty())
        pieces.front().bytes.insert(pieces.front().bytes.begin(), noise.begin(), noise.end());

    Clock::duration delay = controllerDelay + f.extraDelay;
    if (random == RandomFault::Late)
        delay += milliseconds(std::uniform_int_distribution<int>(100, 1000)(c.rng));
    const Clock::duration latencyTimer = f.latencyTimer;
    lock.unlock();

    Log("rx " + HexBytes(frame));
    // The reply leaves when the controller is done and the line is free; it
    // is complete on the master's side one wire time later.
    const Clock::time_point start = std::max(at + delay, lineFree);
    if (latencyTimer > Clock::duration::zero()) {
        lineFree = ScheduleThroughLatencyTimer(pieces, start, latencyTimer);
        return;
    }
    Clock::time_point due = start;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Clock::duration after = pieces[i].silenceBefore + WireTime(pieces[i].bytes.size());
        due += i > 0 ? after : WireTime(pieces[i].bytes.size());
        pending.push_back({due, std::move(pieces[i].bytes), i > 0, after});
    }
    lineFree = due;
}

Clock::time_point BusSimulator::Impl::ScheduleThroughLatencyTimer(const std::vector<Piece>& pieces,
                                                                   Clock::time_point start,
                                                                   Clock::duration period)
{
    // Byte by byte at the wire's pace (with the pieces' own silences); each
    // is handed over at the first tick after it has arrived.
    const auto byteTime = std::chrono::duration_cast<Clock::duration>(WireTime(1));
    Clock::time_point arrived = start;
    Bytes held;
    Clock::time_point tick{};
    for (const Piece& piece : pieces) {
        arrived += piece.silenceBefore;
        for (uint8_t byte : piece.bytes) {
            arrived += byteTime;
            const Clock::time_point next = timerEpoch + ((arrived - timerEpoch + period - Clock::duration(1)) / period) * period;
            if (!held.empty() && next != tick) {
                pending.push_back({tick, std::move(held), false, {}});
                held.clear();
            }
            tick = next;
            held.push_back(byte);
        }
    }
    if (!held.empty())
        pending.push_back({tick, std::move(held), false, {}});
    return arrived;
}

void BusSimulator::Impl::WriteDue(Clock::time_point now)
{
    while (!pending.empty() && pending.front().due <= now) {
        Pending p = std::move(pending.front());
        pending.pop_front();
        ssize_t written = -1;
        {
            std::lock_guard<std::mutex> io(ioMu);
            if (masterFd >= 0)
                written = ::write(masterFd, p.bytes.data(), p.bytes.size());
        }
        if (written != static_cast<ssize_t>(p.bytes.size())) {
            // Nobody reads and the terminal's queue is full: the bytes are
            // lost as on a line with no listener.
            Log("tx failed " + HexBytes(p.bytes));
            continue;
        }
        const Clock::time_point writtenAt = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mu);
            sent.push_back({p.bytes, writtenAt});
        }
        changed.notify_all();
        if (!pending.empty() && pending.front().chained) {
            // Everything queued behind shifts by the same delay.
            const Clock::duration late = writtenAt + pending.front().after - pending.front().due;
            if (late > Clock::duration::zero()) {
                for (Pending& next : pending)
                    next.due += late;
                lineFree += late;
            }
        }
        Log("tx " + HexBytes(p.bytes));
    }
}

}  // namespace sim
