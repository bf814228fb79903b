// The frames the control window writes to a chamber (function 0x10), and
// how one is sent: a fixed pause follows each, during which the chamber's
// answer is taken.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "control/Checks.h"
#include "link/ChamberContract.h"
#include "link/PortUnit.h"

using StepFrame = std::array<uint8_t, 35>;
using SetPointFrame = std::array<uint8_t, 15>;
using RunFrame = std::array<uint8_t, 11>;
using ProgramStartFrame = std::array<uint8_t, 13>;

// The control registers and the pause after every frame:
// link/ChamberContract.h.

// One step of a program, as whole numbers.
struct StepValues {
    int temperature = 0;  // signed °C
    int stabiliseHours = 0;
    int stabiliseMinutes = 0;
    int reachHours = 0;
    int reachMinutes = 0;
    int humidity = 0;
};

// The three decimal digits of a cycle count 0..999.
struct CycleDigits {
    int hundreds;
    int tens;
    int units;
};
CycleDigits SplitCycles(int cycles);

// Registers 0x0000..0x000C: program, step, |T|, stabilisation h/min,
// humidity, N, cycle hundreds, sign (1 below zero, 2 otherwise), reach h/min,
// cycle tens and units. Every register carries the low 8 bits of its value.
StepFrame BuildStepFrame(uint8_t address, int program, int step, const StepValues& values, int steps, int cycles);

// Registers 0x000D..0x000F: |T|, H, sign (2 below zero, 1 otherwise).
SetPointFrame BuildSetPointFrame(uint8_t address, int temperature, int humidity);

// One register (0x10 manual, 0x11 program) with 1 start or 2 stop.
RunFrame BuildRunFrame(uint8_t address, uint8_t reg, uint8_t value);

// Start (1) in 0x0011 and the program to start from in 0x0012.
ProgramStartFrame BuildProgramStartFrame(uint8_t address, int program);

// The step frames of rows 1..N from texts that passed CheckProgramTable.
std::vector<StepFrame> BuildProgramFrames(uint8_t address, int program, const ProgramTexts& texts);

// The journal's one-line text of a program write (texts that passed
// CheckProgramTable): "программа P, шагов N, циклов K; шаг 1: T °C, RH %,
// выход на режим Ч ч М мин, стабилизация Ч ч М мин; шаг 2: …", every row sent.
QString ProgramJournalText(int program, const ProgramTexts& texts);
// "T °C, H %" of a set point write.
QString SetPointJournalText(int temperature, int humidity);

// The commands a confirmation is announced for, to whoever follows whether
// a chamber runs: a stop of manual mode and of program mode are both Stop.
enum class ConfirmedCommand { ManualStart, ProgramStart, Stop };

// What became of one control frame, by the chamber's answer to it.
struct FrameAnswer {
    enum class Kind {
        Confirmed,  // the chamber echoed the write
        Refused,    // an exception reply; exception holds its code
        NoAnswer,   // nothing that answers this write (silence, noise, a wrong echo)
        NotSent,    // no port, or the driver did not take the frame
    };
    Kind kind = Kind::NoAnswer;
    int exception = 0;
    bool Confirmed() const { return kind == Kind::Confirmed; }
};
FrameAnswer FrameAnswerOf(const WriteReply& reply);
// "подтверждено камерой", "камера отказала: исключение N", "нет ответа
// камеры" or the journal's words for a frame with no port.
QString FrameAnswerText(const FrameAnswer& answer);
// A program written frame by frame: "подтверждено камерой" when every step
// was; otherwise each step that was not, with its answer, runs of steps with
// the same answer together: "шаг 2: нет ответа камеры; шаги 4–6: камера
// отказала: исключение 3".
QString ProgramAnswerText(const std::vector<FrameAnswer>& answers);
bool AllConfirmed(const std::vector<FrameAnswer>& answers);

// Hands the frame to the port and pauses the fixed time after it, taking the
// chamber's answer meanwhile.
FrameAnswer SendFrame(const uint8_t* frame, int length);

template <size_t N>
FrameAnswer SendFrame(const std::array<uint8_t, N>& frame)
{
    return SendFrame(frame.data(), static_cast<int>(N));
}

// A program's step frames one after another, the line held for all of them
// so that no other exchange comes between two steps. Every frame is sent,
// whatever became of the one before; one answer per frame.
std::vector<FrameAnswer> SendFrames(const std::vector<StepFrame>& frames);
