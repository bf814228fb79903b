// The status endpoint beside a polling application: what it answers matches
// the main window, nothing on it writes, and a flood of bad or slow clients
// neither holds up the poll nor makes memory grow without bound. Loopback only.
#include <QJsonDocument>
#include <QJsonObject>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "monitoring/LocaleText.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/Sanitizers.h"
#include "support/MetricsParse.h"
#include "ui/AlarmCenter.h"
#include "ui/ErrorDisplay.h"
#include "services/StatusEndpoint.h"
#include "services/Watching.h"
#include "ui/main.h"

namespace {

using Words = std::array<uint16_t, 17>;

// -12.3 °C of 25.0, 60.5 % of 70 %, program 3, step 2(5), cycle 10(100).
Words Plausible() { return {65413, 3, 250, 0, 5, 30, 1, 15, 2, 45, 2, 5, 10, 100, 75, 605, 700}; }

int Connect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string ReadToEnd(int fd)
{
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

// One request; the whole answer (status line, headers, body).
std::string Request(quint16 port, const std::string& request)
{
    const int fd = Connect(port);
    if (fd < 0)
        return {};
    SendAll(fd, request);
    std::string answer = ReadToEnd(fd);
    ::close(fd);
    return answer;
}

std::string Body(const std::string& answer)
{
    const size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// The window's text of a value, as a number.
double Shown(const QLabel* label)
{
    QString text = label->text();
    text.replace(DecimalSeparator(), ".");
    bool ok = false;
    const double v = text.toDouble(&ok);
    EXPECT_TRUE(ok) << text.toStdString();
    return v;
}

}  // namespace

class EndpointTest : public AppFixture {
protected:
    EndpointTest() : AppFixture(0.1) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        bus.SetSpeed(0);
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(bus.AddChamber(4));
        bus.WithChamber(4, [](sim::ChamberModel& m) {
            const Words w = Plausible();
            for (int n = 0; n < 17; ++n)
                m.PinStatusWord(n, w[n]);
        });
        Endpoint = new StatusEndpoint;
        QString failure;
        ASSERT_TRUE(Endpoint->Start("127.0.0.1", 0, &failure)) << failure.toStdString();
        port = Endpoint->Port();
        ASSERT_NE(port, 0);
    }
    void TearDown() override
    {
        StopWatching();
        AppFixture::TearDown();
        bus.Stop();
    }
    void StartReading()
    {
        Form1->ListBox1->addItem(ChamberEntryText(4));
        Form1->ListBox1->setCurrentRow(0);
        Guarded([] { Form1->Button6Click(); });
    }
    quint64 Answered() const { return AlarmCenter->Watched().pollsAnswered; }

    sim::BusSimulator bus;
    quint16 port = 0;
};

TEST_F(EndpointTest, MetricsAndStatusMatchTheMainWindow)
{
    StartReading();
    ASSERT_TRUE(PumpUntil([&] { return Answered() >= 2; }, 20000));
    const std::string answer = Request(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    const QByteArray text = QByteArray::fromStdString(Body(answer));
    const ParsedMetrics m = ParseMetrics(text);
    ASSERT_TRUE(m.errors.isEmpty()) << m.errors.join('\n').toStdString();
    const QString at = R"(address="4",port="COM1")";
    auto value = [&](const char* name) {
        double v = qQNaN();
        EXPECT_TRUE(m.Find(name, at, &v)) << name;
        return v;
    };
    EXPECT_DOUBLE_EQ(value("calvetra_temperature_celsius"), Shown(Form1->Label5));
    EXPECT_DOUBLE_EQ(value("calvetra_temperature_setpoint_celsius"), Shown(Form1->Label18));
    EXPECT_DOUBLE_EQ(value("calvetra_humidity_relative"), Shown(Form1->Label2));
    EXPECT_DOUBLE_EQ(value("calvetra_humidity_setpoint_relative"), Shown(Form1->Label4));
    EXPECT_DOUBLE_EQ(value("calvetra_program"), Shown(Form1->Label17));
    EXPECT_EQ(QStringLiteral("%1(%2)").arg(value("calvetra_step")).arg(value("calvetra_steps")),
              Form1->Label13->text());
    EXPECT_EQ(QStringLiteral("%1(%2)").arg(value("calvetra_cycle")).arg(value("calvetra_cycles")),
              Form1->Label20->text());
    EXPECT_EQ(value("calvetra_link_up"), 1);
    EXPECT_EQ(value("calvetra_reading"), 1);
    EXPECT_GE(value("calvetra_polls_answered_total"), 2);
    EXPECT_EQ(value("calvetra_polls_unanswered_total"), 0);
    EXPECT_GE(value("calvetra_seconds_since_last_answer"), 0);
    bool available = false;
    const QString complaints = PromtoolCheck(text, &available);
    EXPECT_TRUE(complaints.isEmpty()) << complaints.toStdString();

    const std::string json = Body(Request(port, "GET /api/status HTTP/1.0\r\n\r\n"));
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    EXPECT_DOUBLE_EQ(o["temperature"].toDouble(), Shown(Form1->Label5));
    EXPECT_DOUBLE_EQ(o["humidity"].toDouble(), Shown(Form1->Label2));
    EXPECT_EQ(o["address"].toInt(), 4);
    EXPECT_EQ(o["port"].toString(), "COM1");
    EXPECT_EQ(o["link"].toString(), "up");

    // Another entry picked but not opened: the chamber is still on COM1.
    Form1->ComboBox1->setCurrentIndex(3);
    const quint64 polls = Answered();
    ASSERT_TRUE(PumpUntil([&] { return Answered() > polls; }, 20000));
    const std::string after = Body(Request(port, "GET /metrics HTTP/1.1\r\n\r\n"));
    double temperature = qQNaN();
    EXPECT_TRUE(ParseMetrics(QByteArray::fromStdString(after)).Find("calvetra_temperature_celsius", at, &temperature))
        << after;
    const QJsonObject status =
        QJsonDocument::fromJson(QByteArray::fromStdString(Body(Request(port, "GET /api/status HTTP/1.0\r\n\r\n"))))
            .object();
    EXPECT_EQ(status["port"].toString(), "COM1");
}

// The request head as the server reads it, byte for byte: the request line
// decides at once, and a blank before the method is no method.
TEST(RequestHeadTest, VerdictsOnTheHeadSoFar)
{
    using State = RequestHead::State;
    struct Case {
        const char* bytes;
        bool tooLong;
        State state;
        bool headOnly;
        const char* path;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", false, State::Complete, false, "/"},
        {"HEAD /metrics?x=1 HTTP/1.0\n\n", false, State::Complete, true, "/metrics"},
        {"GET / HTTP/1.1\r\nHost: x\r\n", false, State::Incomplete, false, ""},
        {"GE", false, State::Incomplete, false, ""},
        {"", false, State::Incomplete, false, ""},
        {"POST / HTTP/1.1\r\n\r\n", false, State::NotAllowed, false, ""},
        {"GET metrics HTTP/1.1\r\n", false, State::BadLine, false, ""},
        {"\x16\x03\x01", false, State::BadLine, false, ""},
        {" GET / HTTP/1.1\r\n\r\n", false, State::BadLine, false, ""},
        {" \x16\x03\x01", false, State::BadLine, false, ""},
        {" ", false, State::BadLine, false, ""},
        {"GET / HTTP/1.1\r\n", true, State::TooLong, false, ""},
    };
    for (const Case& c : cases) {
        const RequestHead r = ParseRequestHead(QByteArray(c.bytes), c.tooLong);
        EXPECT_EQ(r.state, c.state) << c.bytes;
        EXPECT_EQ(r.headOnly, c.headOnly) << c.bytes;
        EXPECT_EQ(r.path, QByteArray(c.path)) << c.bytes;
    }
}

TEST_F(EndpointTest, NothingOnTheEndpointWritesOrChangesAnything)
{
    StartReading();
    ASSERT_TRUE(PumpUntil([&] { return Answered() >= 1; }, 20000));
    const AlarmSettings before = AlarmCenter->Settings();
    struct Case {
        const char* request;
        const char* status;
    };
    const std::vector<Case> cases = {
        {"POST /metrics HTTP/1.1\r\nContent-Length: 4\r\n\r\nstop", "405"},
        {"PUT /api/status HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "405"},
        {"DELETE /api/status HTTP/1.1\r\n\r\n", "405"},
        {"GET /api/start HTTP/1.1\r\n\r\n", "404"},
        {"GET /metrics?x=1 HTTP/1.1\r\n\r\n", "200"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "200"},
        {"GET metrics HTTP/1.1\r\n\r\n", "400"},
        {"\x16\x03\x01\x02", "400"},  // a TLS hello: refused at its first byte, not at the deadline
        {"GET /metrics\r\n\r\n", "400"},
    };
    for (const Case& c : cases) {
        const std::string answer = Request(port, c.request);
        EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + c.status) << c.request << "\n" << answer;
    }
    EXPECT_TRUE(Body(Request(port, "HEAD /metrics HTTP/1.1\r\n\r\n")).empty());
    Pump(300);
    for (const sim::LineFrame& f : bus.ReceivedFrames())
        ASSERT_EQ(f.bytes.at(1), 0x04) << "the endpoint made the application write to the line";
    EXPECT_EQ(AlarmCenter->Settings(), before);
}

TEST_F(EndpointTest, FloodNeitherHoldsUpThePollNorGrowsMemory)
{
    StartReading();
    ASSERT_TRUE(PumpUntil([&] { return Answered() >= 1; }, 20000));
    const long rssBefore = ResidentKb();
    const quint64 answeredBefore = Answered();

    std::atomic<int> ok{0}, refusedOrFailed{0};
    // Seen by the clients: they go on until the window has polled three
    // more times, so that the flood and the polls surely overlap.
    std::atomic<quint64> answeredNow{answeredBefore};
    std::atomic<bool> hugeCut{false};
    std::vector<std::thread> threads;
    // At least 1,000 ordinary requests from 8 clients at once.
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 125 || (answeredNow.load() < answeredBefore + 3 && i < 10000); ++i) {
                const std::string a = Request(port, "GET /metrics HTTP/1.1\r\n\r\n");
                (a.rfind("HTTP/1.1 200", 0) == 0 ? ok : refusedOrFailed)++;
            }
        });
    // Slow clients: a few bytes, then nothing; the deadline must free them.
    std::vector<int> slow;
    for (int i = 0; i < 10; ++i) {
        const int fd = Connect(port);
        if (fd >= 0) {
            SendAll(fd, "GET /met");
            slow.push_back(fd);
        }
    }
    // A 10 MB header: the server answers 431 or closes long before taking it all.
    threads.emplace_back([&] {
        const int fd = Connect(port);
        std::string head = "GET /metrics HTTP/1.1\r\nX-Big: ";
        const bool all = SendAll(fd, head) && SendAll(fd, std::string(10 * 1024 * 1024, 'a'));
        const std::string a = ReadToEnd(fd);
        hugeCut = !all || a.rfind("HTTP/1.1 431", 0) == 0;
        ::close(fd);
    });
    // A malformed request line.
    threads.emplace_back([&] {
        const std::string a = Request(port, "GARBAGE\r\n\r\n");
        EXPECT_EQ(a.rfind("HTTP/1.1 400", 0), 0u) << a;
    });

    std::atomic<int> finished{0};
    std::thread waiter([&] {
        for (auto& t : threads)
            t.join();
        finished = 1;
    });
    // The window keeps polling meanwhile.
    ASSERT_TRUE(PumpUntil(
        [&] {
            answeredNow = Answered();
            return finished.load() == 1;
        },
        120000));
    waiter.join();
    const quint64 pollsDuringFlood = Answered() - answeredBefore;
    ASSERT_TRUE(PumpUntil([&] { return Answered() >= answeredBefore + pollsDuringFlood + 2; }, 20000));

    EXPECT_GE(ok.load(), 1000);
    EXPECT_EQ(refusedOrFailed.load(), 0);
    EXPECT_TRUE(hugeCut.load());
    EXPECT_GE(pollsDuringFlood, 3u) << "the polls stopped during the flood";
    EXPECT_EQ(AlarmCenter->Watched().pollsUnanswered, 0u);
    EXPECT_LE(Endpoint->MostConnectionsAtOnce(), EndpointLimits{}.maxConnections);
    // The slow clients were told their head came too late, not kept for ever.
    for (int fd : slow) {
        const std::string a = ReadToEnd(fd);
        EXPECT_EQ(a.rfind("HTTP/1.1 408", 0), 0u) << a;
        ::close(fd);
    }
    EXPECT_TRUE(PumpUntil([&] { return Endpoint->OpenConnections() == 0; }, 20000));
    const long grown = ResidentKb() - rssBefore;
    if (!kUnderAddressSanitizer)
        EXPECT_LT(grown, 64 * 1024) << "resident memory grew by " << grown << " kB";
}

