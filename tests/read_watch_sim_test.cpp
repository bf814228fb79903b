// A chamber that is not being read, end to end against the simulator: a line
// held on purpose, a stalled user-interface thread, a stopped poll timer.
// "нет опроса" comes in the alarm rules, the event file, the marker and the
// tile; /metrics carries the growing age of the last read and drops values
// no longer measured. A silent chamber asked less often raises nothing.
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include "link/ChamberContract.h"
#include "link/Waits.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/LineOwner.h"
#include "monitoring/Monitoring.h"
#include "monitoring/ReadWatch.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/HeldLine.h"
#include "support/MetricsParse.h"
#include "support/Sanitizers.h"
#include "ui/AlarmCenter.h"
#include "ui/ErrorDisplay.h"
#include "ui/OverviewWindow.h"
#include "services/StatusEndpoint.h"
#include "services/Watching.h"
#include "ui/main.h"

namespace {

// GET path from the endpoint on loopback; the body, empty on failure.
QByteArray Get(quint16 port, const char* path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return {};
    }
    const std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    QByteArray answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, n);
    ::close(fd);
    const qsizetype body = answer.indexOf("\r\n\r\n");
    return body < 0 ? QByteArray() : answer.mid(body + 4);
}

QString At(int address) { return QStringLiteral("address=\"%1\"").arg(address); }

// The one sample of a chamber's series (with the further label, if any),
// NaN when the series is not there.
double Sample(const ParsedMetrics& m, const char* name, int address, const QString& more = {})
{
    double v = qQNaN();
    int found = 0;
    for (auto it = m.samples.begin(); it != m.samples.end(); ++it)
        if (it.key().startsWith(QLatin1String(name) + u'{') && it.key().contains(At(address)) &&
            it.key().contains(more)) {
            v = it.value();
            ++found;
        }
    return found == 1 ? v : qQNaN();
}

bool NotReadActive(const AlarmRules* rules)
{
    if (!rules)
        return false;
    for (const Alarm& a : rules->Alarms())
        if (a.active && a.kind == AlarmKind::Link && a.text == QStringLiteral("нет опроса"))
            return true;
    return false;
}

const QColor kTileAlarm(0xff, 0xb8, 0xb8);

class ReadWatchSimTest : public AppFixture {
protected:
    ReadWatchSimTest() : AppFixture(SanitizedTimeScale(0.05)) {}
    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(folder.isValid());
        SetProgramFolderForTests(folder.path());
        AlarmCenter->SetNotifier([](const QString&, const QString&, bool) { return true; });
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        for (int a : {4, 5, 17})
            bus.AddChamber(a);
        bus.SetSpeed(0);
        bus.SetStrict(true);
        OpenPortOn(bus.SlavePath());
        Endpoint = new StatusEndpoint;
        QString failure;
        ASSERT_TRUE(Endpoint->Start("127.0.0.1", 0, &failure)) << failure.toStdString();
        port = Endpoint->Port();
        ASSERT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    }
    void TearDown() override
    {
        StopWatching();
        AppFixture::TearDown();
        SetProgramFolderForTests(QString());
        EXPECT_TRUE(bus.Collisions().empty());
        bus.Stop();
    }
    ParsedMetrics Scrape() const { return ParseMetrics(Get(port, "/metrics")); }
    QString Events() const { return QString::fromUtf8(ReadFileBytes(AlarmEventFileName(LogFolder()))); }
    static bool Answering(int address)
    {
        const WatchedChamber* c = FormOverview->Chamber(address);
        return c && c->link == ChamberLink::Answering;
    }
    void WatchAndWaitForAnswers(const QVector<int>& addresses)
    {
        for (int a : addresses)
            FormOverview->Watch(a);
        FormOverview->show();
        ASSERT_TRUE(PumpUntil(
            [&] { return std::all_of(addresses.begin(), addresses.end(), [](int a) { return Answering(a); }); },
            10000));
    }
    void ReadChamber4()
    {
        Form1->ListBox1->addItem(ChamberEntryText(4));
        Form1->ListBox1->setCurrentRow(0);
        Guarded([] { Form1->Button6Click(); });
        ASSERT_TRUE(PumpUntil([] { return AlarmCenter->Watched().pollsAnswered >= 2; }, 10000));
    }
    static int Period() { return ChamberPeriodMs(); }

    QTemporaryDir folder;
    sim::BusSimulator bus;
    quint16 port = 0;
};

}  // namespace

