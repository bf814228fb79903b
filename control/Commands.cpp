#include "control/Commands.h"

#include "control/Convert.h"
#include <QStringList>

#include "link/PortUnit.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/LineOwner.h"

namespace {

// Registers are written high byte 0x00, low byte the value's low 8 bits: every
// value the checks let through is below 256.
template <size_t N>
void PutRegister(std::array<uint8_t, N>& frame, size_t at, long long value)
{
    frame[at] = 0x00;
    frame[at + 1] = static_cast<uint8_t>(value & 0xFF);
}

template <size_t N>
void PutHeader(std::array<uint8_t, N>& frame, uint8_t address, uint8_t firstRegister, uint8_t registers)
{
    frame[0] = address;
    frame[1] = kWriteMultipleRegisters;
    frame[2] = 0x00;
    frame[3] = firstRegister;
    frame[4] = 0x00;
    frame[5] = registers;
    frame[6] = static_cast<uint8_t>(registers * 2);
}

// Wide enough for the magnitude of any int.
long long Abs(int value) { return value < 0 ? -static_cast<long long>(value) : value; }

}  // namespace

CycleDigits SplitCycles(int cycles)
{
    CycleDigits d{};
    d.hundreds = cycles / 100;
    d.tens = (cycles - 100 * d.hundreds) / 10;
    d.units = cycles - 10 * d.tens - 100 * d.hundreds;
    return d;
}

StepFrame BuildStepFrame(uint8_t address, int program, int step, const StepValues& v, int steps, int cycles)
{
    StepFrame frame{};
    PutHeader(frame, address, kRegStepFirst, kStepRegisterCount);
    const CycleDigits digits = SplitCycles(cycles);
    PutRegister(frame, 7, program);
    PutRegister(frame, 9, step);
    PutRegister(frame, 11, Abs(v.temperature));
    PutRegister(frame, 13, v.stabiliseHours);
    PutRegister(frame, 15, v.stabiliseMinutes);
    PutRegister(frame, 17, v.humidity);
    PutRegister(frame, 19, steps);
    PutRegister(frame, 21, digits.hundreds);
    PutRegister(frame, 23, v.temperature < 0 ? 1 : 2);
    PutRegister(frame, 25, v.reachHours);
    PutRegister(frame, 27, v.reachMinutes);
    PutRegister(frame, 29, digits.tens);
    PutRegister(frame, 31, digits.units);
    AppendCrc(frame.data(), 33);
    return frame;
}

SetPointFrame BuildSetPointFrame(uint8_t address, int temperature, int humidity)
{
    SetPointFrame frame{};
    PutHeader(frame, address, kRegSetPointFirst, kSetPointRegisterCount);
    PutRegister(frame, 7, Abs(temperature));
    PutRegister(frame, 9, humidity);
    // This register counts the other way round from the step sign.
    PutRegister(frame, 11, temperature < 0 ? 2 : 1);
    AppendCrc(frame.data(), 13);
    return frame;
}

RunFrame BuildRunFrame(uint8_t address, uint8_t reg, uint8_t value)
{
    RunFrame frame{};
    PutHeader(frame, address, reg, 1);
    PutRegister(frame, 7, value);
    AppendCrc(frame.data(), 9);
    return frame;
}

ProgramStartFrame BuildProgramStartFrame(uint8_t address, int program)
{
    ProgramStartFrame frame{};
    PutHeader(frame, address, kRegProgramRun, 2);
    PutRegister(frame, 7, kRunStart);
    PutRegister(frame, 9, program);
    AppendCrc(frame.data(), 11);
    return frame;
}

std::vector<StepFrame> BuildProgramFrames(uint8_t address, int program, const ProgramTexts& texts)
{
    const int steps = StrToInt(texts.steps);
    const int cycles = StrToInt(texts.cycles);
    std::vector<StepFrame> frames;
    for (int row = 1; row <= steps && row <= kTableSteps; ++row) {
        StepValues v;
        v.temperature = StrToInt(texts.Cell(row, kColTemperature));
        v.stabiliseHours = StrToInt(texts.Cell(row, kColStabiliseHours));
        v.stabiliseMinutes = StrToInt(texts.Cell(row, kColStabiliseMinutes));
        v.reachHours = StrToInt(texts.Cell(row, kColReachHours));
        v.reachMinutes = StrToInt(texts.Cell(row, kColReachMinutes));
        v.humidity = StrToInt(texts.Cell(row, kColHumidity));
        frames.push_back(BuildStepFrame(address, program, row, v, steps, cycles));
    }
    return frames;
}