TEST_F(EndpointTest, IdleConnectionsGiveWayToARealScraper)
{
    StatusEndpoint small(EndpointLimits{4, 1024, 5000, 3000});
    QString failure;
    ASSERT_TRUE(small.Start("127.0.0.1", 0, &failure));
    std::vector<int> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(Connect(small.Port()));
        // In order of arrival.
        ASSERT_TRUE(PumpUntil([&] { return small.OpenConnections() == i + 1; }, 10000));
    }
    // Every place taken by connections that say nothing: a scraper is
    // still answered, and the oldest idle one made room.
    const std::string answer = Request(small.Port(), "GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_EQ(small.Dropped(), 1);
    EXPECT_EQ(small.Refused(), 0);
    char c;
    EXPECT_EQ(::recv(held[0], &c, 1, 0), 0) << "the oldest idle connection is still open";
    for (int fd : held)
        ::close(fd);
    ASSERT_TRUE(PumpUntil([&] { return small.OpenConnections() == 0; }, 10000));
    EXPECT_LE(small.MostConnectionsAtOnce(), 4);
    // A head one byte over the limit.
    EXPECT_EQ(Request(small.Port(), "GET /metrics HTTP/1.1\r\nX: " + std::string(1100, 'a') + "\r\n\r\n")
                  .rfind("HTTP/1.1 431", 0),
              0u);
}

