// Arbitrary line bytes, cut into arbitrary chunks, through the receive
// buffer's rules (StoreChunk, ClearReceiveBuffer), then the reply search, the
// status decoding and the value fields. Any disagreement with the reference
// below, and any read outside the buffer, ends the run.
//
// Input: byte 0 the address searched for, byte 1 flags (bit 0 the decimal
// separator, bit 1 search for the exception function 0x84 instead of 0x04),
// then operations: a byte 0xFF clears the buffer; any other byte n is a chunk
// of n + 1 bytes (so up to 255) taken from what follows, or n + 1 + 256 when
// it is followed by 0xFE (more than the buffer holds, which must be capped).
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QString>

#include "link/PortUnit.h"
#include "monitoring/Presentation.h"
#include "monitoring/StatusDecode.h"

namespace {

[[noreturn]] void Mismatch(const char* what)
{
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

// The pair (address, function) at some p in 0..254, written without the
// code under test's loop.
bool ReferenceFind(const ReceiveBytes& b, int address, uint8_t function)
{
    if (address < 0 || address > 255)
        return false;
    const uint8_t pair[2] = {static_cast<uint8_t>(address), function};
    for (const uint8_t* p = b.data(); (p = static_cast<const uint8_t*>(std::memchr(p, pair[0], b.data() + 255 - p)));
         ++p)
        if (p[1] == pair[1])
            return true;
    return false;
}

bool WholeTenthsText(const QString& text)
{
    // "-", digits, then at most a separator and one digit that is not 0.
    int i = text.startsWith(u'-') ? 1 : 0;
    int digits = 0;
    while (i < text.size() && text[i].isDigit() && text[i].unicode() < 128) {
        ++i;
        ++digits;
    }
    if (digits == 0 || digits > 4)
        return false;
    if (i == text.size())
        return true;
    return i + 2 == text.size() && (text[i] == u'.' || text[i] == u',') && text[i + 1] >= u'1' && text[i + 1] <= u'9';
}

void CheckView(const StatusView& v, const StatusReply& r)
{
    if (!r.decoded)
        return;
    // Every accepted value is inside its window.
    if (r.currentTemp.accepted && !(r.currentTemp.value > -1000 && r.currentTemp.value < 2500))
        Mismatch("current temperature outside its window accepted");
    if (r.setTemp.accepted && !(r.setTemp.value > -1000 && r.setTemp.value < 2500))
        Mismatch("set temperature outside its window accepted");
    if (r.currentHumidity.accepted && !(r.currentHumidity.value >= 0 && r.currentHumidity.value < 1100))
        Mismatch("humidity outside its window accepted");
    if (r.stepAccepted && !(r.step < 20 && r.steps < 20))
        Mismatch("step pair outside its window accepted");
    if (r.cycleAccepted && !(r.cycle < 1000))
        Mismatch("cycle outside its window accepted");
    if (r.program.accepted && r.program.value >= 20)
        Mismatch("program outside its window accepted");
    if (r.reachSetHours.accepted && r.reachSetHours.value >= 200)
        Mismatch("reach set point hours outside its window accepted");
    if (!r.reachSetMinutes.accepted || r.reachSetMinutes.value >= 60)
        Mismatch("reach set point minutes");
    // The temperature fields show their value texts; texts are whole forms.
    if (v.label5 != v.currentTempText || v.label18 != v.setTempText)
        Mismatch("temperature field differs from its value text");
    for (const QString* t : {&v.currentTempText, &v.setTempText, &v.currentHumidityText, &v.setHumidityText})
        if (!t->isEmpty() && !WholeTenthsText(*t))
            Mismatch("tenths text malformed");
    for (const QString* f : {&v.label11, &v.label15, &v.label3, &v.label19})
        if (f->size() > 6)
            Mismatch("a time field grew");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int address = data[0];
    const uint8_t function = (data[1] & 2) ? 0x84 : 0x04;
    const QString separator = (data[1] & 1) ? QStringLiteral(",") : QStringLiteral(".");
    size_t at = 2;

    ClearReceiveBuffer();
    ReceiveBytes model = ReceiveBufferSnapshot();
    StatusView view{};
    view.label5 = view.label18 = view.label2 = view.label4 = view.label17 = QStringLiteral("0");
    view.label11 = view.label15 = view.label3 = view.label19 = QStringLiteral("00:00");
    view.label13 = view.label20 = QStringLiteral("0(0)");

    while (at < size) {
        const uint8_t op = data[at++];
        if (op == 0xFF) {
            ClearReceiveBuffer();
            std::memset(model.data(), 0, 255);
        } else {
            size_t length = static_cast<size_t>(op) + 1;
            if (at < size && data[at] == 0xFE) {
                ++at;
                length += 256;
            }
            const size_t available = size - at;
            if (length > available)
                length = available;
            if (length == 0)
                break;
            // A chunk bigger than the buffer arrives as a copy on the heap of
            // exactly its length, so that reading past it is caught.
            uint8_t* chunk = new uint8_t[length];
            std::memcpy(chunk, data + at, length);
            StoreChunk(chunk, static_cast<int>(length));
            delete[] chunk;
            std::memcpy(model.data(), data + at, length < 256 ? length : 256);
            at += length;
        }
        const ReceiveBytes buffer = ReceiveBufferSnapshot();
        if (buffer != model)
            Mismatch("receive buffer differs from the chunk rules");
        if (FindReplyIn(buffer, address, function) != ReferenceFind(buffer, address, function))
            Mismatch("reply search");
        if (FindReply(address, function) != ReferenceFind(buffer, address, function))
            Mismatch("reply search on the shared buffer");

        const StatusReply reply = DecodeStatus(buffer, address);
        if (reply.decoded != (buffer[0] == address && buffer[1] == 0x04))
            Mismatch("decoded although the reply does not start the buffer, or the other way round");
        if (reply.decoded)
            for (int n = 0; n < kStatusWordCount; ++n)
                if (reply.words[n] != 256 * buffer[3 + 2 * n] + buffer[4 + 2 * n])
                    Mismatch("word read from the wrong position");
        ApplyStatus(view, reply, separator);
        CheckView(view, reply);
    }
    return 0;
}
