// Modbus TCP framing: requests as a gateway takes them, replies back as the
// serial line's frames, and a stream cut anywhere.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/ChamberContract.h"
#include "link/Mbap.h"
#include "link/Rtu.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Adu(uint16_t transaction, const Bytes& unitAndPdu, uint16_t protocol = 0)
{
    Bytes adu{static_cast<uint8_t>(transaction >> 8), static_cast<uint8_t>(transaction), static_cast<uint8_t>(protocol >> 8),
              static_cast<uint8_t>(protocol), static_cast<uint8_t>(unitAndPdu.size() >> 8),
              static_cast<uint8_t>(unitAndPdu.size())};
    adu.insert(adu.end(), unitAndPdu.begin(), unitAndPdu.end());
    return adu;
}

// A status reply of chamber 7: 17 words, as the controllers send them.
Bytes StatusPdu()
{
    Bytes pdu{7, kStatusFunction, 2 * kStatusWordCount};
    for (int i = 0; i < 2 * kStatusWordCount; ++i)
        pdu.push_back(static_cast<uint8_t>(i * 7));
    return pdu;
}

TEST(MbapTest, RequestCarriesTheRtuFrameWithoutItsCrc)
{
    const auto rtu = BuildReadRequest(7, kStatusFunction, kStatusRegisterCount);
    EXPECT_EQ(MbapRequestOf(rtu.data(), rtu.size(), 0x1234),
              (Bytes{0x12, 0x34, 0, 0, 0, 6, 7, 0x04, 0, 0, 0, kStatusRegisterCount}));
    // A write of one step: 7 + 13 × 2 bytes after the address.
    uint8_t write[64] = {3, kWriteMultipleRegisters, 0, kRegStepFirst, 0, kStepRegisterCount, 2 * kStepRegisterCount};
    const size_t length = AppendCrc(write, 7 + 2 * kStepRegisterCount);
    const Bytes adu = MbapRequestOf(write, length, 1);
    ASSERT_EQ(adu.size(), 6 + length - 2);
    EXPECT_EQ(adu[5], length - 2);
    EXPECT_EQ(Bytes(adu.begin() + 6, adu.end()), Bytes(write, write + length - 2));
}

TEST(MbapTest, FramesTooShortOrTooLongAreNotSent)
{
    uint8_t frame[300] = {1, 4, 0, 0};
    for (size_t length : {0u, 1u, 3u, 257u})
        EXPECT_TRUE(MbapRequestOf(frame, length, 1).empty()) << length;
    EXPECT_EQ(MbapRequestOf(frame, 4, 1).size(), 8u);
    EXPECT_EQ(MbapRequestOf(frame, 256, 1).size(), 6u + 254u);
}

TEST(MbapTest, ReplyBecomesTheFrameTheSerialLineCarries)
{
    const Bytes pdu = StatusPdu();
    const Bytes stream = Adu(0xBEEF, pdu);
    const MbapFrame frame = NextMbapFrame(stream.data(), stream.size());
    ASSERT_EQ(frame.state, MbapFrame::State::Whole);
    EXPECT_EQ(frame.transaction, 0xBEEF);
    EXPECT_EQ(frame.consumed, stream.size());
    ASSERT_EQ(frame.rtu.size(), pdu.size() + 2);
    // The same scan that reads a serial reply takes it whole.
    const ReplyScan scan = ScanReply(frame.rtu.data(), frame.rtu.size(), 7, kStatusFunction, kStatusRegisterCount);
    EXPECT_EQ(scan.state, ReplyScan::State::Whole);
    EXPECT_EQ(scan.length, frame.rtu.size());

    const Bytes exception = Adu(2, {7, kStatusFunction | kExceptionFlag, 0x02});
    const MbapFrame refused = NextMbapFrame(exception.data(), exception.size());
    ASSERT_EQ(refused.state, MbapFrame::State::Whole);
    EXPECT_EQ(ScanReply(refused.rtu.data(), refused.rtu.size(), 7, kStatusFunction, kStatusRegisterCount).state,
              ReplyScan::State::Exception);
}

TEST(MbapTest, StreamCutAnywhereWaitsForTheRest)
{
    Bytes stream = Adu(1, StatusPdu());
    const Bytes second = Adu(2, {9, kWriteMultipleRegisters, 0, kRegManualRun, 0, 1});
    const size_t firstLength = stream.size();
    stream.insert(stream.end(), second.begin(), second.end());
    for (size_t cut = 0; cut < firstLength; ++cut)
        EXPECT_EQ(NextMbapFrame(stream.data(), cut).state, MbapFrame::State::Incomplete) << cut;
    const MbapFrame first = NextMbapFrame(stream.data(), stream.size());
    ASSERT_EQ(first.state, MbapFrame::State::Whole);
    EXPECT_EQ(first.consumed, firstLength);
    const MbapFrame next = NextMbapFrame(stream.data() + first.consumed, stream.size() - first.consumed);
    ASSERT_EQ(next.state, MbapFrame::State::Whole);
    EXPECT_EQ(next.transaction, 2);
    EXPECT_EQ(next.rtu[0], 9);
}

TEST(MbapTest, HeadersNoFrameHasBreakTheStream)
{
    struct Case {
        const char* name;
        Bytes stream;
    } cases[] = {
        {"protocol not 0", Adu(1, {7, 4, 0}, 1)},
        {"length 0", {0, 1, 0, 0, 0, 0, 7}},
        {"length 1: a unit without a function", {0, 1, 0, 0, 0, 1, 7}},
        {"length beyond the largest PDU", {0, 1, 0, 0, 0x01, 0x00, 7}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NextMbapFrame(c.stream.data(), c.stream.size()).state, MbapFrame::State::Broken) << c.name;
}

}  // namespace
