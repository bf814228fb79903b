// Decoding of a chamber's status reply: seventeen words at fixed positions
// from the first byte of the receive buffer, each value inside its window.
#pragma once

#include <cstdint>

#include "link/ChamberContract.h"
#include "link/PortUnit.h"

// A decoded value and whether it lies inside its window.
struct Accepted {
    int value = 0;
    bool accepted = false;
};

struct StatusReply {
    // False when bytes 0 and 1 are not (chamber address, 4); nothing else
    // is filled then.
    bool decoded = false;
    uint16_t words[kStatusWordCount] = {};

    Accepted currentTemp;          // word 0, signed tenths of °C
    Accepted setTemp;              // word 2, signed tenths of °C
    Accepted stabiliseHours;       // word 4 → Label11
    Accepted stabiliseMinutes;     // word 5
    Accepted reachHours;           // word 6 → Label15
    Accepted reachMinutes;         // word 7
    Accepted reachSetHours;        // word 14 div 60 → Label3
    Accepted reachSetMinutes;      // word 14 mod 60, always accepted
    Accepted stabiliseSetHours;    // word 8 → Label19
    Accepted stabiliseSetMinutes;  // word 9
    // Step and number of steps (words 10, 11) are taken or refused together,
    // and so are cycle and number of cycles (words 12, 13).
    bool stepAccepted = false;
    int step = 0;
    int steps = 0;
    bool cycleAccepted = false;
    int cycle = 0;
    int cycles = 0;
    Accepted program;              // word 1
    Accepted currentHumidity;      // word 15, tenths of %
    Accepted setHumidity;          // word 16, tenths of %
};

// Word n of a reply that starts at offset 0: high byte at 3 + 2n.
uint16_t StatusWord(const ReceiveBytes& buffer, int n);

// The controllers write negative temperatures as 65536 − |t|, but anything up
// to 50000 still counts as positive.
int SignedTenths(uint16_t word);
// −100 < t < 250 °C, strictly.
bool TemperatureAccepted(int tenths);

// Reads positions 0..36 of one snapshot of the buffer.
StatusReply DecodeStatus(const ReceiveBytes& buffer, int chamberAddress);