TEST_F(EndpointTest, RequestHeadMustComeWithinItsTime)
{
    // The whole connection may last 10 s, its head only 0.3 s.
    StatusEndpoint small(EndpointLimits{4, 1024, 10000, 300});
    QString failure;
    ASSERT_TRUE(small.Start("127.0.0.1", 0, &failure));
    for (const char* part : {"", "GET /met", "GET /metrics HTTP/1.1\r\nHost: x\r\n"}) {
        const int fd = Connect(small.Port());
        ASSERT_GE(fd, 0);
        SendAll(fd, part);
        // Connect() gives the socket a 10 s receive limit: an answer before
        // it can only be the head's.
        const std::string answer = ReadToEnd(fd);
        ::close(fd);
        EXPECT_EQ(answer.rfind("HTTP/1.1 408", 0), 0u) << "after \"" << part << "\": " << answer;
    }
    // A head sent at once is answered as ever.
    EXPECT_EQ(Request(small.Port(), "GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_TRUE(PumpUntil([&] { return small.OpenConnections() == 0; }, 10000));
}

TEST_F(EndpointTest, ListenOptionAndSettingsKey)
{
    struct Case {
        QStringList args;
        const char* saved;
        const char* expected;
        bool missing;
    };
    const std::vector<Case> cases = {
        {{"calvetra"}, "", "", false},
        {{"calvetra"}, "9100", "9100", false},
        {{"calvetra", "--listen", "0.0.0.0:9200"}, "9100", "0.0.0.0:9200", false},
        {{"calvetra", "--listen=9300"}, "", "9300", false},
        {{"calvetra", "--listen"}, "9100", "9100", true},
        {{"calvetra", "--listen", "--other"}, "", "", true},
        {{"calvetra", "--listen", "1", "--listen", "2"}, "", "2", false},
    };
    for (const Case& c : cases) {
        bool missing = false;
        EXPECT_EQ(ListenSetting(c.args, c.saved, &missing), c.expected) << c.args.join(' ').toStdString();
        EXPECT_EQ(missing, c.missing) << c.args.join(' ').toStdString();
    }
    // A port already taken: the operator is told, the program goes on.
    StopWatching();
    StatusEndpoint taken;
    QString failure;
    ASSERT_TRUE(taken.Start("127.0.0.1", 0, &failure));
    StartWatching({"calvetra", "--listen", QString::number(taken.Port())});
    EXPECT_EQ(Endpoint, nullptr);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QString::number(taken.Port()))) << errors[0].toStdString();
    StartWatching({"calvetra", "--listen", "nonsense"});
    EXPECT_EQ(errors.size(), 2);
}

