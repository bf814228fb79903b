// One line's scheduler end to end against the simulated line, directly and
// through a simulated gateway: the rhythm, the silent chamber, the scan, the
// lost line and its return, and two lines that do not wait for each other.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <stdexcept>
#include <mutex>
#include <string>
#include <future>
#include <thread>
#include <vector>

#include "link/ChamberContract.h"
#include "link/Waits.h"
#include "monitoring/LineScheduler.h"
#include "sim/BusSimulator.h"
#include "sim/TcpGateway.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;

// What the hooks saw, for the test thread to look at.
class Seen {
public:
    void Read(const ChamberRead& read)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto& count = read.read.answered ? m_answered[read.read.address] : m_unanswered[read.read.address];
        ++count;
        if (!read.read.answered)
            m_outcomes.push_back(read.read.outcome);
    }
    void State(const LineState& state)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_phases.push_back(state.phase);
    }
    int Answered(int address)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_answered[address];
    }
    int Unanswered(int address)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_unanswered[address];
    }
    int Phases(LinePhase phase)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return static_cast<int>(std::count(m_phases.begin(), m_phases.end(), phase));
    }
    // Polls until the condition holds; false when the time is up.
    bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

private:
    std::mutex m_lock;
    std::map<int, int> m_answered;
    std::map<int, int> m_unanswered;
    std::vector<WholeReply::Outcome> m_outcomes;
    std::vector<LinePhase> m_phases;
};

class LineSchedulerTest : public ::testing::Test {
protected:
    void SetUp() override { SetTimeScale(SanitizedTimeScale(0.05)); }  // a 4 s period is 200 ms
    void TearDown() override { SetTimeScale(1.0); }

    void StartBus(const std::vector<int>& chambers, const std::vector<int>& silent = {})
    {
        for (int address : chambers)
            ASSERT_TRUE(bus.AddChamber(address));
        sim::Faults quiet;
        quiet.silent = true;
        for (int address : silent)
            bus.SetFaults(address, quiet);
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
    }
    std::unique_ptr<LineScheduler> Scheduler(const TransportAddress& address, LineSchedule schedule, Seen* seen)
    {
        if (schedule.timeoutMs == LineSchedule().timeoutMs)
            schedule.timeoutMs = 50;
        schedule.openTimeoutMs = 500;
        return std::make_unique<LineScheduler>(
            QStringLiteral("a"), MakeTransport(address), schedule, [seen](const ChamberRead& r) { seen->Read(r); },
            [seen](const LineState& s) { seen->State(s); });
    }
    TransportAddress Serial() const { return {TransportKind::Serial, bus.SlavePath(), "", 0}; }

    sim::BusSimulator bus;
};

TEST_F(LineSchedulerTest, EveryChamberInRhythmAndTheSilentOneAskedLessOften)
{
    StartBus({1, 2, 3}, {2});
    Seen seen;
    LineSchedule schedule;
    schedule.chambers = {1, 2, 3};
    auto line = Scheduler(Serial(), schedule, &seen);
    line->Start();
    // Twenty periods: each answering chamber read in each of them.
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(1) >= 20 && seen.Answered(3) >= 20; }, 30s));
    line->Stop();
    EXPECT_EQ(seen.Unanswered(1), 0);
    EXPECT_EQ(seen.Answered(2), 0);
    // Three silent turns, then 8, 16, 32 … s apart: a handful of asks in
    // twenty periods, not twenty.
    EXPECT_GE(seen.Unanswered(2), 3);
    EXPECT_LE(seen.Unanswered(2), 8);
    EXPECT_EQ(line->State().phase, LinePhase::Reading);
}

