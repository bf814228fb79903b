// The line monitor's pure parts: what frames and chunks are told to mean,
// how the counters follow requests and replies, the bounded list and the
// lock-free hand-over from another thread.
#include <gtest/gtest.h>

#include <QDateTime>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "link/Rtu.h"
#include "monitoring/FrameDescriber.h"
#include "monitoring/LineMonitor.h"
#include "sim/ChamberSim.h"
#include "support/TestBytes.h"

namespace {

std::vector<uint8_t> WithCrc(std::vector<uint8_t> bytes)
{
    sim::AppendFrameCrc(&bytes);
    return bytes;
}

TrafficChunk Chunk(TrafficDirection direction, const std::vector<uint8_t>& bytes, qint64 timeUs = 0)
{
    TrafficChunk chunk;
    chunk.direction = direction;
    chunk.timeUs = timeUs;
    chunk.length = static_cast<uint16_t>(bytes.size());
    std::memcpy(chunk.bytes, bytes.data(), bytes.size());
    return chunk;
}

TrafficChunk Sent(const std::vector<uint8_t>& bytes) { return Chunk(TrafficDirection::Sent, bytes); }
TrafficChunk Received(const std::vector<uint8_t>& bytes) { return Chunk(TrafficDirection::Received, bytes); }

std::vector<uint8_t> StatusRequest(uint8_t address)
{
    const auto frame = BuildReadRequest(address, 0x04, 15);
    return {frame.begin(), frame.end()};
}

// A real controller's reply to the status read, from the simulator's model.
std::vector<uint8_t> StatusReplyOf(uint8_t address, const std::function<void(sim::ChamberModel&)>& set)
{
    sim::ChamberModel chamber;
    set(chamber);
    return sim::AnswerRequest(chamber, StatusRequest(address));
}

}  // namespace

TEST(FrameDescriber, HexIsTwoUpperCaseDigitsSpaced)
{
    const std::vector<uint8_t> bytes = {0x00, 0x0a, 0xff, 0x7f};
    EXPECT_EQ(HexText(bytes.data(), 4), "00 0A FF 7F");
    EXPECT_EQ(HexText(bytes.data(), 0), "");
}

