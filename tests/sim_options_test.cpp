// The chamber-sim command line, and the program itself run as a process.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/Rtu.h"
#include "link/Transport.h"
#include "sim/ChamberSim.h"
#include "sim/SimOptions.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

sim::SimOptions Parse(const std::vector<std::string>& args)
{
    sim::SimOptions o;
    std::string error;
    EXPECT_TRUE(sim::ParseSimOptions(args, &o, &error)) << error;
    return o;
}

TEST(SimOptions, DefaultsToOneChamberAtAddressOne)
{
    const auto o = Parse({});
    EXPECT_EQ(o.chambers, std::vector<int>{1});
    EXPECT_EQ(o.speed, 1.0);
    EXPECT_EQ(o.delayMs, 3);
    EXPECT_TRUE(o.link.empty());
    EXPECT_TRUE(o.faults.empty());
    EXPECT_FALSE(o.verbose);
    EXPECT_FALSE(o.help);
}

TEST(SimOptions, EveryOptionReachesItsField)
{
    const auto o = Parse({"--link", "/tmp/x", "--chamber", "1", "--chamber", "7", "--chamber=250", "--speed", "60",
                          "--delay", "10", "--silent", "250", "--answer-from", "1:4", "--late", "7:300",
                          "--split", "1:4,7", "--split-into", "7:3", "--split-gap", "50", "--noise", "1:3",
                          "--noise-bytes", "7:FF,01", "--bad-crc", "7", "--exception", "1", "--short-reply", "7",
                          "--fault-rate", "250:0.25", "--seed", "42", "--pin", "1:0=64786", "--verbose"});
    EXPECT_EQ(o.link, "/tmp/x");
    EXPECT_EQ(o.chambers, (std::vector<int>{1, 7, 250}));
    EXPECT_EQ(o.speed, 60.0);
    EXPECT_EQ(o.delayMs, 10);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_TRUE(o.verbose);

    const sim::Faults& one = o.faults.at(1);
    EXPECT_EQ(one.answerFrom, 4);
    EXPECT_EQ(one.chunkSizes, (std::vector<int>{4, 7}));
    EXPECT_EQ(one.chunkGap, 50ms);
    EXPECT_EQ(one.noiseCount, 3);
    EXPECT_TRUE(one.exceptionReply);
    EXPECT_FALSE(one.silent);

    const sim::Faults& seven = o.faults.at(7);
    EXPECT_EQ(seven.extraDelay, 300ms);
    EXPECT_EQ(seven.chunkCount, 3);
    EXPECT_EQ(seven.chunkGap, 50ms);  // the gap holds for every chamber, given before or after
    EXPECT_EQ(seven.noiseBytes, (std::vector<uint8_t>{0xFF, 0x01}));
    EXPECT_TRUE(seven.badCrc);
    EXPECT_TRUE(seven.fifteenWordsOnly);

    EXPECT_TRUE(o.faults.at(250).silent);
    EXPECT_EQ(o.faults.at(250).faultRate, 0.25);
    ASSERT_EQ(o.pins.at(1).size(), 1u);
    EXPECT_EQ(o.pins.at(1)[0], (std::pair<int, uint16_t>{0, 64786}));
}

TEST(SimOptions, PiecingOptionsReachTheirFields)
{
    const auto o = Parse({"--chamber", "1", "--chamber", "2", "--chamber", "3", "--pieces", "1:14",
                          "--latency-timer", "2:16", "--random-pieces", "3", "--split-gap", "2.4"});
    EXPECT_EQ(o.faults.at(1).pieceSize, 14);
    EXPECT_EQ(o.faults.at(2).latencyTimer, 16ms);
    EXPECT_TRUE(o.faults.at(3).randomPieces);
    for (int address : {1, 2, 3})
        EXPECT_EQ(o.faults.at(address).chunkGap, 2400us) << address;
    EXPECT_EQ(Parse({"--latency-timer", "1:0.5"}).faults.at(1).latencyTimer, 500us);
    EXPECT_EQ(Parse({"--pieces", "1:1", "--split-gap", "0"}).faults.at(1).chunkGap, 0us);
}

