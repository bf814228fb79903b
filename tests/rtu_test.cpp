// Modbus RTU framing: CRC-16/MODBUS, the read request, and reply recognition.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestBytes.h"
#include "link/Rtu.h"

namespace {

std::string HexText(const uint8_t* bytes, size_t length)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(part, sizeof part, i ? " %02X" : "%02X", bytes[i]);
        text += part;
    }
    return text;
}

// Crc16 always works on a 256-byte frame array.
std::array<uint8_t, 256> Frame(const std::vector<uint8_t>& bytes, size_t at = 0)
{
    std::array<uint8_t, 256> frame{};
    for (size_t i = 0; i < bytes.size(); ++i)
        frame[at + i] = bytes[i];
    return frame;
}

struct CrcCase {
    const char* name;
    std::array<uint8_t, 256> frame;
    uint8_t first;
    uint8_t last;
    uint16_t expected;
};

std::array<uint8_t, 256> Ramp()
{
    std::array<uint8_t, 256> frame{};
    for (int i = 0; i < 256; ++i)
        frame[i] = static_cast<uint8_t>(i);
    return frame;
}

}  // namespace

TEST(RtuCrc, KnownValues)
{
    const CrcCase cases[] = {
        {"check value of the nine digits", Frame(Hex("31 32 33 34 35 36 37 38 39")), 0, 8, 0x4B37},
        {"read request address 1, 3 registers", Frame(Hex("01 04 00 00 00 03")), 0, 5, 0x0BB0},
        {"read request address 5, 3 registers", Frame(Hex("05 04 00 00 00 03")), 0, 5, 0x8FB1},
        {"read request address 1, 15 registers", Frame(Hex("01 04 00 00 00 0F")), 0, 5, 0x0EB0},
        {"one byte 0x01", Frame(Hex("01")), 0, 0, 0x807E},
        {"one byte 0x00", Frame(Hex("00")), 0, 0, 0x40BF},
        {"one byte in the middle equals that byte alone", Frame(Hex("AA BB 01 CC")), 2, 2, 0x807E},
        {"range in the middle ignores the bytes around it", Ramp(), 3, 5, 0x0343},
        {"last byte of the array on its own", Ramp(), 255, 255, 0x00FF},
        {"the whole 256-byte array", Ramp(), 0, 255, 0xDE6C},
        {"last before first", Frame(Hex("31 32 33")), 2, 1, 0xFFFF},
        {"last before first, far apart", Ramp(), 255, 0, 0xFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Crc16(c.first, c.last, c.frame.data()), c.expected);
    }
}

TEST(RtuCrc, DoesNotTouchTheFrame)
{
    const auto original = Ramp();
    auto frame = original;
    Crc16(0, 255, frame.data());
    EXPECT_EQ(frame, original);
}

TEST(RtuReadRequest, Bytes)
{
    struct Case {
        uint8_t address, function, count;
        const char* expected;
    };
    const Case cases[] = {
        {1, 0x04, 3, "01 04 00 00 00 03 B0 0B"},
        {5, 0x04, 3, "05 04 00 00 00 03 B1 8F"},
        {1, 0x04, 15, "01 04 00 00 00 0F B0 0E"},
    };
    for (const auto& c : cases) {
        const auto frame = BuildReadRequest(c.address, c.function, c.count);
        EXPECT_EQ(HexText(frame.data(), frame.size()), c.expected);
    }
}

TEST(RtuReadRequest, EveryRequestCarriesItsOwnCrc)
{
    // A receiving controller recomputes the CRC over the whole frame including
    // the CRC bytes; a correct frame then gives 0.
    for (int address = 0; address <= 250; ++address)
        for (uint8_t count : {uint8_t{3}, uint8_t{15}}) {
            const auto request = BuildReadRequest(static_cast<uint8_t>(address), 0x04, count);
            const auto frame = Frame(std::vector<uint8_t>(request.begin(), request.end()));
            ASSERT_EQ(Crc16(0, 7, frame.data()), 0) << "address " << address << " count " << int(count);
            EXPECT_EQ(request[0], address);
            EXPECT_EQ(request[5], count);
            EXPECT_EQ(request[2] | request[3] | request[4], 0);
        }
}