TEST(FrameDescriber, RequestsAndRepliesInOperatorsWords)
{
    struct Case {
        const char* name;
        bool sent;
        std::vector<uint8_t> bytes;
        bool whole;
        bool crcOk;
        std::vector<const char*> saying;
    };
    const std::vector<uint8_t> badCrcReply = [] {
        auto reply = WithCrc(Hex("07 04 06 00 01 00 02 00 03"));
        reply.back() ^= 0x01;
        return reply;
    }();
    const Case cases[] = {
        {"status read", true, StatusRequest(12), true, true,
         {"адрес 12", "чтение (04)", "с регистра 0", "15 рег.", "CRC верна"}},
        {"probe read", true, StatusRequest(250), true, true, {"адрес 250", "15 рег."}},
        {"write of two registers", true, WithCrc(Hex("01 10 00 11 00 02 04 00 05 FF EC")), true, true,
         {"адрес 1", "запись (10) с регистра 17", "2 рег.: 5 65516", "CRC верна"}},
        {"request cut short", true, Hex("01 04 00"), false, false, {"не целый кадр (3 байт)"}},
        {"three words", false, WithCrc(Hex("07 04 06 00 01 00 02 00 03")), true, true,
         {"адрес 7", "ответ (04)", "3 рег.: 1 2 3", "CRC верна"}},
        {"wrong crc", false, badCrcReply, true, false, {"CRC НЕВЕРНА"}},
        {"exception", false, WithCrc(Hex("05 84 04")), true, true,
         {"адрес 5", "исключение 04 на функцию 04", "отказ устройства"}},
        {"exception of a write", false, WithCrc(Hex("05 90 02")), true, true, {"недопустимый адрес регистра"}},
        {"write echo", false, WithCrc(Hex("01 10 00 00 00 09")), true, true,
         {"запись принята (10): регистр 0, 9 рег."}},
        {"first piece of a split reply", false, Hex("01 04 22 00"), false, false, {"не целый кадр (4 байт)"}},
        {"noise before a reply", false, Hex("FF 01 04 06 00 01 00 02 00 03 00 00"), false, false,
         {"не целый кадр (12 байт)"}},
        {"one byte", false, Hex("01"), false, false, {"не целый кадр (1 байт)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FrameMeaning m = c.sent ? DescribeRequest(c.bytes.data(), static_cast<int>(c.bytes.size()))
                                      : DescribeReply(c.bytes.data(), static_cast<int>(c.bytes.size()));
        EXPECT_EQ(m.wholeFrame, c.whole);
        if (c.whole) {
            EXPECT_EQ(m.crcOk, c.crcOk);
        }
        for (const char* part : c.saying)
            EXPECT_TRUE(m.text.contains(QString::fromUtf8(part))) << m.text.toStdString() << " lacks " << part;
    }
}

TEST(FrameDescriber, StatusReplyShowsTheChambersValues)
{
    const auto reply = StatusReplyOf(3, [](sim::ChamberModel& chamber) {
        chamber.PinStatusWord(0, 65536 - 125);  // -12.5 °C as the controller writes it
        chamber.PinStatusWord(2, 300);          // set 30.0
        chamber.PinStatusWord(15, 456);         // 45.6 %
        chamber.PinStatusWord(16, 500);
        chamber.PinStatusWord(1, 2);
        chamber.PinStatusWord(10, 3);
        chamber.PinStatusWord(11, 7);
        chamber.PinStatusWord(12, 1);
        chamber.PinStatusWord(13, 4);
        chamber.PinStatusWord(14, 95);  // set reach time 1:35
    });
    const FrameMeaning m = DescribeReply(reply.data(), static_cast<int>(reply.size()));
    ASSERT_TRUE(m.wholeFrame);
    EXPECT_TRUE(m.crcOk);
    for (const char* part : {"адрес 3", "состояние (17 рег.)", "T -12.5 (уст. 30.0) °C", "RH 45.6 (уст. 50.0) %",
                             "программа 2", "шаг 3(7)", "цикл 1(4)", "(уст. 1:35)"})
        EXPECT_TRUE(m.text.contains(QString::fromUtf8(part))) << m.text.toStdString() << " lacks " << part;
}

TEST(FrameDescriber, FifteenWordStatusHasNoHumidity)
{
    sim::ChamberModel chamber;
    sim::ReplyShape shape;
    shape.fifteenWordsOnly = true;
    const auto reply = sim::AnswerRequest(chamber, StatusRequest(1), shape);
    const FrameMeaning m = DescribeReply(reply.data(), static_cast<int>(reply.size()));
    EXPECT_TRUE(m.wholeFrame && m.crcOk);
    EXPECT_TRUE(m.text.contains(QStringLiteral("состояние (15 рег.)")));
    EXPECT_FALSE(m.text.contains(QStringLiteral("RH")));
}

TEST(LineCounters, FollowRequestsAndTheirReplies)
{
    const auto request = StatusRequest(1);
    const auto reply = StatusReplyOf(1, [](sim::ChamberModel&) {});
    const std::vector<uint8_t> head(reply.begin(), reply.begin() + 4);
    const std::vector<uint8_t> tail(reply.begin() + 4, reply.end());
    std::vector<uint8_t> noisy = Hex("FF 00");
    noisy.insert(noisy.end(), reply.begin(), reply.end());
    std::vector<uint8_t> corrupt = reply;
    corrupt[5] ^= 0x40;
    const auto otherChamber = StatusReplyOf(2, [](sim::ChamberModel&) {});
    const auto exception = WithCrc(Hex("01 84 04"));

    struct Step {
        bool sent;
        std::vector<uint8_t> bytes;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        LineCounters expected;  // requests, answered, unanswered, crcErrors, fragments
    };
    const Case cases[] = {
        {"answered", {{true, request}, {false, reply}}, {1, 1, 0, 0, 0}},
        {"silent, closed by the next request", {{true, request}, {true, request}}, {2, 0, 1, 0, 0}},
        {"last request still open", {{true, request}}, {1, 0, 0, 0, 0}},
        {"reply in two pieces", {{true, request}, {false, head}, {false, tail}}, {1, 1, 0, 0, 2}},
        {"noise in front", {{true, request}, {false, noisy}}, {1, 1, 0, 0, 1}},
        {"bad crc", {{true, request}, {false, corrupt}, {true, request}}, {2, 0, 1, 1, 0}},
        {"another chamber answers", {{true, request}, {false, otherChamber}, {true, request}}, {2, 0, 1, 0, 0}},
        {"exception is an answer", {{true, request}, {false, exception}}, {1, 1, 0, 0, 0}},
        {"a reply counted once", {{true, request}, {false, reply}, {false, reply}}, {1, 1, 0, 0, 0}},
        {"unasked bytes", {{false, reply}}, {0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LineMonitor monitor;
        for (const Step& step : c.steps)
            monitor.Record(step.sent ? Sent(step.bytes) : Received(step.bytes));
        const LineCounters got = monitor.Counters();
        EXPECT_EQ(got.requests, c.expected.requests);
        EXPECT_EQ(got.answered, c.expected.answered);
        EXPECT_EQ(got.unanswered, c.expected.unanswered);
        EXPECT_EQ(got.crcErrors, c.expected.crcErrors);
        EXPECT_EQ(got.fragments, c.expected.fragments);
        EXPECT_EQ(monitor.Entries().size(), c.steps.size());
    }
}

TEST(LineCounters, AFrameThePortDidNotTakeIsListedAsFailedNotAsARequest)
{
    const auto request = StatusRequest(1);
    const auto reply = StatusReplyOf(1, [](sim::ChamberModel&) {});
    LineMonitor monitor;
    monitor.Record(Chunk(TrafficDirection::NotSent, request));
    LineCounters got = monitor.Counters();
    EXPECT_EQ(got.requests, 0u);
    EXPECT_EQ(got.unanswered, 0u);
    EXPECT_EQ(got.notSent, 1u);
    ASSERT_EQ(monitor.Entries().size(), 1u);
    const QString line = LineEntryText(monitor.Entries().back());
    EXPECT_TRUE(line.contains(QStringLiteral(" × "))) << line.toStdString();
    EXPECT_FALSE(line.contains(QStringLiteral("→"))) << line.toStdString();
    EXPECT_TRUE(line.contains(QStringLiteral("не отправлен: "))) << line.toStdString();
    EXPECT_TRUE(CountersText(got).contains(QStringLiteral("не отправлено: 1")));

    // A failed write between a request and its reply leaves the request open.
    monitor.Record(Sent(request));
    monitor.Record(Chunk(TrafficDirection::NotSent, request));
    monitor.Record(Received(reply));
    got = monitor.Counters();
    EXPECT_EQ(got.requests, 1u);
    EXPECT_EQ(got.answered, 1u);
    EXPECT_EQ(got.notSent, 2u);
    // Nothing failed: the counters' line stays as it was.
    EXPECT_FALSE(CountersText(LineCounters{}).contains(QStringLiteral("не отправлено")));
}

TEST(LineMonitorList, KeepsOnlyTheLastEntries)
{
    LineMonitor monitor(100);
    for (int i = 0; i < 10000; ++i)
        monitor.Record(Chunk(TrafficDirection::Received, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)},
                             static_cast<qint64>(i)));
    ASSERT_EQ(monitor.Entries().size(), 100u);
    EXPECT_EQ(monitor.Entries().front().timeUs, 9900);
    EXPECT_EQ(monitor.Entries().back().timeUs, 9999);
    EXPECT_EQ(monitor.TotalKept(), 10000u);
    EXPECT_EQ(monitor.Counters().fragments, 10000u);
}

TEST(LineMonitorList, PauseKeepsCountingClearStartsAfresh)
{
    LineMonitor monitor;
    const auto request = StatusRequest(1);
    monitor.Record(Sent(request));
    monitor.SetPaused(true);
    monitor.Record(Sent(request));
    monitor.Record(Sent(request));
    EXPECT_EQ(monitor.Entries().size(), 1u);
    EXPECT_EQ(monitor.Counters().requests, 3u);
    EXPECT_EQ(monitor.Counters().unanswered, 2u);
    monitor.SetPaused(false);
    monitor.Clear();
    EXPECT_TRUE(monitor.Entries().empty());
    EXPECT_EQ(monitor.Counters().requests, 0u);
    // The request before the clearing is not counted as unanswered later.
    monitor.Record(Sent(request));
    EXPECT_EQ(monitor.Counters().unanswered, 0u);
}

TEST(LineMonitorText, EntryLineAndSavedText)
{
    const qint64 ms = QDateTime(QDate(2026, 12, 9), QTime(14, 5, 30, 7)).toMSecsSinceEpoch();
    LineMonitor monitor;
    monitor.Record(Chunk(TrafficDirection::Sent, StatusRequest(1), ms * 1000 + 999));
    monitor.Record(Chunk(TrafficDirection::Received, Hex("01 04"), ms * 1000 + 40000));
    ASSERT_EQ(monitor.Entries().size(), 2u);
    EXPECT_TRUE(LineEntryText(monitor.Entries()[0]).startsWith(QStringLiteral("14:05:30.007 → 01 04 00 00 00 0F ")));
    EXPECT_TRUE(LineEntryText(monitor.Entries()[1]).startsWith(QStringLiteral("14:05:30.047 ← 01 04  не целый кадр")));
    const QStringList lines = LineMonitorText(monitor).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Запросов: 1")));
    EXPECT_TRUE(lines[0].contains(QStringLiteral("не целых кадров: 1")));
    EXPECT_EQ(lines[1], LineEntryText(monitor.Entries()[0]));
}

TEST(TrafficRing, FullRingDropsAndCountsInsteadOfWaiting)
{
    TrafficRing ring(4);
    const uint8_t byte = 0x42;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(ring.Push(TrafficDirection::Received, &byte, 1, i));
    EXPECT_FALSE(ring.Push(TrafficDirection::Received, &byte, 1, 99));
    EXPECT_EQ(ring.Dropped(), 1u);
    TrafficChunk chunk;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(ring.Pop(&chunk));
        EXPECT_EQ(chunk.timeUs, i);  // the oldest first, the dropped one never
    }
    EXPECT_FALSE(ring.Pop(&chunk));
    // An oversized chunk is cut to the receive buffer's size.
    std::vector<uint8_t> big(400, 0x11);
    ASSERT_TRUE(ring.Push(TrafficDirection::Received, big.data(), 400, 5));
    ASSERT_TRUE(ring.Pop(&chunk));
    EXPECT_EQ(chunk.length, kReceiveBufferSize);
}

TEST(TrafficRing, HandsOverFromAnotherThreadWholeAndInOrder)
{
    TrafficRing ring(64);
    constexpr int kChunks = 200000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        uint8_t bytes[32];
        for (int i = 0; i < kChunks; ++i) {
            // Every byte of a chunk carries its number: a torn copy shows.
            std::memset(bytes, i & 0xFF, sizeof bytes);
            ring.Push(TrafficDirection::Received, bytes, 1 + i % 32, i);
        }
        done = true;
    });
    quint64 popped = 0;
    qint64 last = -1;
    bool torn = false;
    TrafficChunk chunk;
    auto check = [&] {
        ++popped;
        if (chunk.timeUs <= last || chunk.length != 1 + chunk.timeUs % 32)
            torn = true;
        for (int k = 0; k < chunk.length; ++k)
            if (chunk.bytes[k] != (chunk.timeUs & 0xFF))
                torn = true;
        last = chunk.timeUs;
    };
    for (;;) {
        if (ring.Pop(&chunk)) {
            check();
        } else if (done) {
            while (ring.Pop(&chunk))
                check();
            break;
        }
    }
    producer.join();
    EXPECT_FALSE(torn);
    EXPECT_GT(popped, 0u);
    EXPECT_EQ(popped + ring.Dropped(), static_cast<quint64>(kChunks));
}