TEST_F(LineSchedulerTest, ScanFindsTheChambersOfTheLine)
{
    StartBus({4, 200});
    Seen seen;
    LineSchedule schedule;
    schedule.scan = true;
    schedule.scanTries = 1;
    schedule.timeoutMs = kUnderThreadSanitizer ? 50 : 25;  // 249 silent addresses
    auto line = Scheduler(Serial(), schedule, &seen);
    line->Start();
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(4) >= 2 && seen.Answered(200) >= 2; }, 60s));
    line->Stop();
    EXPECT_EQ(line->State().chambers, (QVector<int>{4, 200}));
    EXPECT_EQ(seen.Unanswered(5), 0);  // the scan's asks are no reads
    EXPECT_EQ(seen.Phases(LinePhase::Scanning), 1);
}

TEST_F(LineSchedulerTest, DroppedConnectionIsMadeAgainAndReadingGoesOn)
{
    StartBus({1});
    sim::TcpGateway gateway;
    sim::TcpGateway::Options options;
    options.linePath = bus.SlavePath();
    std::string error;
    ASSERT_TRUE(gateway.Start(options, &error)) << error;
    Seen seen;
    LineSchedule schedule;
    schedule.chambers = {1};
    auto line = Scheduler({TransportKind::RtuOverTcp, "", "127.0.0.1", gateway.Port()}, schedule, &seen);
    line->Start();
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(1) >= 3; }, 10s));
    gateway.DropConnection();
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Phases(LinePhase::Lost) >= 1; }, 10s));
    const int before = seen.Answered(1);
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(1) >= before + 3; }, 20s));
    line->Stop();
    EXPECT_EQ(line->State().opens, 2);
    EXPECT_EQ(gateway.Accepted(), 2);
}

TEST_F(LineSchedulerTest, PulledAdapterIsOpenedAgainWhenItIsBack)
{
    StartBus({1});
    // The device by a name of its own, as /dev/serial/by-id gives it.
    const std::string link = testing::TempDir() + "calvetra-line-" + std::to_string(::getpid());
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(bus.SlavePath().c_str(), link.c_str()), 0);
    Seen seen;
    LineSchedule schedule;
    schedule.chambers = {1};
    auto line = Scheduler({TransportKind::Serial, link, "", 0}, schedule, &seen);
    line->Start();
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(1) >= 2; }, 10s));
    bus.Stop();
    ::unlink(link.c_str());
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Phases(LinePhase::Lost) >= 1; }, 10s));
    std::string error;
    ASSERT_TRUE(bus.Start(&error)) << error;
    ASSERT_EQ(::symlink(bus.SlavePath().c_str(), link.c_str()), 0);
    const int before = seen.Answered(1);
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(1) >= before + 2; }, 20s));
    line->Stop();
    ::unlink(link.c_str());
    EXPECT_GE(line->State().opens, 2);
}

TEST_F(LineSchedulerTest, SilentLineDoesNotDelayAnother)
{
    StartBus({1, 2});
    sim::BusSimulator dead;  // a line of chambers that all stay silent
    sim::Faults quiet;
    quiet.silent = true;
    for (int address = 1; address <= 8; ++address) {
        ASSERT_TRUE(dead.AddChamber(address));
        dead.SetFaults(address, quiet);
    }
    std::string error;
    ASSERT_TRUE(dead.Start(&error)) << error;
    Seen good;
    Seen bad;
    LineSchedule schedule;
    schedule.chambers = {1, 2};
    auto a = Scheduler(Serial(), schedule, &good);
    schedule.chambers = {1, 2, 3, 4, 5, 6, 7, 8};
    auto b = Scheduler({TransportKind::Serial, dead.SlavePath(), "", 0}, schedule, &bad);
    b->Start();
    a->Start();
    ASSERT_TRUE(good.WaitFor([&] { return good.Answered(1) >= 20 && good.Answered(2) >= 20; }, 30s));
    a->Stop();
    b->Stop();
    // Eight silent chambers cost the dead line 400 ms a turn, twice its
    // period; the good line kept its own rhythm all the same.
    EXPECT_EQ(good.Unanswered(1) + good.Unanswered(2), 0);
    EXPECT_GE(bad.Unanswered(1), 3);
}