// Fifty scrapers at once, four requests each: more than the places, so some
// wait for one, and every request is answered; none is reset.
TEST(EndpointQueueTest, FiftyParallelScrapersAreAllAnswered)
{
    StatusEndpoint endpoint;
    QString failure;
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0, &failure)) << failure.toStdString();
    const quint16 port = endpoint.Port();
    constexpr int kClients = 50;
    constexpr int kRequests = 4;
    static_assert(kClients > EndpointLimits{}.maxConnections, "the burst must outnumber the places");
    std::atomic<int> ready{0}, ok{0};
    std::atomic<bool> go{false};
    std::vector<std::string> failures(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            for (int r = 0; r < kRequests; ++r) {
                const std::string answer = Request(port, "GET /metrics HTTP/1.1\r\nHost: lab\r\n\r\n");
                if (answer.rfind("HTTP/1.1 200", 0) == 0)
                    ++ok;
                else if (failures[c].empty())
                    failures[c] = answer.empty() ? "reset or closed unanswered" : answer.substr(0, 40);
            }
        });
    while (ready.load() < kClients)
        std::this_thread::yield();
    go = true;
    for (std::thread& t : clients)
        t.join();
    for (int c = 0; c < kClients; ++c)
        EXPECT_TRUE(failures[c].empty()) << "client " << c << ": " << failures[c];
    EXPECT_EQ(ok.load(), kClients * kRequests);
    EXPECT_EQ(endpoint.Refused(), 0);
    EXPECT_EQ(endpoint.Dropped(), 0);
    EXPECT_LE(endpoint.MostConnectionsAtOnce(), EndpointLimits{}.maxConnections);
}

