#include "monitoring/StatusDecode.h"

namespace {

Accepted Below(int value, int limit) { return {value, value < limit}; }

}  // namespace

uint16_t StatusWord(const ReceiveBytes& buffer, int n)
{
    const int high = 3 + 2 * n;
    return static_cast<uint16_t>(256 * buffer[high] + buffer[high + 1]);
}

int SignedTenths(uint16_t word) { return word > 50000 ? -(65536 - static_cast<int>(word)) : word; }

bool TemperatureAccepted(int tenths)
{
    // Whole tenths compare exactly where the quotient in degrees might not.
    return tenths > -1000 && tenths < 2500;
}

StatusReply DecodeStatus(const ReceiveBytes& buffer, int chamberAddress)
{
    StatusReply reply;
    // Only a reply that begins at the first byte is read; one found further
    // in has its words at unknown positions.
    if (buffer[0] != chamberAddress || buffer[1] != kStatusFunction)
        return reply;
    reply.decoded = true;
    for (int n = 0; n < kStatusWordCount; ++n)
        reply.words[n] = StatusWord(buffer, n);
    const uint16_t* w = reply.words;

    const int current = SignedTenths(w[0]);
    reply.currentTemp = {current, TemperatureAccepted(current)};
    const int set = SignedTenths(w[2]);
    reply.setTemp = {set, TemperatureAccepted(set)};

    reply.stabiliseHours = Below(w[4], 200);
    reply.stabiliseMinutes = Below(w[5], 60);
    reply.reachHours = Below(w[6], 1000);
    reply.reachMinutes = Below(w[7], 60);
    reply.reachSetHours = Below(w[14] / 60, 200);
    reply.reachSetMinutes = {w[14] % 60, true};
    reply.stabiliseSetHours = Below(w[8], 200);
    reply.stabiliseSetMinutes = Below(w[9], 60);

    reply.step = w[10];
    reply.steps = w[11];
    reply.stepAccepted = w[10] < 20 && w[11] < 20;
    reply.cycle = w[12];
    reply.cycles = w[13];
    reply.cycleAccepted = w[12] < 1000;

    reply.program = Below(w[1], 20);
    reply.currentHumidity = Below(w[15], 1100);
    reply.setHumidity = Below(w[16], 1100);
    return reply;
}