// Exchanges from several threads at once, queued to the line among its reads:
// each runs on the line's thread, the simulator (strict: a request while a
// reply is due is a collision) never sees two requests outstanding, a
// failure comes back to its caller, and an exchange's own exchange runs
// inside it.
TEST_F(LineSchedulerTest, ExchangesRunOnTheLinesThreadBetweenItsReads)
{
    StartBus({1, 2, 3}, {3});
    bus.SetStrict(true);
    std::mutex lock;
    std::vector<std::thread::id> readThreads;
    std::vector<std::thread::id> exchangeThreads;
    LineSchedule schedule;
    schedule.chambers = {1, 2, 3};
    schedule.timeoutMs = 50;
    schedule.openTimeoutMs = 500;
    LineScheduler line(
        QStringLiteral("a"), MakeTransport(Serial()), schedule,
        [&](const ChamberRead&) {
            std::lock_guard<std::mutex> guard(lock);
            readThreads.push_back(std::this_thread::get_id());
        },
        nullptr);
    line.Start();
    std::atomic<int> asked{0};
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                line.Exchange([&] {
                    {
                        std::lock_guard<std::mutex> guard(lock);
                        exchangeThreads.push_back(std::this_thread::get_id());
                    }
                    // Two requests in one exchange: no read comes between them.
                    for (int k = 0; k < 2; ++k) {
                        const WholeReply reply = line.LineTransport().Read(static_cast<uint8_t>(1 + (t + i) % 2),
                                                                           kStatusFunction, kStatusRegisterCount, 200);
                        ++asked;
                        answered += reply.outcome == WholeReply::Outcome::Answered;
                    }
                });
        });
    for (std::thread& c : callers)
        c.join();
    EXPECT_THROW(line.Exchange([] { throw std::runtime_error("refused"); }), std::runtime_error);
    // Not waited for: ended tells, on the line's thread, with the job's failure.
    std::promise<std::pair<std::thread::id, std::string>> later;
    line.ExchangeLater([] { throw std::runtime_error("later refused"); },
                       [&](std::exception_ptr failure) {
                           std::string what;
                           try {
                               if (failure)
                                   std::rethrow_exception(failure);
                           } catch (const std::exception& e) {
                               what = e.what();
                           }
                           later.set_value({std::this_thread::get_id(), what});
                       });
    const auto told = later.get_future().get();
    EXPECT_NE(told.first, std::this_thread::get_id());
    EXPECT_EQ(told.second, "later refused");
    bool innerRan = false;
    line.Exchange([&] { line.Exchange([&] { innerRan = true; }); });
    EXPECT_TRUE(innerRan);
    line.Stop();
    EXPECT_EQ(asked.load(), 60);
    // A loaded machine may hold the simulator past a timeout now and then.
    EXPECT_GT(answered.load(), 30);
    EXPECT_TRUE(bus.Collisions().empty()) << (bus.Collisions().empty() ? "" : bus.Collisions().front());
    ASSERT_EQ(exchangeThreads.size(), 30u);
    ASSERT_FALSE(readThreads.empty());
    for (std::thread::id id : exchangeThreads)
        EXPECT_EQ(id, readThreads.front());
    EXPECT_NE(readThreads.front(), std::this_thread::get_id());
    // Stopped: an exchange runs on the caller's thread, there being no other.
    std::thread::id ranOn;
    line.Exchange([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    bool endedAtOnce = false;
    line.ExchangeLater([] {}, [&](std::exception_ptr failure) { endedAtOnce = !failure; });
    EXPECT_TRUE(endedAtOnce);
}

// The desktop's way of using a line: reading switched on and off, chambers
// added and removed while it runs, a selected chamber that is never asked
// less often, and an exchange expected by a timer that no read delays.
TEST_F(LineSchedulerTest, ChambersChangeWhileItRunsAndTheSelectedOneIsNeverBackedOff)
{
    StartBus({1, 2, 3, 5}, {5});
    Seen seen;
    std::atomic<int> selectedReads{0};
    LineSchedule schedule;
    schedule.chambers = {1};
    schedule.timeoutMs = 50;
    schedule.openTimeoutMs = 500;
    LineScheduler line(
        QStringLiteral("a"), MakeTransport(Serial()), schedule,
        [&](const ChamberRead& r) {
            seen.Read(r);
            selectedReads += r.read.selected;
        },
        nullptr);
    line.Start();
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(1) >= 3; }, 10s));
    line.SetChambers({1, 2, 3});
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(2) >= 3 && seen.Answered(3) >= 3; }, 10s));
    line.SetChambers({2, 3});
    const int oneBefore = seen.Answered(1);
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(2) >= 10; }, 10s));
    EXPECT_LE(seen.Answered(1) - oneBefore, 1);  // a read in flight at most
    // The silent chamber selected: asked at every period, not backed off.
    line.SetSelected(5, 4000);
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Unanswered(5) >= 12; }, 20s));
    EXPECT_GE(selectedReads.load(), 12);
    EXPECT_EQ(line.Selected(), 5);
    line.ClearSelected();
    // Reading off: nothing more is read, yet an exchange still runs.
    line.SetReading(false);
    line.Exchange([] {});
    const int twoOff = seen.Answered(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(ScaledMs(4000) * 3));
    EXPECT_EQ(seen.Answered(2), twoOff);
    bool ran = false;
    line.Exchange([&] { ran = true; });
    EXPECT_TRUE(ran);
    line.SetReading(true);
    ASSERT_TRUE(seen.WaitFor([&] { return seen.Answered(2) > twoOff; }, 10s));
    line.Stop();
}