QString ProgramJournalText(int program, const ProgramTexts& texts)
{
    const int steps = StrToInt(texts.steps);
    QString text = QStringLiteral("программа %1, шагов %2, циклов %3").arg(program).arg(steps).arg(StrToInt(texts.cycles));
    for (int row = 1; row <= steps && row <= kTableSteps; ++row)
        text += QStringLiteral("; шаг %1: %2 °C, %3 %, выход на режим %4 ч %5 мин, стабилизация %6 ч %7 мин")
                    .arg(row)
                    .arg(StrToInt(texts.Cell(row, kColTemperature)))
                    .arg(StrToInt(texts.Cell(row, kColHumidity)))
                    .arg(StrToInt(texts.Cell(row, kColReachHours)))
                    .arg(StrToInt(texts.Cell(row, kColReachMinutes)))
                    .arg(StrToInt(texts.Cell(row, kColStabiliseHours)))
                    .arg(StrToInt(texts.Cell(row, kColStabiliseMinutes)));
    return text;
}

QString SetPointJournalText(int temperature, int humidity)
{
    return QStringLiteral("%1 °C, %2 %").arg(temperature).arg(humidity);
}

FrameAnswer FrameAnswerOf(const WriteReply& reply)
{
    FrameAnswer answer;
    if (!reply.sent) {
        answer.kind = FrameAnswer::Kind::NotSent;
        return answer;
    }
    switch (reply.outcome) {
    case WholeReply::Outcome::Answered:
        answer.kind = FrameAnswer::Kind::Confirmed;
        break;
    case WholeReply::Outcome::Exception:
        answer.kind = FrameAnswer::Kind::Refused;
        answer.exception = reply.ExceptionCode();
        break;
    default:
        answer.kind = FrameAnswer::Kind::NoAnswer;
        break;
    }
    return answer;
}

QString FrameAnswerText(const FrameAnswer& answer)
{
    switch (answer.kind) {
    case FrameAnswer::Kind::Confirmed:
        return JournalOutcomeConfirmed();
    case FrameAnswer::Kind::Refused:
        return JournalOutcomeRefused(answer.exception);
    case FrameAnswer::Kind::NotSent:
        return JournalOutcomeNoPort();
    case FrameAnswer::Kind::NoAnswer:
        break;
    }
    return JournalOutcomeNoAnswer();
}

bool AllConfirmed(const std::vector<FrameAnswer>& answers)
{
    for (const FrameAnswer& a : answers)
        if (!a.Confirmed())
            return false;
    return !answers.empty();
}

QString ProgramAnswerText(const std::vector<FrameAnswer>& answers)
{
    if (AllConfirmed(answers))
        return JournalOutcomeConfirmed();
    QStringList parts;
    size_t first = 0;
    while (first < answers.size()) {
        if (answers[first].Confirmed()) {
            ++first;
            continue;
        }
        const QString text = FrameAnswerText(answers[first]);
        size_t last = first;
        while (last + 1 < answers.size() && !answers[last + 1].Confirmed() &&
               FrameAnswerText(answers[last + 1]) == text)
            ++last;
        // Steps count from 1, as the table's rows do.
        parts << (first == last ? QStringLiteral("шаг %1: %2").arg(first + 1).arg(text)
                                : QStringLiteral("шаги %1–%2: %3").arg(first + 1).arg(last + 1).arg(text));
        first = last + 1;
    }
    return parts.join(QStringLiteral("; "));
}

FrameAnswer SendFrame(const uint8_t* frame, int length)
{
    FrameAnswer answer;
    OnLine([&] { answer = FrameAnswerOf(WriteWithReply(frame, length, kCommandPauseMs)); });
    return answer;
}

std::vector<FrameAnswer> SendFrames(const std::vector<StepFrame>& frames)
{
    std::vector<FrameAnswer> answers;
    answers.reserve(frames.size());
    // All frames in one exchange: no read comes between two of them.
    OnLine([&] {
        for (const StepFrame& frame : frames)
            answers.push_back(SendFrame(frame));
    });
    return answers;
}