TEST_F(ReadWatchSimTest, LineHeldOnPurposeRaisesNotReadEverywhereUntilReadsComeAgain)
{
    WatchAndWaitForAnswers({5, 17});
    {
        // No read runs while the line is held; the read in flight, if any,
        // is noted as it is handed over.
        HeldLine hold;
        Pump(20);
        const std::optional<ReadMark> last = LastChamberRead(5);
        ASSERT_TRUE(last);
        const qint64 lastReadAt = QDateTime::currentMSecsSinceEpoch() - ReadAgeMs(*last, ReadClock::now());
        ASSERT_TRUE(PumpUntil([] { return NotReadActive(FormOverview->Alarms(5)) && NotReadActive(FormOverview->Alarms(17)); },
                              20 * Period() + 5000));
        // Not before three periods without a read.
        for (const Alarm& a : FormOverview->Alarms(5)->Alarms())
            if (a.text == QStringLiteral("нет опроса")) {
                EXPECT_GE(a.start - lastReadAt, 3 * last->periodMs - 2);
            }
        // The marker, the tile, the event file.
        EXPECT_TRUE(AlarmCenter->MarkerText().contains(QStringLiteral("нет опроса")))
            << AlarmCenter->MarkerText().toStdString();
        ASSERT_TRUE(PumpUntil([] { return FormOverview->Tile(17)->Link->text().contains(QStringLiteral("нет опроса")); },
                              5000));
        EXPECT_EQ(FormOverview->Tile(17)->palette().color(QPalette::Window), kTileAlarm);
        EXPECT_TRUE(FormOverview->Tile(17)->toolTip().contains(QStringLiteral("нет опроса")));
        for (int a : {5, 17})
            EXPECT_TRUE(Events().contains(QStringLiteral("Связь,%1,COM1,,,нет опроса").arg(a))) << Events().toStdString();
        // /metrics: the age has passed three periods, the link alarm counts,
        // the values are gone (three periods after the window took the last
        // answer, a moment after its read was handed over) and the age of the
        // last answer stays.
        ASSERT_TRUE(PumpUntil(
            [&] {
                const ParsedMetrics now = Scrape();
                return std::isnan(Sample(now, "calvetra_temperature_celsius", 5)) &&
                       std::isnan(Sample(now, "calvetra_temperature_celsius", 17));
            },
            5000));
        const ParsedMetrics m = Scrape();
        EXPECT_TRUE(m.errors.isEmpty()) << m.errors.join(u'\n').toStdString();
        for (int a : {5, 17}) {
            const double age = Sample(m, "calvetra_chamber_last_read_age_seconds", a);
            const double period = Sample(m, "calvetra_chamber_read_period_seconds", a);
            EXPECT_DOUBLE_EQ(period, Period() / 1000.0) << a;
            EXPECT_GT(age, 3 * period) << a;
            EXPECT_EQ(Sample(m, "calvetra_alarms_active", a, QStringLiteral("kind=\"link\"")), 1) << a;
            EXPECT_TRUE(std::isnan(Sample(m, "calvetra_temperature_celsius", a))) << a;
            EXPECT_GT(Sample(m, "calvetra_seconds_since_last_answer", a), 3 * Period() / 1000.0) << a;
        }
    }
    // Reads again: the alarm ends, the values come back.
    ASSERT_TRUE(PumpUntil([] { return !NotReadActive(FormOverview->Alarms(5)) && !NotReadActive(FormOverview->Alarms(17)); },
                          10000));
    ASSERT_TRUE(PumpUntil([&] { return !std::isnan(Sample(Scrape(), "calvetra_temperature_celsius", 5)); }, 10000));
    const ParsedMetrics m = Scrape();
    EXPECT_LE(Sample(m, "calvetra_chamber_last_read_age_seconds", 5), 3 * Period() / 1000.0);
    EXPECT_EQ(Sample(m, "calvetra_alarms_active", 5, QStringLiteral("kind=\"link\"")), 0);
    EXPECT_EQ(Events().count(QStringLiteral("нет опроса")), 4) << Events().toStdString();  // two starts, two ends
    EXPECT_FALSE(FormOverview->Tile(5)->Link->text().contains(QStringLiteral("нет опроса")));
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

// The selected chamber read by the overview on its own schedule: a held line
// leaves it unread like the others, and its next read ends the alarm.
TEST_F(ReadWatchSimTest, SelectedChamberReadByTheOverviewIsWatchedToo)
{
    WatchAndWaitForAnswers({5});
    Form1->ListBox1->addItem(ChamberEntryText(4));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->Button6Click(); });
    ASSERT_TRUE(PumpUntil([] { return AlarmCenter->Watched().pollsAnswered >= 2; }, 10000));
    {
        HeldLine hold;
        ASSERT_TRUE(PumpUntil([] { return NotReadActive(&AlarmCenter->Rules()); }, 20 * Period() + 5000));
        EXPECT_TRUE(Events().contains(QStringLiteral("Связь,4,COM1,,,нет опроса"))) << Events().toStdString();
        EXPECT_GT(Sample(Scrape(), "calvetra_chamber_last_read_age_seconds", 4), 3 * Period() / 1000.0);
    }
    ASSERT_TRUE(PumpUntil([] { return !NotReadActive(&AlarmCenter->Rules()); }, 10000));
    EXPECT_LE(Sample(Scrape(), "calvetra_chamber_last_read_age_seconds", 4), 3 * Period() / 1000.0);
    Guarded([] { Form1->Button6Click(); });
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

