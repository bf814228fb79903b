// What the bytes on the line mean, for the line monitor: a frame sent by us
// or a chunk received, told in the operator's words.
#pragma once

#include <QString>
#include <cstdint>

struct FrameMeaning {
    bool wholeFrame = false;  // the length agrees with the frame's own header
    bool crcOk = false;       // only meaningful for a whole frame
    int address = -1;
    int function = -1;        // with bit 0x80 for an exception
    QString text;
};

// A frame as this program sends it: read (04) or write (10) requests.
FrameMeaning DescribeRequest(const uint8_t* bytes, int length);

// A received chunk, told as a reply: register values (a chamber's status
// values for a status read), an exception code, a write's echo. A chunk
// that is not a whole frame says so and how many bytes it holds.
FrameMeaning DescribeReply(const uint8_t* bytes, int length);

// Bytes as two-digit upper-case hex separated by spaces: "01 04 1E".
QString HexText(const uint8_t* bytes, int length);

// The expected length of a reply frame from its first three bytes, or -1
// when that cannot be told (fewer than 3 bytes, unknown function).
int ReplyFrameLength(const uint8_t* bytes, int length);
