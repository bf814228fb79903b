// The line monitor against the chamber simulator: what a scan and a poll put
// on the line, as the window lists and counts it.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "link/PortUnit.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/ErrorDisplay.h"
#include "ui/LineMonitorWindow.h"
#include "ui/main.h"

namespace {

class LineMonitorWindowTest : public AppFixture {
protected:
    LineMonitorWindowTest() : AppFixture(0.25) {}
    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetSpeed(0);
        bus.AddChamber(1);
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty());
        FormLineMonitor->Drain();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
    }
    sim::BusSimulator bus;
};

int CountLines(const QString& text, const QString& part)
{
    int n = 0;
    for (const QString& line : text.split(u'\n'))
        n += line.contains(part) ? 1 : 0;
    return n;
}

}  // namespace

TEST_F(LineMonitorWindowTest, ScanIsListedAndCountedAsTheSimulatorSawIt)
{
    Form1->ButtonMonitor->click();
    ASSERT_TRUE(FormLineMonitor->isVisible());
    EXPECT_EQ(FormLineMonitor->windowTitle(), QStringLiteral("Монитор линии"));
    for (int address = 0; address <= 2; ++address)
        Form1->ProbeAddress(address);
    Form1->ProbeAddress(1);  // closes the last silent address's request
    ASSERT_TRUE(bus.WaitUntilIdle(std::chrono::milliseconds(2000)));
    Pump(300);  // the window takes the entries from the event loop

    const LineCounters c = FormLineMonitor->Monitor().Counters();
    // 5 probes of 0, 1 of 1, 5 of 2, 1 of 1 again.
    EXPECT_EQ(c.requests, 12u);
    EXPECT_EQ(c.requests, bus.ReceivedFrames().size());
    EXPECT_EQ(c.answered, 2u);
    EXPECT_EQ(c.unanswered, 10u);
    EXPECT_EQ(c.crcErrors, 0u);
    EXPECT_TRUE(FormLineMonitor->LabelCounters->text().contains(QStringLiteral("Запросов: 12")));

    const QString list = FormLineMonitor->List->toPlainText();
    EXPECT_EQ(CountLines(list, QStringLiteral("→ 00 04 00 00 00 03")), 5);
    EXPECT_EQ(CountLines(list, QStringLiteral("→ 02 04 00 00 00 03")), 5);
    EXPECT_EQ(CountLines(list, QStringLiteral("← 01 04 06 ")), 2);
    EXPECT_EQ(CountLines(list, QStringLiteral("адрес 1, ответ (04), 3 рег.")), 2);
    // Every line starts with the time of day with milliseconds.
    for (const QString& line : list.split(u'\n', Qt::SkipEmptyParts))
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} [→←] ")).match(line).hasMatch())
            << line.toStdString();

    // Saved as text: the counters, then the lines as shown.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("линия.txt"));
    ASSERT_TRUE(FormLineMonitor->SaveText(path));
    const QString saved = QString::fromUtf8(ReadFileBytes(path));
    EXPECT_TRUE(saved.startsWith(QStringLiteral("Запросов: 12")));
    EXPECT_TRUE(saved.contains(list));

    // A failed save says why, and the counters' refresh leaves it standing.
    const QString nowhere = dir.filePath(QStringLiteral("нет/линия.txt"));
    FormLineMonitor->SaveTo(nowhere);
    const QString failure = FormLineMonitor->LabelStatus->text();
    EXPECT_TRUE(failure.startsWith(QStringLiteral("Не удалось сохранить ") + nowhere + QStringLiteral(": ")))
        << failure.toStdString();
    EXPECT_GT(failure.size(), (QStringLiteral("Не удалось сохранить ") + nowhere + QStringLiteral(": ")).size());
    FormLineMonitor->Drain();
    Pump(250);
    EXPECT_EQ(FormLineMonitor->LabelStatus->text(), failure);
    FormLineMonitor->SaveTo(path);
    EXPECT_EQ(FormLineMonitor->LabelStatus->text(), QStringLiteral("Сохранено: ") + path);

    FormLineMonitor->ButtonClear->click();
    EXPECT_TRUE(FormLineMonitor->List->toPlainText().isEmpty());
    EXPECT_EQ(FormLineMonitor->Monitor().Counters().requests, 0u);
}