// The user-interface thread stuck in a poll that waits for the line: nothing
// is handed to the endpoint, yet its ages grow and the values drop out.
TEST_F(ReadWatchSimTest, AgeGrowsOnTheEndpointWhileTheUserInterfaceThreadIsStalled)
{
    ReadChamber4();
    const double period = Period() / 1000.0;
    std::vector<double> ages;
    QByteArray last;
    std::atomic<bool> done{false};
    std::thread holder([&] {
        HeldLine hold;  // the next poll tick blocks the user-interface thread
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(Period()));
            ages.push_back(Sample(ParseMetrics(Get(port, "/metrics")), "calvetra_chamber_last_read_age_seconds", 4));
        }
        last = Get(port, "/metrics");
        done = true;
    });
    PumpUntil([&] { return done.load(); }, 60000);
    holder.join();
    ASSERT_EQ(ages.size(), 5u);
    for (size_t i = 1; i < ages.size(); ++i)
        EXPECT_GT(ages[i], ages[i - 1]) << i;
    EXPECT_GT(ages.back(), 3 * period);
    const ParsedMetrics m = ParseMetrics(last);
    EXPECT_GT(Sample(m, "calvetra_chamber_last_read_age_seconds", 4), 3 * period);
    EXPECT_TRUE(std::isnan(Sample(m, "calvetra_temperature_celsius", 4)));
    EXPECT_TRUE(std::isnan(Sample(m, "calvetra_humidity_relative", 4)));
    EXPECT_GT(Sample(m, "calvetra_seconds_since_last_answer", 4), 3 * period);
    EXPECT_EQ(Sample(m, "calvetra_reading", 4), 1);
    // The poll goes on once the line is free.
    const quint64 polls = AlarmCenter->Watched().pollsAnswered;
    EXPECT_TRUE(PumpUntil([&] { return AlarmCenter->Watched().pollsAnswered > polls; }, 10000));
    Guarded([] { Form1->Button6Click(); });
}

