// The serial port and its receive thread, driven end to end through a
// pseudo-terminal: the test holds the master side and plays the RS-485 line,
// the port unit opens the slave side as "COM1".
#include <gtest/gtest.h>

#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/PortUnit.h"
#include "monitoring/PortMessages.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// One pseudo-terminal. The test keeps its own slave descriptor open so that
// the line stays up while the port unit closes and re-opens its side.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;

    bool Open()
    {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return false;
        path = ::ttyname(slave);
        // A freshly opened tty translates and echoes; make that explicit so
        // that the tests show the port unit switching it all off.
        termios tio{};
        ::tcgetattr(slave, &tio);
        tio.c_iflag |= ICRNL | IXON | ISTRIP;
        tio.c_oflag |= OPOST | ONLCR;
        tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        ::tcsetattr(slave, TCSANOW, &tio);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        return true;
    }
    void CloseMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void Close()
    {
        CloseMaster();
        if (slave >= 0)
            ::close(slave);
        slave = -1;
    }
    ~Pty() { Close(); }

    // Bytes written by the master reach the port as they would from the line.
    void Send(const Bytes& bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return;
        }
    }

    // What the port wrote, up to count bytes or until timeoutMs pass.
    Bytes Receive(size_t count, int timeoutMs) const
    {
        Bytes bytes;
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t chunk[512];
            const ssize_t n = ::read(master, chunk, std::min(sizeof chunk, count - bytes.size()));
            if (n > 0)
                bytes.insert(bytes.end(), chunk, chunk + n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
        return bytes;
    }
};

Bytes Prefix(const ReceiveBytes& buffer, size_t from, size_t to)
{
    return Bytes(buffer.begin() + static_cast<long>(from), buffer.begin() + static_cast<long>(to));
}

// Polls the shared buffer until done() holds for a snapshot.
bool WaitForBuffer(const std::function<bool(const ReceiveBytes&)>& done, int timeoutMs = 2000)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (done(ReceiveBufferSnapshot()))
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return done(ReceiveBufferSnapshot());
}

bool StartsWith(const ReceiveBytes& buffer, const Bytes& bytes)
{
    return std::equal(bytes.begin(), bytes.end(), buffer.begin());
}

double ProcessCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

const Bytes kReply = {0x01, 0x04, 0x06, 0x00, 0xFA, 0x01, 0x2C, 0x00, 0x07, 0x5D, 0x2A};

class LinkPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetTimeScale(1.0);
        ASSERT_TRUE(line.Open()) << std::strerror(errno);
        ::setenv("CALVETRA_COM1", line.path.c_str(), 1);
    }
    void TearDown() override
    {
        ClosePort();
        line.Close();
        ::unsetenv("CALVETRA_COM1");
    }
    void OpenLine()
    {
        const PortOpenResult result = OpenPort(0);
        ASSERT_TRUE(result.ok) << PortOpenMessage(result);
        ASSERT_EQ(result.devicePath, line.path);
    }

    Pty line;
};

}  // namespace

// ---------------------------------------------------------------------------
// Received-data contract