// An exchange that a timer brings at a known moment keeps that moment: the
// line starts no read that could still run then, even with a silent chamber
// whose every read lasts a whole timeout.
TEST_F(LineSchedulerTest, ExpectedExchangeIsNotDelayedByAReadInFlight)
{
    StartBus({1}, {2});
    LineSchedule schedule;
    schedule.chambers = {2};  // silent: each read lasts its whole timeout
    schedule.timeoutMs = 400;
    schedule.periodMs = 1;    // read back to back
    schedule.openTimeoutMs = 500;
    LineScheduler line(QStringLiteral("a"), MakeTransport(Serial()), schedule, nullptr, nullptr);
    line.Start();
    std::this_thread::sleep_for(500ms);
    long long worstMs = 0;
    for (int i = 0; i < 5; ++i) {
        const auto due = std::chrono::steady_clock::now() + 1000ms;
        line.ExpectExchangeAt(due);
        std::this_thread::sleep_until(due);
        std::chrono::steady_clock::time_point began;
        line.Exchange([&] { began = std::chrono::steady_clock::now(); });
        worstMs = std::max<long long>(worstMs, std::chrono::duration_cast<std::chrono::milliseconds>(began - due).count());
    }
    line.ClearExpectedExchange();
    line.Stop();
    // Without the line giving way, a read of 400 ms would be in flight at
    // most moments; with it, only the hand-over is waited for.
    EXPECT_LT(worstMs, 200);
}

TEST(LineSchedulerPause, ReopenPauses)
{
    struct Case {
        TransportKind kind;
        int failures;
        int ms;
    } cases[] = {
        {TransportKind::Serial, 1, 1000}, {TransportKind::Serial, 9, 1000},     {TransportKind::RtuOverTcp, 1, 1000},
        {TransportKind::RtuOverTcp, 2, 2000}, {TransportKind::ModbusTcp, 5, 16000}, {TransportKind::ModbusTcp, 6, 30000},
        {TransportKind::ModbusTcp, 60, 30000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReopenPauseMs(c.kind, c.failures), c.ms) << c.failures;
}

}  // namespace