TEST(SimOptions, WriteFaultsReachTheirFields)
{
    EXPECT_EQ(Parse({"--write-exception", "1:4"}).faults.at(1).writeException, 4);
    const struct {
        const char* what;
        sim::Faults::Echo echo;
    } echoes[] = {{"address", sim::Faults::Echo::OtherAddress},
                  {"register", sim::Faults::Echo::OtherRegister},
                  {"count", sim::Faults::Echo::OtherCount}};
    for (const auto& e : echoes)
        EXPECT_EQ(Parse({"--wrong-echo", std::string("1:") + e.what}).faults.at(1).echo, e.echo) << e.what;
}

TEST(SimOptions, BadArgumentsAreRefusedWithAReason)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--frobnicate"},
        {"--chamber"},
        {"--chamber", "251"},
        {"--chamber", "-1"},
        {"--chamber", "1x"},
        {"--speed", "fast"},
        {"--speed", "-1"},
        {"--delay", ""},
        {"--silent", "2"},  // no chamber at 2
        {"--chamber", "3", "--late", "2:100"},
        {"--late", "1"},
        {"--late", "1:abc"},
        {"--answer-from", "1:0"},
        {"--split", "1:4,,7"},
        {"--split", "1:0"},
        {"--noise-bytes", "1:GG"},
        {"--noise-bytes", "1:123"},
        {"--fault-rate", "1:1.5"},
        {"--pin", "1:17=5"},
        {"--pin", "1:0=65536"},
        {"--pin", "1:0"},
        {"--link", ""},
        {"--pieces", "1:0"},
        {"--pieces", "1"},
        {"--latency-timer", "1:0"},
        {"--latency-timer", "1:x"},
        {"--random-pieces", "4"},  // no chamber at 4
        {"--split-gap", "-1"},
        {"--write-exception", "1:0"},
        {"--write-exception", "1:256"},
        {"--wrong-echo", "1:crc"},
        {"--tcp", "0"},
        {"--tcp", "65536"},
        {"--modbus-tcp", "502x"},
    };
    for (const auto& args : cases) {
        sim::SimOptions o;
        std::string error;
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_FALSE(sim::ParseSimOptions(args, &o, &error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

TEST(SimOptions, UsageShowsEveryOptionWithAnExample)
{
    const std::string usage = sim::SimUsage();
    for (const char* name : {"--link", "--chamber", "--speed", "--delay", "--pin", "--silent", "--answer-from",
                             "--late", "--split", "--split-into", "--split-gap", "--pieces", "--random-pieces",
                             "--latency-timer", "--noise", "--noise-bytes",
                             "--bad-crc", "--exception", "--short-reply", "--write-exception", "--wrong-echo",
                             "--fault-rate", "--seed", "--verbose", "--tcp", "--modbus-tcp",
                             "--help"}) {
        // The example sits in the same help entry, after the description.
        std::istringstream lines(usage);
        std::string line, entry;
        bool found = false;
        while (std::getline(lines, line)) {
            if (line.rfind(std::string("  ") + name + " ", 0) == 0) {
                entry = line;
                found = true;
            } else if (found && line.rfind("    ", 0) == 0) {
                entry += line;
            } else if (found) {
                break;
            }
        }
        ASSERT_TRUE(found) << name;
        EXPECT_NE(entry.find(name, std::strlen(name) + 2), std::string::npos) << "no example for " << name;
    }
}

TEST(SimOptions, ApplySetsUpTheBus)
{
    const auto o = Parse({"--chamber", "2", "--chamber", "9", "--bad-crc", "9", "--pin", "2:15=1099", "--speed",
                          "0"});
    sim::BusSimulator bus;
    sim::ApplySimOptions(o, &bus);
    EXPECT_EQ(bus.Chambers(), (std::vector<int>{2, 9}));
    EXPECT_TRUE(bus.GetFaults(9).badCrc);
    EXPECT_FALSE(bus.GetFaults(2).badCrc);
    EXPECT_EQ(bus.Speed(), 0.0);
    bus.WithChamber(2, [](sim::ChamberModel& m) { EXPECT_EQ(m.StatusWords()[15], 1099); });
}

// The built program, next to this test's executable.
std::string ProgramPath()
{
    char self[PATH_MAX] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return "";
    std::string path(self);
    return path.substr(0, path.rfind('/') + 1) + "chamber-sim";
}

TEST(SimProgram, ServesOnItsLinkAndCleansUpOnSigterm)
{
    const std::string program = ProgramPath();
    if (::access(program.c_str(), X_OK) != 0)
        GTEST_SKIP() << "chamber-sim not built next to the tests";
    const std::string link = "/tmp/sim_options_test." + std::to_string(::getpid());
    ::unlink(link.c_str());

    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {program, "--link", link, "--chamber", "3", "--short-reply", "3"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    // The one line: slave path and link.
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 5000) == 1 && ::read(out[0], &c, 1) == 1)
        line += c;
    ::close(out[0]);
    ASSERT_EQ(line.rfind("/dev/pts/", 0), 0u) << line;
    const std::string path = line.substr(0, line.find(' '));
    EXPECT_EQ(line, path + " " + link + "\n");
    char target[PATH_MAX] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);

    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    const auto request = BuildReadRequest(3, 0x04, 15);
    ASSERT_EQ(::write(fd, request.data(), request.size()), 8);
    std::vector<uint8_t> reply;
    pollfd r{fd, POLLIN, 0};
    uint8_t buffer[64];
    while (reply.size() < 35 && ::poll(&r, 1, 3000) == 1) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        reply.insert(reply.end(), buffer, buffer + n);
    }
    ::close(fd);
    ASSERT_EQ(reply.size(), 35u);  // --short-reply: fifteen words
    EXPECT_EQ(reply[0], 3);
    EXPECT_EQ(reply[2], 30);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind";
}