TEST_F(LinkPortTest, ChunksLandAtOffsetZeroAndKeepTheTailOfEarlierOnes)
{
    OpenLine();
    const auto r = [](int i) { return kReply[static_cast<size_t>(i)]; };
    struct Case {
        const char* name;
        std::vector<int> pieces;
        Bytes expected;  // offsets 0..10 afterwards
    };
    const Case cases[] = {
        {"one chunk of 11", {11}, kReply},
        {"4 then 7: first 4 lost, zeros after",
         {4, 7},
         {r(4), r(5), r(6), r(7), r(8), r(9), r(10), 0, 0, 0, 0}},
        {"7 then 4: address lost, tail of the first chunk stays",
         {7, 4},
         {r(7), r(8), r(9), r(10), r(4), r(5), r(6), 0, 0, 0, 0}},
        {"5, 3, 3: each chunk overwrites only its own length",
         {5, 3, 3},
         {r(8), r(9), r(10), r(3), r(4), 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearReceiveBuffer();
        size_t at = 0;
        for (int length : c.pieces) {
            const Bytes piece(kReply.begin() + static_cast<long>(at), kReply.begin() + static_cast<long>(at + length));
            line.Send(piece);
            at += static_cast<size_t>(length);
            // The next piece goes out only once this one has landed, as with
            // a pause on the line between the two.
            ASSERT_TRUE(WaitForBuffer([&](const ReceiveBytes& b) { return StartsWith(b, piece); }));
        }
        const ReceiveBytes buffer = ReceiveBufferSnapshot();
        EXPECT_EQ(Prefix(buffer, 0, 11), c.expected);
        EXPECT_EQ(Prefix(buffer, 11, 255), Bytes(244, 0));
    }
}

TEST_F(LinkPortTest, MoreThan256BytesAtOnceNeverOverrunTheBuffer)
{
    OpenLine();
    ClearReceiveBuffer();
    Bytes stream(300);
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<uint8_t>(i * 7 + 1);
    line.Send(stream);
    // 300 waiting bytes are read as a full chunk of 256 and then the last 44;
    // the last chunk sits at offset 0, the first one's tail behind it.
    const Bytes last(stream.begin() + 256, stream.end());
    ASSERT_TRUE(WaitForBuffer([&](const ReceiveBytes& b) { return StartsWith(b, last); }));
    const ReceiveBytes buffer = ReceiveBufferSnapshot();
    EXPECT_EQ(Prefix(buffer, 44, 256), Bytes(stream.begin() + 44, stream.begin() + 256));
    // Nothing more is on its way.
    EXPECT_TRUE(line.Receive(1, 50).empty());
}

TEST_F(LinkPortTest, ByteTwoHundredFiftyFiveSurvivesClearingAndExchanges)
{
    OpenLine();
    Bytes full(256);
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = static_cast<uint8_t>(0xFF - i);
    full[255] = 0xA5;
    line.Send(full);
    ASSERT_TRUE(WaitForBuffer([&](const ReceiveBytes& b) { return StartsWith(b, full); }));

    ClearReceiveBuffer();
    ReceiveBytes buffer = ReceiveBufferSnapshot();
    EXPECT_EQ(Prefix(buffer, 0, 255), Bytes(255, 0));
    EXPECT_EQ(buffer[255], 0xA5);

    // An unanswered exchange clears the same way.
    line.Send(full);
    ASSERT_TRUE(WaitForBuffer([&](const ReceiveBytes& b) { return StartsWith(b, full); }));
    EXPECT_FALSE(ReadExchange(0x30, 0x04, 3, 20));
    buffer = ReceiveBufferSnapshot();
    EXPECT_EQ(Prefix(buffer, 0, 255), Bytes(255, 0));
    EXPECT_EQ(buffer[255], 0xA5);
}

TEST_F(LinkPortTest, ReceivedBytesPassUnchanged)
{
    OpenLine();
    // Every byte value, CR, LF, XON, XOFF, ^C, ^D, ^Z, DEL and 0x00/0xFF among
    // them, once in each direction.
    Bytes all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    std::rotate(all.begin(), all.begin() + 0x0D, all.end());  // start on a CR
    ClearReceiveBuffer();
    line.Send(all);
    ASSERT_TRUE(WaitForBuffer([&](const ReceiveBytes& b) { return StartsWith(b, all); }))
        << "received bytes were altered or held back";
    // No echo back onto the line.
    EXPECT_TRUE(line.Receive(1, 50).empty());
}

TEST_F(LinkPortTest, WrittenFramesArriveUnchanged)
{
    OpenLine();
    const Bytes frames[] = {
        {0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF, 0x03, 0x04, 0x1A, 0x7F, 0x0A, 0x0D, 0x5C, 0x15, 0x17, 0x12},
        {0x11},
        {0x13, 0x13, 0x13},
        {0x00, 0x00},
    };
    for (const Bytes& frame : frames) {
        WriteFrame(frame.data(), static_cast<int>(frame.size()));
        EXPECT_EQ(line.Receive(frame.size() + 1, 200), frame);
    }

    Bytes all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(255 - i);
    WriteFrame(all.data(), static_cast<int>(all.size()));
    EXPECT_EQ(line.Receive(all.size() + 1, 500), all);

    SendReadRequest(0x11, 0x04, 0x13);  // XON address, XOFF count
    const auto request = BuildReadRequest(0x11, 0x04, 0x13);
    EXPECT_EQ(line.Receive(9, 200), Bytes(request.begin(), request.end()));

    // A length of zero or below sends nothing.
    WriteFrame(all.data(), 0);
    WriteFrame(all.data(), -5);
    EXPECT_TRUE(line.Receive(1, 50).empty());
}

TEST_F(LinkPortTest, LineSettingsAreRaw57600EightNoneOne)
{
    OpenLine();
    termios tio{};
    ASSERT_EQ(::tcgetattr(line.slave, &tio), 0);
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | IGNBRK | BRKINT),
              0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
}

// ---------------------------------------------------------------------------
// Open, re-open and close

TEST_F(LinkPortTest, OpenHoldsThePortExclusivelyUntilClosed)
{
    OpenLine();
    int exclusive = 0;
    ASSERT_EQ(::ioctl(line.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_GT(PortHandle, STDERR_FILENO);
    EXPECT_EQ(::fcntl(PortHandle, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    ClosePort();
    ASSERT_EQ(::ioctl(line.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the exclusive flag outlived the port";
    EXPECT_EQ(PortHandle, kNoPort);
    EXPECT_EQ(RunningReceiveThreads(), 0);
}

TEST_F(LinkPortTest, PortNeverTakesAStandardStreamsNumber)
{
    // With standard input closed, open() hands out 0; the port must not end
    // up as 0..2, which the rest of the process means otherwise.
    const int savedInput = ::dup(STDIN_FILENO);
    ASSERT_GE(savedInput, 0);
    ::close(STDIN_FILENO);
    const PortOpenResult result = OpenPort(0);
    const int handle = PortHandle;
    // A reply received means the receive thread has made its own
    // descriptors (its wake-up and its watch) by now.
    bool received = false;
    if (result.ok) {
        ClearReceiveBuffer();
        line.Send(kReply);
        received = WaitForBuffer([](const ReceiveBytes& b) { return StartsWith(b, kReply); });
    }
    // Nothing of the link (port or receive thread) may sit on 0; a
    // sanitizer's runtime may take it for files of its own.
    const QString onZero = QFileInfo(QStringLiteral("/proc/self/fd/0")).symLinkTarget();
    const bool inputFree = ::fcntl(STDIN_FILENO, F_GETFD) < 0 ||
                           !(onZero.startsWith(QStringLiteral("/dev/")) || onZero.contains(QStringLiteral("anon_inode")));
    if (!inputFree)
        ClosePort();  // before putting standard input back over it
    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    ASSERT_TRUE(result.ok) << PortOpenMessage(result);
    EXPECT_GT(handle, STDERR_FILENO);
    EXPECT_TRUE(received);
    ASSERT_TRUE(inputFree) << "the link holds descriptor 0: " << onZero.toStdString();

    WriteFrame(kReply.data(), 11);
    EXPECT_EQ(line.Receive(12, 200), kReply);
}

TEST_F(LinkPortTest, ABusyPortIsRefused)
{
    OpenLine();
    // Root may open an exclusive tty all the same, so the second open is tried
    // by a child that has given that privilege up. The child only uses the
    // device layer: the port unit's receive thread does not exist there.
    ASSERT_EQ(::chmod(line.path.c_str(), 0666), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(100);
        int error = 0;
        const int fd = OpenSerialDevice(line.path, &error);
        ::_exit(fd != kNoPort ? 101 : error != EBUSY ? 102 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100)
        GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "101: opened anyway, 102: another reason than EBUSY";

    // The holder is not disturbed by the refused open.
    ClearReceiveBuffer();
    line.Send(kReply);
    EXPECT_TRUE(WaitForBuffer([](const ReceiveBytes& b) { return StartsWith(b, kReply); }));
}

TEST_F(LinkPortTest, FailedOpensNamePortPathAndReason)
{
    char dir[] = "/tmp/calvetra-link-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string plainFile = std::string(dir) + "/not-a-tty";
    {
        const int fd = ::open(plainFile.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    struct Case {
        std::string path;
        int error;
    };
    const Case cases[] = {
        {std::string(dir) + "/missing", ENOENT},
        {plainFile, ENOTTY},
        {dir, EISDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ::setenv("CALVETRA_COM3", c.path.c_str(), 1);
        const PortOpenResult result = OpenPort(2);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.portName, "COM3");
        EXPECT_EQ(result.devicePath, c.path);
        const std::string message = PortOpenMessage(result);
        EXPECT_NE(message.find("COM3"), std::string::npos) << message;
        EXPECT_NE(message.find(c.path), std::string::npos) << message;
        EXPECT_NE(message.find(std::strerror(c.error)), std::string::npos) << message;
        EXPECT_EQ(PortHandle, kNoPort);
        // The receive thread runs all the same and nothing goes anywhere.
        EXPECT_EQ(RunningReceiveThreads(), 1);
        EXPECT_FALSE(ReadExchange(1, 0x04, 3, 10));
    }
    ::unsetenv("CALVETRA_COM3");
    // The plain file was not written to by the failed open or the exchanges.
    struct stat info{};
    ASSERT_EQ(::stat(plainFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    ::unlink(plainFile.c_str());
    ::rmdir(dir);

    // The real port opens fine afterwards.
    OpenLine();
    ClearReceiveBuffer();
    line.Send(kReply);
    EXPECT_TRUE(WaitForBuffer([](const ReceiveBytes& b) { return StartsWith(b, kReply); }));
}

TEST_F(LinkPortTest, ReopeningLeavesExactlyOneReceiveThread)
{
    for (int i = 0; i < 100; ++i) {
        const PortOpenResult result = OpenPort(0);
        ASSERT_TRUE(result.ok) << PortOpenMessage(result);
        ASSERT_EQ(RunningReceiveThreads(), 1) << "after open number " << i + 1;
    }
    ClearReceiveBuffer();
    line.Send(kReply);
    ASSERT_TRUE(WaitForBuffer([](const ReceiveBytes& b) { return StartsWith(b, kReply); }));
    // One reader: the reply is taken once, whole, not shared between threads.
    EXPECT_EQ(Prefix(ReceiveBufferSnapshot(), 0, 255), [] {
        Bytes expected(255, 0);
        std::copy(kReply.begin(), kReply.end(), expected.begin());
        return expected;
    }());
    ClosePort();
    EXPECT_EQ(RunningReceiveThreads(), 0);
}

TEST_F(LinkPortTest, ReopenOnAnotherPortListensToTheNewOneOnly)
{
    Pty other;
    ASSERT_TRUE(other.Open());
    ::setenv("CALVETRA_COM2", other.path.c_str(), 1);
    OpenLine();
    const PortOpenResult second = OpenPort(1);
    ::unsetenv("CALVETRA_COM2");
    ASSERT_TRUE(second.ok) << PortOpenMessage(second);
    EXPECT_EQ(RunningReceiveThreads(), 1);

    ClearReceiveBuffer();
    line.Send({0x01, 0x04});  // the old port is closed: nobody reads this
    const Bytes fromNew = {0x02, 0x04, 0x06};
    other.Send(fromNew);
    ASSERT_TRUE(WaitForBuffer([&](const ReceiveBytes& b) { return StartsWith(b, fromNew); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(FindReply(0x01, 0x04));

    WriteFrame(fromNew.data(), 3);
    EXPECT_EQ(other.Receive(3, 200), fromNew);
    EXPECT_TRUE(line.Receive(1, 50).empty());
}

TEST_F(LinkPortTest, ClosingStopsReceiving)
{
    OpenLine();
    ClosePort();
    EXPECT_EQ(RunningReceiveThreads(), 0);
    ClearReceiveBuffer();
    line.Send(kReply);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Prefix(ReceiveBufferSnapshot(), 0, 11), Bytes(11, 0));
    // And a write after closing goes nowhere and does not fail.
    WriteFrame(kReply.data(), 11);
    EXPECT_TRUE(line.Receive(1, 50).empty());
}

TEST(PortClose, HarmlessWhenNothingIsOpen)
{
    ClosePort();
    ClosePort();
    EXPECT_EQ(PortHandle, kNoPort);
    EXPECT_EQ(RunningReceiveThreads(), 0);
    WriteFrame(kReply.data(), 11);
    EXPECT_FALSE(ReadExchange(1, 0x04, 3, 1));
}

TEST(PortNames, SelectionIndexMapsToPortAndDevice)
{
    struct Case {
        int index;
        const char* name;
        const char* device;
    };
    const Case cases[] = {
        {-1, "COM1", "/dev/ttyS0"},      {0, "COM1", "/dev/ttyS0"},       {1, "COM2", "/dev/ttyS1"},
        {2, "COM3", "/dev/ttyS2"},       {3, "COM4", "/dev/ttyS3"},       {4, "COM5", "/dev/ttyS4"},
        {5, "COM1", "/dev/ttyS0"},       {100, "COM1", "/dev/ttyS0"},     {INT_MIN, "COM1", "/dev/ttyS0"},
        {INT_MAX, "COM1", "/dev/ttyS0"},
    };
    for (int n = 1; n <= 5; ++n)
        ::unsetenv(("CALVETRA_COM" + std::to_string(n)).c_str());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(PortNameForIndex(c.index), c.name);
        EXPECT_EQ(DevicePathForPort(c.name), c.device);
    }
}

TEST(PortNames, NamesOutsideTheListFallBackToTheFirstDevice)
{
    for (const char* name : {"", "C", "COM", "COMx", "COM0", "ttyS3"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(DevicePathForPort(name), "/dev/ttyS0");
    }
}

TEST(PortNames, EnvironmentOverridesTheDevice)
{
    ::setenv("CALVETRA_COM5", "/tmp/calvetra-line", 1);
    ::setenv("CALVETRA_COM2", "", 1);  // empty means not set
    EXPECT_EQ(DevicePathForPort("COM5"), "/tmp/calvetra-line");
    EXPECT_EQ(DevicePathForPort("COM2"), "/dev/ttyS1");
    EXPECT_EQ(DevicePathForPort("COM4"), "/dev/ttyS3");
    ::unsetenv("CALVETRA_COM5");
    ::unsetenv("CALVETRA_COM2");
    EXPECT_EQ(DevicePathForPort("COM5"), "/dev/ttyS4");
}

TEST(PortNames, OpenUsesTheMappedDevice)
{
    for (int n = 1; n <= 5; ++n)
        ::setenv(("CALVETRA_COM" + std::to_string(n)).c_str(), ("/nonexistent/calvetra-com" + std::to_string(n)).c_str(), 1);
    struct Case {
        int index;
        const char* name;
    };
    const Case cases[] = {{-1, "COM1"}, {0, "COM1"}, {1, "COM2"}, {2, "COM3"}, {3, "COM4"}, {4, "COM5"}, {5, "COM1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        const PortOpenResult result = OpenPort(c.index);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, ENOENT);
        EXPECT_EQ(result.portName, c.name);
        EXPECT_EQ(result.devicePath, std::string("/nonexistent/calvetra-com") + (c.name + 3));
    }
    ClosePort();
    for (int n = 1; n <= 5; ++n)
        ::unsetenv(("CALVETRA_COM" + std::to_string(n)).c_str());
}

// ---------------------------------------------------------------------------
// The read exchange against a controller played by the test

namespace {

// Answers requests on the master side: for each request, after delayMs, the
// reply (if any) of the next entry in the script.
class Responder {
public:
    struct Answer {
        int delayMs = 0;
        Bytes reply;  // empty: stays silent
    };

    Responder(const Pty& line, std::vector<Answer> script) : m_line(line), m_script(std::move(script))
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~Responder()
    {
        m_stop = true;
        m_thread.join();
    }
    std::vector<Bytes> Requests()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_requests;
    }

private:
    void Run()
    {
        size_t next = 0;
        while (!m_stop) {
            const Bytes request = m_line.Receive(8, 20);
            if (request.empty())
                continue;
            Bytes whole = request;
            if (whole.size() < 8) {
                const Bytes rest = m_line.Receive(8 - whole.size(), 200);
                whole.insert(whole.end(), rest.begin(), rest.end());
            }
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_requests.push_back(whole);
            }
            if (next >= m_script.size())
                continue;
            const Answer answer = m_script[next++];
            if (answer.reply.empty())
                continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
            m_line.Send(answer.reply);
        }
    }

    const Pty& m_line;
    std::vector<Answer> m_script;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<Bytes> m_requests;
    std::thread m_thread;
};

}  // namespace

TEST_F(LinkPortTest, ReadExchangeFindsAReplyWithinItsWait)
{
    OpenLine();
    struct Case {
        const char* name;
        int address;
        uint8_t count;
        Responder::Answer answer;
        int wait;
        bool found;
    };
    const Bytes exception = {0x01, 0x84, 0x04, 0x42, 0xC3};
    const Bytes fromOther = {0x02, 0x04, 0x06, 0x00, 0xFA, 0x01, 0x2C, 0x00, 0x07, 0x5D, 0x2A};
    const Bytes badCrc = {0x01, 0x04, 0x06, 0x00, 0xFA, 0x01, 0x2C, 0x00, 0x07, 0x00, 0x00};
    const Bytes noisyPrefix = {0xFF, 0x00, 0x13, 0x01, 0x04, 0x06, 0x00, 0xFA, 0x01, 0x2C, 0x00, 0x07, 0x5D, 0x2A};
    const Case cases[] = {
        {"answer after 20 ms", 1, 3, {20, kReply}, 160, true},
        {"answer at once", 1, 15, {0, kReply}, 160, true},
        {"silent", 1, 3, {0, {}}, 160, false},
        {"exception reply", 1, 3, {10, exception}, 160, false},
        {"another chamber answers", 1, 3, {10, fromOther}, 160, false},
        {"wrong CRC still counts", 1, 3, {10, badCrc}, 160, true},
        {"noise before the reply", 1, 3, {10, noisyPrefix}, 160, true},
        {"address taken as its low byte on the line", 0x101, 3, {10, kReply}, 160, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Responder responder(line, {c.answer});
        EXPECT_EQ(ReadExchange(c.address, 0x04, c.count, c.wait), c.found);
        const auto expected = BuildReadRequest(static_cast<uint8_t>(c.address), 0x04, c.count);
        // The request is on the line before the wait ends.
        const auto requests = responder.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0], Bytes(expected.begin(), expected.end()));
    }
}

TEST_F(LinkPortTest, ReadExchangeWaitsItsWholeWindow)
{
    OpenLine();
    Responder responder(line, {{0, kReply}});
    const auto start = Clock::now();
    EXPECT_TRUE(ReadExchange(1, 0x04, 3, 160));
    // No early return when the reply is complete.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(160));
}

TEST_F(LinkPortTest, LateReplyAfterTheNextClearingCountsForTheNextAttempt)
{
    OpenLine();
    // The first request is answered after 250 ms, later than its 60 ms window;
    // the second is not answered at all but finds the late reply.
    Responder responder(line, {{250, kReply}, {0, {}}});
    EXPECT_FALSE(ReadExchange(1, 0x04, 3, 60));
    EXPECT_TRUE(ReadExchange(1, 0x04, 3, 800));
    EXPECT_EQ(responder.Requests().size(), 2u);
}

TEST_F(LinkPortTest, LateReplyBeforeTheNextClearingIsWiped)
{
    OpenLine();
    Responder responder(line, {{30, kReply}, {0, {}}});
    EXPECT_FALSE(ReadExchange(1, 0x04, 3, 5));
    ASSERT_TRUE(WaitForBuffer([](const ReceiveBytes& b) { return StartsWith(b, kReply); }));
    EXPECT_FALSE(ReadExchange(1, 0x04, 3, 60));
}

TEST_F(LinkPortTest, StaleBytesDoNotAnswerANewRequest)
{
    OpenLine();
    line.Send({0x00, 0x07, 0x04, 0x00});
    ASSERT_TRUE(WaitForBuffer([](const ReceiveBytes& b) { return b[1] == 0x07 && b[2] == 0x04; }));
    Responder responder(line, {{0, {}}});
    EXPECT_FALSE(ReadExchange(7, 0x04, 3, 60));
}

// ---------------------------------------------------------------------------
// The adapter goes away

TEST_F(LinkPortTest, HangUpStopsTheReceiveThreadWithoutSpinning)
{
    OpenLine();
    line.Send(kReply);
    ASSERT_TRUE(WaitForBuffer([](const ReceiveBytes& b) { return StartsWith(b, kReply); }));

    line.Close();  // the adapter is unplugged
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double used = ProcessCpuMs() - before;
    EXPECT_LT(used, 50.0) << "the receive thread spins on the dead port";
    // The thread is still there (idle) until the port is closed or re-opened.
    EXPECT_EQ(RunningReceiveThreads(), 1);

    // Requests to the dead port go unanswered, silently.
    EXPECT_FALSE(ReadExchange(1, 0x04, 3, 20));
    WriteFrame(kReply.data(), 11);

    Pty fresh;
    ASSERT_TRUE(fresh.Open());
    ::setenv("CALVETRA_COM1", fresh.path.c_str(), 1);
    const PortOpenResult result = OpenPort(0);
    ASSERT_TRUE(result.ok) << PortOpenMessage(result);
    EXPECT_EQ(RunningReceiveThreads(), 1);
    Responder responder(fresh, {{5, kReply}});
    EXPECT_TRUE(ReadExchange(1, 0x04, 3, 160));
    ClosePort();
}

TEST(ReceiveThread, StopsEvenWhenNoDescriptorIsLeft)
{
    // With the descriptor table full neither the port nor the receive
    // thread's wake-up can be opened; closing must still end the thread.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    ::setenv("CALVETRA_COM1", "/dev/null", 1);
    rlimit full = old;
    full.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &full), 0);
    const PortOpenResult result = OpenPort(0);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ::unsetenv("CALVETRA_COM1");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, EMFILE);
    EXPECT_EQ(RunningReceiveThreads(), 1);

    std::atomic<bool> closed{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 200 && !closed; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!closed) {
            std::fprintf(stderr, "ClosePort did not return: the receive thread cannot be stopped\n");
            std::_Exit(1);
        }
    });
    ClosePort();
    closed = true;
    watchdog.join();
    EXPECT_EQ(RunningReceiveThreads(), 0);
}

TEST_F(LinkPortTest, IdleOpenPortCostsNoProcessorTime)
{
    OpenLine();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(ProcessCpuMs() - before, 50.0);
}

// ---------------------------------------------------------------------------
// The two threads on the one buffer

TEST_F(LinkPortTest, ClearingIsNeverSeenHalfDone)
{
    // The shortest frame gap, and 16-byte blocks with silences longer than
    // it: many short chunks (a line that never falls silent gives only whole
    // 256-byte ones, which cover the buffer).
    ::setenv("CALVETRA_FRAME_GAP_MS", "1", 1);
    OpenLine();
    ::unsetenv("CALVETRA_FRAME_GAP_MS");
    // The line never sends a zero. Chunks always cover the start of the
    // buffer, so after a clearing the buffer is some received bytes followed
    // by zeros up to byte 254; zeros followed by received bytes could only be
    // a clearing seen halfway. (A chunk copy seen halfway looks like a
    // shorter chunk; the thread sanitizer build watches those.)
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        uint8_t value = 1;
        while (!stop) {
            int waiting = 0;
            if (::ioctl(line.slave, FIONREAD, &waiting) == 0 && waiting > 1024) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            Bytes block(16);
            for (auto& byte : block) {
                byte = value;
                value = static_cast<uint8_t>(value % 255 + 1);
            }
            line.Send(block);
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
        }
    });
    ClearReceiveBuffer();
    int halfCleared = 0;
    int mixed = 0;
    int snapshots = 0;
    // On a loaded machine the sender may be starved for a while: go on
    // (up to 10 s) until chunks have landed between clearings and scans.
    const auto end = Clock::now() + std::chrono::milliseconds(700);
    const auto latest = Clock::now() + std::chrono::seconds(10);
    for (int i = 0; Clock::now() < end || (mixed < 10 && Clock::now() < latest); ++i) {
        if (i % 8 == 0) {
            // Give a chunk time to land between the last scan and this
            // clearing, so that only the buffer's guard orders the two.
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            ClearReceiveBuffer();
        }
        const ReceiveBytes b = ReceiveBufferSnapshot();
        ++snapshots;
        const auto firstZero = std::find(b.begin(), b.begin() + 255, 0);
        if (std::any_of(firstZero, b.begin() + 255, [](uint8_t byte) { return byte != 0; }))
            ++halfCleared;
        mixed += firstZero != b.begin() && firstZero != b.begin() + 255;
        FindReply(0x07, 0x04);
    }
    stop = true;
    sender.join();
    EXPECT_EQ(halfCleared, 0) << "of " << snapshots << " snapshots";
    EXPECT_GT(mixed, 0) << "no chunk landed between a clearing and a scan";
}

TEST_F(LinkPortTest, ReopeningWhileBytesArriveNeverDeadlocks)
{
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) {
            line.Send(kReply);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    int failedOpens = 0;
    int wrongCounts = 0;
    for (int i = 0; i < 50; ++i) {
        failedOpens += !OpenPort(0).ok;
        wrongCounts += RunningReceiveThreads() != 1;
        ClearReceiveBuffer();
        FindReply(1, 0x04);
        if (i % 5 == 0) {
            ClosePort();
            wrongCounts += RunningReceiveThreads() != 0;
        }
    }
    const bool ok = OpenPort(0).ok;
    ClearReceiveBuffer();
    const bool received = WaitForBuffer([](const ReceiveBytes& b) { return StartsWith(b, kReply); });
    stop = true;
    sender.join();
    EXPECT_EQ(failedOpens, 0);
    EXPECT_EQ(wrongCounts, 0);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(received);
}