TEST_F(ReadWatchSimTest, StoppedPollTimerRaisesNotReadForTheSelectedChamber)
{
    ReadChamber4();
    Form1->Timer1->stop();
    ASSERT_TRUE(PumpUntil([] { return NotReadActive(&AlarmCenter->Rules()); }, 20 * Period() + 5000));
    EXPECT_EQ(AlarmCenter->MarkerText(), QStringLiteral("ТРЕВОГА: нет опроса"));
    EXPECT_TRUE(Events().contains(QStringLiteral("Связь,4,COM1,,,нет опроса"))) << Events().toStdString();
    // The values go three periods after the poll's end took the answer.
    ASSERT_TRUE(PumpUntil([&] { return std::isnan(Sample(Scrape(), "calvetra_temperature_celsius", 4)); }, 5000));
    ParsedMetrics m = Scrape();
    EXPECT_GT(Sample(m, "calvetra_chamber_last_read_age_seconds", 4), 3 * Period() / 1000.0);
    EXPECT_EQ(Sample(m, "calvetra_alarms_active", 4, QStringLiteral("kind=\"link\"")), 1);
    EXPECT_TRUE(std::isnan(Sample(m, "calvetra_temperature_celsius", 4)));
    // The timer again: the next poll ends it.
    Form1->Timer1->start();
    ASSERT_TRUE(PumpUntil([] { return !NotReadActive(&AlarmCenter->Rules()); }, 10000));
    EXPECT_FALSE(std::isnan(Sample(Scrape(), "calvetra_temperature_celsius", 4)));
    // Reading switched off: no age, so nothing an alert rule could take for a stall.
    Guarded([] { Form1->Button6Click(); });
    Pump(4 * Period());
    m = Scrape();
    EXPECT_TRUE(std::isnan(Sample(m, "calvetra_chamber_last_read_age_seconds", 4)));
    EXPECT_FALSE(NotReadActive(&AlarmCenter->Rules()));
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

// A silent selected chamber's poll holds the line for all its attempts
// (16 s at real waits); each attempt is a read, so /metrics never shows it
// unread and the watchdog raises nothing.
TEST_F(ReadWatchSimTest, SilentSelectedChamberIsReadThroughoutItsLongPolls)
{
    ReadChamber4();
    sim::Faults gone;
    gone.silent = true;
    bus.SetFaults(4, gone);
    const double period = Period() / 1000.0;
    std::vector<double> ages;
    std::atomic<bool> done{false};
    // Scrapes for two whole silent polls, twice a period.
    const int polls = 2 * kStatusAttempts * ScaledMs(kStatusWait);
    std::thread scraper([&] {
        for (int waited = 0; waited < polls; waited += Period() / 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(Period() / 2));
            ages.push_back(Sample(ParseMetrics(Get(port, "/metrics")), "calvetra_chamber_last_read_age_seconds", 4));
        }
        done = true;
    });
    PumpUntil([&] { return done.load(); }, 120000);
    scraper.join();
    ASSERT_FALSE(ages.empty());
    for (double age : ages)
        EXPECT_LE(age, 3 * period);
    EXPECT_GE(AlarmCenter->Watched().pollsUnanswered, 1u);
    EXPECT_FALSE(NotReadActive(&AlarmCenter->Rules()));
    EXPECT_FALSE(Events().contains(QStringLiteral("нет опроса"))) << Events().toStdString();
    bus.SetFaults(4, {});
    Guarded([] { Form1->Button6Click(); });
}