// The queue has its bound: beyond it a flood is refused at once, while those
// in the queue get the places that come free, in the order they came.
TEST(EndpointQueueTest, AFullQueueRefusesAndTheQueuedTakeFreedPlaces)
{
    EndpointLimits limits;
    limits.maxConnections = 2;
    limits.maxQueued = 2;
    limits.headMs = 20000;
    limits.deadlineMs = 30000;
    limits.queueMs = 20000;
    StatusEndpoint endpoint(limits);
    QString failure;
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0, &failure)) << failure.toStdString();
    auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 1000 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    };
    // Two in the places, two in the queue, each saying nothing yet.
    std::vector<int> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(Connect(endpoint.Port()));
        ASSERT_GE(held.back(), 0);
        ASSERT_TRUE(waitFor([&] { return endpoint.OpenConnections() == std::min(i + 1, 2); }));
    }
    // The fifth finds the queue full: closed unanswered, long before any
    // wait of the queue's could have passed.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Request(endpoint.Port(), "GET /metrics HTTP/1.1\r\n\r\n"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(limits.queueMs / 2));
    EXPECT_TRUE(waitFor([&] { return endpoint.Refused() == 1; }));
    // The queued ones sent their heads while waiting; a freed place answers
    // the first of them.
    for (int i : {2, 3})
        ASSERT_TRUE(SendAll(held[i], "GET /metrics HTTP/1.1\r\n\r\n"));
    ::close(held[0]);
    const std::string third = ReadToEnd(held[2]);
    EXPECT_EQ(third.rfind("HTTP/1.1 200", 0), 0u) << third;
    ::close(held[1]);
    const std::string fourth = ReadToEnd(held[3]);
    EXPECT_EQ(fourth.rfind("HTTP/1.1 200", 0), 0u) << fourth;
    ::close(held[2]);
    ::close(held[3]);
    EXPECT_TRUE(waitFor([&] { return endpoint.OpenConnections() == 0; }));
    EXPECT_EQ(endpoint.Refused(), 1);
    EXPECT_EQ(endpoint.Dropped(), 0);
    EXPECT_LE(endpoint.MostConnectionsAtOnce(), 2);
}