// The same line on TCP as a serial device server and a Modbus TCP gateway
// give it, read through the client's transports.
TEST(SimProgram, ServesTheLineOnTcpToo)
{
    const std::string program = ProgramPath();
    if (::access(program.c_str(), X_OK) != 0)
        GTEST_SKIP() << "chamber-sim not built next to the tests";
    // Ports from the process number: two test runs at once do not meet.
    const int raw = 20000 + ::getpid() % 20000;
    const int modbus = raw + 1;
    std::vector<std::string> args = {program, "--chamber", "5", "--tcp", std::to_string(raw), "--modbus-tcp",
                                     std::to_string(modbus)};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (::poll(&p, 1, 5000) == 1 && ::read(out[0], &c, 1) == 1 && c != '\n') {
    }
    ::close(out[0]);
    for (auto [kind, port] : {std::pair{TransportKind::RtuOverTcp, raw}, std::pair{TransportKind::ModbusTcp, modbus}}) {
        auto transport = MakeTransport({kind, "", "127.0.0.1", static_cast<uint16_t>(port)});
        std::string reason;
        ASSERT_TRUE(transport->Open(2000, &reason)) << reason;
        const WholeReply reply = transport->Read(5, 0x04, 15, 500);
        EXPECT_EQ(reply.outcome, WholeReply::Outcome::Answered) << port;
        EXPECT_EQ(reply.frame.size(), 39u);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SimProgram, RefusesToReplaceARealFileWithItsLink)
{
    const std::string program = ProgramPath();
    if (::access(program.c_str(), X_OK) != 0)
        GTEST_SKIP() << "chamber-sim not built next to the tests";
    const std::string file = "/tmp/sim_options_test_file." + std::to_string(::getpid());
    const int created = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(created, 0);
    ::close(created);
    const std::string command = program + " --link " + file + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ::unlink(file.c_str());
}

}  // namespace