TEST_F(ReadWatchSimTest, TileShowsDashBeforeTheFirstAnswerAndGreysValuesNoLongerMeasured)
{
    FormOverview->Watch(9);  // no chamber there
    WatchAndWaitForAnswers({5});
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Chamber(9)->link == ChamberLink::Silent; }, 10000));
    const TChamberTile* never = FormOverview->Tile(9);
    EXPECT_EQ(never->Temperature->text(), QStringLiteral("T, °C: —  (задано —)"));
    EXPECT_EQ(never->Humidity->text(), QStringLiteral("H, %: —  (задано —)"));
    EXPECT_EQ(never->Program->text(), QStringLiteral("Прог. —  шаг —  цикл —"));
    EXPECT_FALSE(never->ShowsStaleValues());

    TChamberTile* tile = FormOverview->Tile(5);
    const QColor normal = tile->Temperature->palette().color(QPalette::WindowText);
    const QString fresh = tile->Temperature->text();
    EXPECT_TRUE(fresh.contains(FormOverview->Chamber(5)->view.label5)) << fresh.toStdString();
    EXPECT_FALSE(fresh.contains(QStringLiteral("—")));
    EXPECT_FALSE(tile->ShowsStaleValues());
    EXPECT_TRUE(tile->Age->isHidden());
    EXPECT_FALSE(std::isnan(Sample(Scrape(), "calvetra_temperature_celsius", 5)));

    sim::Faults gone;
    gone.silent = true;
    bus.SetFaults(5, gone);
    ASSERT_TRUE(PumpUntil([&] { return tile->ShowsStaleValues(); }, 10000));
    // Only once three periods have passed since the answer.
    EXPECT_GT(QDateTime::currentMSecsSinceEpoch() - FormOverview->Chamber(5)->lastAnswerMs, 3 * Period());
    // Still readable, greyed, with their age.
    EXPECT_EQ(tile->Temperature->text(), fresh);
    EXPECT_NE(tile->Temperature->palette().color(QPalette::WindowText), normal);
    EXPECT_FALSE(tile->Age->isHidden());
    EXPECT_TRUE(tile->Age->text().startsWith(QStringLiteral("Показания "))) << tile->Age->text().toStdString();
    EXPECT_TRUE(tile->Age->text().endsWith(QStringLiteral("назад"))) << tile->Age->text().toStdString();
    // /metrics: the values are gone, the ages stay.
    ASSERT_TRUE(PumpUntil([&] { return std::isnan(Sample(Scrape(), "calvetra_temperature_celsius", 5)); }, 5000));
    const ParsedMetrics m = Scrape();
    EXPECT_TRUE(std::isnan(Sample(m, "calvetra_program", 5)));
    EXPECT_FALSE(std::isnan(Sample(m, "calvetra_seconds_since_last_answer", 5)));
    EXPECT_FALSE(std::isnan(Sample(m, "calvetra_chamber_last_read_age_seconds", 5)));
    EXPECT_EQ(Sample(m, "calvetra_link_up", 5), 0);

    bus.SetFaults(5, {});
    ASSERT_TRUE(PumpUntil([&] { return !tile->ShowsStaleValues(); }, 20000));
    EXPECT_EQ(tile->Temperature->palette().color(QPalette::WindowText), normal);
    EXPECT_TRUE(tile->Age->isHidden());
    EXPECT_TRUE(PumpUntil([&] { return !std::isnan(Sample(Scrape(), "calvetra_temperature_celsius", 5)); }, 5000));
}

TEST_F(ReadWatchSimTest, SilentChamberAskedLessOftenRaisesNoNotRead)
{
    WatchAndWaitForAnswers({5, 17});
    sim::Faults gone;
    gone.silent = true;
    bus.SetFaults(17, gone);
    // Asked less and less often: pauses of 2, 4 and 8 cycles, the last one
    // longer than three of the poll's periods.
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Chamber(17)->unansweredInRow >= kSilentCyclesBeforeBackoff + 3; },
                          60 * Period() + 10000));
    const QString text = Events();
    EXPECT_FALSE(text.contains(QStringLiteral("нет опроса"))) << text.toStdString();
    EXPECT_FALSE(NotReadActive(FormOverview->Alarms(17)));
    // Its own link alarm says what is wrong.
    EXPECT_EQ(FormOverview->Alarms(17)->ActiveCount(AlarmKind::Link), 1);
    EXPECT_TRUE(text.contains(QStringLiteral("Связь,17,COM1,,,Возможен обрыв линии RS-485"))) << text.toStdString();
    // Its period on /metrics is its pause, so the alert rule keeps quiet too.
    const ParsedMetrics m = Scrape();
    const double period = Sample(m, "calvetra_chamber_read_period_seconds", 17);
    EXPECT_GT(period, Period() / 1000.0);
    EXPECT_LE(Sample(m, "calvetra_chamber_last_read_age_seconds", 17), 3 * period);
    EXPECT_FALSE(FormOverview->Tile(17)->Link->text().contains(QStringLiteral("нет опроса")));
}