TEST_F(LineMonitorWindowTest, SplitAndCorruptRepliesAreCounted)
{
    sim::Faults split;
    split.chunkSizes = {5};
    split.chunkGap = std::chrono::milliseconds(60);
    bus.SetFaults(1, split);
    // The second piece overwrites the first: the exchange itself finds nothing.
    EXPECT_FALSE(ReadExchange(1, 0x04, 15, 800));
    sim::Faults bad;
    bad.badCrc = true;
    bus.SetFaults(1, bad);
    ReadExchange(1, 0x04, 15, 800);
    sim::Faults exception;
    exception.exceptionReply = true;
    bus.SetFaults(1, exception);
    ReadExchange(1, 0x04, 15, 800);
    ASSERT_TRUE(bus.WaitUntilIdle(std::chrono::milliseconds(2000)));
    FormLineMonitor->Drain();

    const LineCounters c = FormLineMonitor->Monitor().Counters();
    EXPECT_EQ(c.requests, 3u);
    EXPECT_EQ(c.fragments, 2u);   // the two pieces of the split reply
    EXPECT_EQ(c.crcErrors, 1u);
    EXPECT_EQ(c.answered, 2u);    // the split reply (joined here) and the exception
    EXPECT_EQ(c.unanswered, 1u);  // the bad CRC, closed by the exception's request
    const auto& entries = FormLineMonitor->Monitor().Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_TRUE(entries.back().meaning.contains(QStringLiteral("исключение 04"))) << entries.back().meaning.toStdString();
}

TEST_F(LineMonitorWindowTest, PausedWindowKeepsItsListButCountsOn)
{
    Form1->ButtonMonitor->click();
    ReadExchange(1, 0x04, 3, 160);
    ASSERT_TRUE(bus.WaitUntilIdle(std::chrono::milliseconds(2000)));
    FormLineMonitor->Drain();
    const QString before = FormLineMonitor->List->toPlainText();
    ASSERT_FALSE(before.isEmpty());
    FormLineMonitor->ButtonPause->click();
    EXPECT_EQ(FormLineMonitor->ButtonPause->text(), QStringLiteral("Продолжить"));
    ReadExchange(1, 0x04, 3, 160);
    ASSERT_TRUE(bus.WaitUntilIdle(std::chrono::milliseconds(2000)));
    FormLineMonitor->Drain();
    EXPECT_EQ(FormLineMonitor->List->toPlainText(), before);
    EXPECT_EQ(FormLineMonitor->Monitor().Counters().requests, 2u);
    FormLineMonitor->ButtonPause->click();
    EXPECT_EQ(FormLineMonitor->ButtonPause->text(), QStringLiteral("Пауза"));
}

TEST_F(LineMonitorWindowTest, FramesThatNeverLeftTheComputerAreListedAsNotSent)
{
    // A port that failed to open: every attempt is a frame nobody sent.
    OpenPortOn("/nonexistent/ttyUSB9");
    ASSERT_EQ(errors.size(), 1);
    FormLineMonitor->Drain();
    const quint64 requestsBefore = FormLineMonitor->Monitor().Counters().requests;
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_FALSE(ReadExchange(1, 0x04, 3, 160));
    FormLineMonitor->Drain();
    LineCounters c = FormLineMonitor->Monitor().Counters();
    EXPECT_EQ(c.requests, requestsBefore);
    EXPECT_EQ(c.notSent, 3u);
    EXPECT_EQ(bus.RequestCount(1), 0);
    const auto& entries = FormLineMonitor->Monitor().Entries();
    ASSERT_GE(entries.size(), 3u);
    for (size_t i = entries.size() - 3; i < entries.size(); ++i)
        EXPECT_EQ(entries[i].direction, TrafficDirection::NotSent);

    // The line itself gone (the adapter pulled out): the write fails and
    // shows as failed.
    OpenPortOn(bus.SlavePath());
    ASSERT_EQ(errors.size(), 1);
    ASSERT_TRUE(ReadExchange(1, 0x04, 3, 160));
    bus.CloseLine();
    ASSERT_TRUE(PumpUntil([] { return PortLost(); }, 2000));
    EXPECT_FALSE(ReadExchange(1, 0x04, 3, 160));
    FormLineMonitor->Drain();
    c = FormLineMonitor->Monitor().Counters();
    EXPECT_EQ(c.requests, requestsBefore + 1);
    EXPECT_EQ(c.notSent, 4u);
    EXPECT_EQ(FormLineMonitor->Monitor().Entries().back().direction, TrafficDirection::NotSent);
}

TEST_F(LineMonitorWindowTest, DrainsOftenOnlyWhileShown)
{
    const int hidden = FormLineMonitor->DrainInterval();
    EXPECT_GE(hidden, 1000);
    Form1->ButtonMonitor->click();
    EXPECT_LE(FormLineMonitor->DrainInterval(), 100);
    // Shown, a new request reaches the list by itself.
    ReadExchange(1, 0x04, 3, 160);
    EXPECT_TRUE(PumpUntil([] { return FormLineMonitor->List->toPlainText().contains(QStringLiteral("→")); }, 1000));
    FormLineMonitor->hide();
    EXPECT_EQ(FormLineMonitor->DrainInterval(), hidden);
    // Hidden, nothing is lost: the counters take every frame later.
    for (int i = 0; i < 20; ++i)
        ReadExchange(1, 0x04, 3, 160);
    FormLineMonitor->Drain();
    EXPECT_EQ(FormLineMonitor->Monitor().Counters().requests, 21u);
    EXPECT_EQ(FormLineMonitor->Monitor().Counters().dropped, 0u);
}