TEST(RtuAppendCrc, ControlFrames)
{
    struct Case {
        const char* data;
        const char* crc;
    };
    const Case cases[] = {
        {"01 10 00 10 00 01 02 00 01", "65 00"},
        {"01 10 00 11 00 02 04 00 01 00 03", "22 AE"},
        {"01 04 00 00 00 03", "B0 0B"},
        {"31 32 33 34 35 36 37 38 39", "37 4B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        const auto data = Hex(c.data);
        auto frame = Frame(data);
        frame[data.size()] = 0xEE;  // whatever lay there before is replaced
        frame[data.size() + 1] = 0xEE;
        frame[data.size() + 2] = 0x5A;  // and nothing after the CRC is touched
        const size_t length = AppendCrc(frame.data(), data.size());
        ASSERT_EQ(length, data.size() + 2);
        EXPECT_EQ(HexText(frame.data() + data.size(), 2), c.crc);
        EXPECT_EQ(HexText(frame.data(), data.size()), HexText(data.data(), data.size()));
        EXPECT_EQ(frame[data.size() + 2], 0x5A);
    }
}

TEST(RtuAppendCrc, LongestFrameUsesTheWholeRange)
{
    // 254 data bytes + CRC fill the 256-byte array exactly.
    auto frame = Ramp();
    const size_t length = AppendCrc(frame.data(), 254);
    ASSERT_EQ(length, 256u);
    EXPECT_EQ(Crc16(0, 255, frame.data()), 0);
}

TEST(RtuFindReply, Cases)
{
    struct Placement {
        int at;
        const char* bytes;
    };
    struct Case {
        const char* name;
        std::vector<Placement> content;
        int address;
        uint8_t function;
        bool found;
    };
    const char* reply = "01 04 06 00 FA 01 2C 00 00 5D 2A";
    const Case cases[] = {
        {"reply at offset 0", {{0, reply}}, 1, 0x04, true},
        {"reply after three noise bytes", {{0, "FF 00 7E"}, {3, reply}}, 1, 0x04, true},
        {"pair at 254 and 255", {{254, "07 04"}}, 7, 0x04, true},
        {"address alone at 255", {{255, "07"}}, 7, 0x04, false},
        {"address at 253, function at 255", {{253, "07 00 04"}}, 7, 0x04, false},
        {"address 0 in an all-zero buffer", {}, 0, 0x04, false},
        {"address 0 with a real pair", {{10, "00 04"}}, 0, 0x04, true},
        {"pair inside other data", {{0, "09 04 06 00 21 04 00 00"}}, 0x21, 0x04, true},
        {"pair at the very end of a data block", {{120, "55 66 21 04"}}, 0x21, 0x04, true},
        {"exception reply 0x84", {{0, "01 84 04 42 C3"}}, 1, 0x04, false},
        {"reply from another address", {{0, "02 04 06 00 FA 01 2C 00 00"}}, 1, 0x04, false},
        {"function before address", {{0, "04 01 00 00"}}, 1, 0x04, false},
        {"address 250", {{0, "FA 04 06"}}, 250, 0x04, true},
        {"function compared as given", {{0, "01 10 00 10"}}, 1, 0x10, true},
        {"address above a byte never matches", {{0, "01 04"}}, 257, 0x04, false},
        {"negative address never matches", {{0, "FF 04"}}, -1, 0x04, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<uint8_t, 256> buffer{};
        for (const auto& p : c.content) {
            const auto bytes = Hex(p.bytes);
            for (size_t i = 0; i < bytes.size(); ++i)
                buffer[p.at + i] = bytes[i];
        }
        EXPECT_EQ(FindReplyIn(buffer, c.address, c.function), c.found);
    }
}

TEST(RtuFindReply, EveryStartPositionIsSearched)
{
    for (int p = 0; p <= 254; ++p) {
        std::array<uint8_t, 256> buffer{};
        buffer[p] = 0x2A;
        buffer[p + 1] = 0x04;
        EXPECT_TRUE(FindReplyIn(buffer, 0x2A, 0x04)) << "pair at " << p;
        EXPECT_FALSE(FindReplyIn(buffer, 0x2B, 0x04)) << "pair at " << p;
    }
}
