#include "link/Mbap.h"

#include "link/Rtu.h"

std::vector<uint8_t> MbapRequestOf(const uint8_t* rtu, size_t length, uint16_t transaction)
{
    // Address, function, CRC at the least; a PDU that no gateway takes is refused here.
    if (length < 4 || length - 2 > kMbapMaxLength)
        return {};
    const size_t unitAndPdu = length - 2;
    std::vector<uint8_t> adu;
    adu.reserve(6 + unitAndPdu);
    adu.push_back(static_cast<uint8_t>(transaction >> 8));
    adu.push_back(static_cast<uint8_t>(transaction & 0xFF));
    adu.push_back(0);
    adu.push_back(0);
    adu.push_back(static_cast<uint8_t>(unitAndPdu >> 8));
    adu.push_back(static_cast<uint8_t>(unitAndPdu & 0xFF));
    adu.insert(adu.end(), rtu, rtu + unitAndPdu);
    return adu;
}

MbapFrame NextMbapFrame(const uint8_t* bytes, size_t count)
{
    MbapFrame frame;
    if (count < kMbapHeaderSize)
        return frame;
    const uint16_t protocol = static_cast<uint16_t>(bytes[2] << 8 | bytes[3]);
    const size_t length = static_cast<size_t>(bytes[4] << 8 | bytes[5]);
    // A unit byte and a function code at the least.
    if (protocol != 0 || length < 2 || length > kMbapMaxLength) {
        frame.state = MbapFrame::State::Broken;
        return frame;
    }
    if (count < 6 + length)
        return frame;
    frame.state = MbapFrame::State::Whole;
    frame.transaction = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    frame.consumed = 6 + length;
    frame.rtu.assign(bytes + 6, bytes + 6 + length);
    frame.rtu.resize(length + 2);
    AppendCrc(frame.rtu.data(), length);
    return frame;
}
