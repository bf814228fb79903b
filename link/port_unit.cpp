#include "link/PortUnit.h"
#include "link/PortHolder.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

int PortHandle = kNoPort;

namespace {

std::mutex g_bufferLock;
ReceiveBytes g_receiveBuffer{};

std::atomic<int> g_runningLoops{0};
std::atomic<bool> g_portLost{false};
std::atomic<TrafficHook> g_trafficHook{nullptr};
std::string g_portMapping[5];
// Stop request besides the eventfd: when no eventfd could be made (descriptor
// table full) the loop checks this now and then, or the join would hang.
std::atomic<bool> g_stopRequested{false};
constexpr int kStopCheckMs = 50;
// Wake-ups in a row with nothing to read before the port counts as dead.
constexpr int kMaxEmptyReads = 1000;

struct ReceiveThreadState {
    std::thread thread;
    int wakeFd = -1;
};
ReceiveThreadState g_receiver;

void ReceiveLoop(int portFd, int wakeFd)
{
    int fd = portFd;
    int emptyReads = 0;
    uint8_t chunk[kReceiveBufferSize];
    for (;;) {
        if (g_stopRequested)
            break;
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        // A negative fd is ignored by poll(): after a hang-up the loop just
        // sleeps until it is told to stop.
        const int ready = ::poll(fds, 2, wakeFd < 0 ? kStopCheckMs : -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (fd < 0 || fds[0].revents == 0)
            continue;
        if (fds[0].revents & POLLIN) {
            int queued = 0;
            if (::ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0)
                queued = 1;  // let read() tell what is there, or that the port is gone
            // A chunk never exceeds the buffer; the rest is the next chunk.
            if (queued > kReceiveBufferSize)
                queued = kReceiveBufferSize;
            const ssize_t n = ::read(fd, chunk, static_cast<size_t>(queued));
            if (n > 0) {
                emptyReads = 0;
                StoreChunk(chunk, static_cast<int>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            // Nothing to read although poll() said there was: the input was
            // purged in between (every read attempt purges it). Only a
            // hang-up or an error means the adapter is gone; a driver that
            // keeps waking us for nothing is given up too, so as not to spin.
            if (n == 0 && !(fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && ++emptyReads < kMaxEmptyReads)
                continue;
            fd = -1;  // end of file or a read error: the adapter is gone
            g_portLost = true;
            continue;
        }
        // POLLHUP/POLLERR/POLLNVAL without data: stop watching this port so
        // that the loop does not spin on a dead descriptor.
        fd = -1;
        g_portLost = true;
    }
    --g_runningLoops;
}

void StopReceiveThread()
{
    if (!g_receiver.thread.joinable())
        return;
    const uint64_t one = 1;
    // Waking and joining, never cancelling, so the buffer lock is never held
    // by a thread that has gone.
    g_stopRequested = true;
    if (g_receiver.wakeFd >= 0)
        (void)!::write(g_receiver.wakeFd, &one, sizeof one);
    g_receiver.thread.join();
    g_stopRequested = false;
    if (g_receiver.wakeFd >= 0)
        ::close(g_receiver.wakeFd);
    g_receiver.wakeFd = -1;
}

void StartReceiveThread(int portFd)
{
    g_receiver.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_receiver.wakeFd >= 0 && g_receiver.wakeFd <= STDERR_FILENO) {
        // As for the port: with a standard stream closed the eventfd would
        // take its number, and a stray message written there would stop the
        // receive thread.
        const int high = ::fcntl(g_receiver.wakeFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(g_receiver.wakeFd);
        g_receiver.wakeFd = high;
    }
    // Counted from before the thread exists until its loop has ended, so the
    // count is right the moment OpenPort returns.
    ++g_runningLoops;
    try {
        g_receiver.thread = std::thread(ReceiveLoop, portFd, g_receiver.wakeFd);
    } catch (...) {
        --g_runningLoops;
        if (g_receiver.wakeFd >= 0)
            ::close(g_receiver.wakeFd);
        g_receiver.wakeFd = -1;
        throw;
    }
}

}  // namespace

std::string PortNameForIndex(int selectionIndex)
{
    if (selectionIndex < 0 || selectionIndex > 4)
        selectionIndex = 0;
    return "COM" + std::to_string(selectionIndex + 1);
}

std::string DevicePathForPort(const std::string& portName)
{
    const std::string variable = "CALVETRA_" + portName;
    if (const char* overridden = std::getenv(variable.c_str()); overridden && *overridden)
        return overridden;
    // Only "COM1".."COM5" come from the window; anything else is COM1, as an
    // unknown selection is.
    int number = portName.size() > 3 && portName.compare(0, 3, "COM") == 0 ? std::atoi(portName.c_str() + 3) : 1;
    if (number < 1)
        number = 1;
    if (number <= 5 && !g_portMapping[number - 1].empty())
        return g_portMapping[number - 1];
    return "/dev/ttyS" + std::to_string(number - 1);
}

void SetPortMapping(int number, const std::string& devicePath)
{
    if (number >= 1 && number <= 5)
        g_portMapping[number - 1] = devicePath;
}

std::string PortOpenResult::Message() const
{
    const std::string where = portName + " (" + devicePath + ")";
    const std::string reason = std::strerror(error);
    switch (error) {
    case EACCES:
    case EPERM:
        return "Нет доступа к порту " + where + ": " + reason +
               ". Работать с портами может участник группы dialout: выполните "
               "«sudo usermod -aG dialout $USER» и войдите в систему заново";
    case EBUSY:
        if (holderPid > 0)
            return "Порт " + where + " занят программой " + holderName + " (pid " + std::to_string(holderPid) +
                   "): " + reason + ". Закройте её и откройте порт снова";
        return "Порт " + where + " занят другой программой: " + reason + ". Закройте её и откройте порт снова";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "Порт " + where + " не найден: адаптер не подключён (" + reason +
               "). Подключите адаптер и откройте порт снова";
    default:
        return "Не удалось открыть порт " + where + ": " + reason;
    }
}

PortOpenResult OpenPort(int selectionIndex)
{
    const std::string portName = PortNameForIndex(selectionIndex);
    return OpenPortDevice(portName, DevicePathForPort(portName));
}

PortOpenResult OpenPortDevice(const std::string& portName, const std::string& devicePath)
{
    StopReceiveThread();
    CloseSerialDevice(PortHandle);
    PortHandle = kNoPort;
    g_portLost = false;

    PortOpenResult result;
    result.portName = portName;
    result.devicePath = devicePath;
    PortHandle = OpenSerialDevice(result.devicePath, &result.error);
    result.ok = PortHandle != kNoPort;
    if (!result.ok && result.error == EBUSY) {
        const PortHolder holder = FindPortHolder(result.devicePath);
        result.holderPid = holder.pid;
        result.holderName = holder.name;
    }

    PurgeInput(PortHandle);
    PurgeOutput(PortHandle);
    StartReceiveThread(PortHandle);
    return result;
}

void ClosePort()
{
    StopReceiveThread();
    CloseSerialDevice(PortHandle);
    PortHandle = kNoPort;
}

void WriteFrame(const uint8_t* frame, int length)
{
    if (length <= 0)
        return;
    if (TrafficHook hook = g_trafficHook.load(std::memory_order_acquire))
        hook(TrafficDirection::Sent, frame, length);
    WriteBytes(PortHandle, frame, static_cast<size_t>(length));
}

bool PortLost() { return g_portLost.load(); }

void SetTrafficHook(TrafficHook hook) { g_trafficHook.store(hook, std::memory_order_release); }

void StoreChunk(const uint8_t* bytes, int length)
{
    if (length <= 0)
        return;
    if (length > kReceiveBufferSize)
        length = kReceiveBufferSize;
    if (TrafficHook hook = g_trafficHook.load(std::memory_order_acquire))
        hook(TrafficDirection::Received, bytes, length);
    std::lock_guard<std::mutex> guard(g_bufferLock);
    std::memcpy(g_receiveBuffer.data(), bytes, static_cast<size_t>(length));
}

void ClearReceiveBuffer()
{
    std::lock_guard<std::mutex> guard(g_bufferLock);
    std::memset(g_receiveBuffer.data(), 0, kReceiveBufferSize - 1);
}

ReceiveBytes ReceiveBufferSnapshot()
{
    std::lock_guard<std::mutex> guard(g_bufferLock);
    return g_receiveBuffer;
}

int RunningReceiveThreads() { return g_runningLoops; }

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