TEST(SimOptions, ChamberRangesOutagesAndStrict)
{
    sim::SimOptions o;
    std::string error;
    ASSERT_TRUE(sim::ParseSimOptions({"--chambers", "3-6", "--chamber", "5", "--outage", "4:2-5", "--strict"}, &o,
                                     &error))
        << error;
    EXPECT_EQ(o.chambers, (std::vector<int>{3, 4, 5, 6}));
    EXPECT_TRUE(o.strict);
    ASSERT_EQ(o.outages.count(4), 1u);
    EXPECT_EQ(o.outages[4].from, 2);
    EXPECT_EQ(o.outages[4].to, 5);
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--chambers", "6-3"}, {"--chambers", "0-251"}, {"--chambers", "7"},
          {"--chamber", "1", "--outage", "1:5-2"}, {"--chamber", "1", "--outage", "2:1-3"}})
        EXPECT_FALSE(sim::ParseSimOptions(bad, &o, &error)) << bad[1];

    sim::BusSimulator bus;
    sim::SimOptions outage;
    ASSERT_TRUE(sim::ParseSimOptions({"--chamber", "4", "--outage", "4:2-5"}, &outage, &error)) << error;
    sim::ApplySimOptions(outage, &bus);
    EXPECT_EQ(sim::ApplyOutages(outage, &bus, 0), 2);
    EXPECT_FALSE(bus.GetFaults(4).silent);
    EXPECT_EQ(sim::ApplyOutages(outage, &bus, 2.5), 5);
    EXPECT_TRUE(bus.GetFaults(4).silent);
    EXPECT_EQ(sim::ApplyOutages(outage, &bus, 5), -1);
    EXPECT_FALSE(bus.GetFaults(4).silent);
}

// Every form of an outage the help names, and the ones it does not.
TEST(SimOptions, OutageEndsWhereItSaysOrNever)
{
    struct Case {
        const char* value;
        bool ok;
        double from, to;  // to < 0: silent for good
    };
    for (const Case& c : {Case{"20:480-600", true, 480, 600}, Case{"20:480-", true, 480, -1},
                          Case{"20:480", true, 480, -1}, Case{"20:0-", true, 0, -1}, Case{"20:2.5-7.5", true, 2.5, 7.5},
                          Case{"20:480-480", false, 0, 0}, Case{"20:600-480", false, 0, 0}, Case{"20:-480", false, 0, 0},
                          Case{"20:-", false, 0, 0}, Case{"20:x-", false, 0, 0}, Case{"20:480-x", false, 0, 0},
                          Case{"20:480--", false, 0, 0}}) {
        sim::SimOptions o;
        std::string error;
        const bool parsed = sim::ParseSimOptions({"--chamber", "20", "--outage", c.value}, &o, &error);
        ASSERT_EQ(parsed, c.ok) << c.value << ": " << error;
        if (!c.ok)
            continue;
        ASSERT_EQ(o.outages.count(20), 1u) << c.value;
        EXPECT_EQ(o.outages[20].from, c.from) << c.value;
        EXPECT_EQ(o.outages[20].to, c.to) << c.value;
    }

    // An open end: silent from its start on, no change due after it.
    sim::BusSimulator bus;
    const sim::SimOptions open = Parse({"--chamber", "20", "--outage", "20:480-"});
    sim::ApplySimOptions(open, &bus);
    EXPECT_EQ(sim::ApplyOutages(open, &bus, 0), 480);
    EXPECT_FALSE(bus.GetFaults(20).silent);
    EXPECT_EQ(sim::ApplyOutages(open, &bus, 480), -1);
    EXPECT_TRUE(bus.GetFaults(20).silent);
    EXPECT_EQ(sim::ApplyOutages(open, &bus, 1e6), -1);
    EXPECT_TRUE(bus.GetFaults(20).silent);
}

// The program takes it too (its help exits 0 only once every option parsed).
TEST(SimProgram, TakesAnOutageWithAnOpenEnd)
{
    const std::string program = ProgramPath();
    if (::access(program.c_str(), X_OK) != 0)
        GTEST_SKIP() << "chamber-sim not built next to the tests";
    const std::string command = program + " --chamber 20 --outage 20:480- --help >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
