// What a chamber controller on the line answers to, in one place: the
// function codes, the registers and their counts, how long a reply is waited
// for and how often a request is tried. The scan, the poll, the commands and
// the line monitor's describer all read it; the simulator keeps its own copy
// on purpose, so a fault in this one cannot hide behind it.
#pragma once

#include <cstdint>

// Function codes.
constexpr uint8_t kReadInputRegisters = 0x04;
constexpr uint8_t kWriteMultipleRegisters = 0x10;
// Also seen on the line and described, though the client never sends them.
constexpr uint8_t kReadHoldingRegisters = 0x03;
constexpr uint8_t kWriteSingleRegister = 0x06;
// Set in the function code of an exception reply.
constexpr uint8_t kExceptionFlag = 0x80;

// Device scan: addresses 0..250, a read of 3 input registers from register 0,
// five attempts of 160 ms each.
constexpr int kLastAddress = 250;
constexpr uint8_t kProbeRegisterCount = 3;
constexpr int kProbeWait = 160;
constexpr int kProbeAttempts = 5;

// Status poll: 15 input registers from register 0, 20 attempts of 800 ms.
constexpr uint8_t kStatusFunction = kReadInputRegisters;
constexpr uint8_t kStatusRegisterCount = 15;
constexpr int kStatusWait = 800;
constexpr int kStatusAttempts = 20;
// The poll repeats every 4 s while reading is on.
constexpr int kStatusPollPeriodMs = 4000;
// The controllers send two humidity words beyond the fifteen asked for.
constexpr int kStatusWordCount = 17;
constexpr int kCurrentHumidityWord = 15;
constexpr int kSetHumidityWord = 16;

// A reply to a read: address, function and byte count, then the words, then
// the CRC.
constexpr int kReplyHeaderBytes = 3;
// Bytes from the reply's start up to the end of word n (0-based), CRC left out.
constexpr int ReplyBytesThroughWord(int n) { return kReplyHeaderBytes + 2 * (n + 1); }

// Control registers, written with function 0x10; every register carries the
// low 8 bits of its value.
constexpr uint8_t kRegStepFirst = 0x00;    // 0x00..0x0C: one program step
constexpr uint8_t kStepRegisterCount = 13;
constexpr uint8_t kRegSetPointFirst = 0x0D;  // 0x0D..0x0F: manual set points
constexpr uint8_t kSetPointRegisterCount = 3;
constexpr uint8_t kRegManualRun = 0x10;    // 1 start, 2 stop
constexpr uint8_t kRegProgramRun = 0x11;   // 1 start, 2 stop; a start may
                                           // carry the program in 0x12
constexpr uint8_t kRunStart = 1;
constexpr uint8_t kRunStop = 2;

// Pause after every control frame, ms (no reply is read).
constexpr int kCommandPauseMs = 500;
