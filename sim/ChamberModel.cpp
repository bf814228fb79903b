#include "sim/ChamberModel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace sim {

namespace {

constexpr double kEpsilon = 1e-6;

// Control register numbers.
enum : int {
    kRegProgram = 0x00,
    kRegStep = 0x01,
    kRegStepTemperature = 0x02,
    kRegStabiliseHours = 0x03,
    kRegStabiliseMinutes = 0x04,
    kRegStepHumidity = 0x05,
    kRegStepCount = 0x06,
    kRegCyclesHundreds = 0x07,
    kRegStepSign = 0x08,
    kRegReachHours = 0x09,
    kRegReachMinutes = 0x0A,
    kRegCyclesTens = 0x0B,
    kRegCyclesUnits = 0x0C,
    kRegManualTemperature = 0x0D,
    kRegManualRun = 0x10,
    kRegProgramRun = 0x11,
    kRegStartSlot = 0x12,
};

constexpr uint16_t kRunStart = 1;
constexpr uint16_t kRunStop = 2;

// The step frame and the set point frame code the sign the opposite way.
constexpr uint16_t kStepSignNegative = 1;
constexpr uint16_t kStepSignPositive = 2;
constexpr uint16_t kManualSignNegative = 2;
constexpr uint16_t kManualSignPositive = 1;

bool InRange(uint16_t value, int low, int high) { return value >= low && value <= high; }

// One first-order move of value toward target over dt, limited to rate·dt.
double Approach(double value, double target, double dt, double timeConstant, double rate)
{
    double delta = (target - value) * (1.0 - std::exp(-dt / timeConstant));
    const double limit = rate * dt;
    delta = std::clamp(delta, -limit, limit);
    return value + delta;
}

// As Approach, but never slower than the straight ramp that arrives at the
// target when `left` seconds have passed: a controller spreads its ramp over
// the reach time it was given. dt never exceeds left.
double Drive(double value, double target, double dt, double timeConstant, double rate, double left)
{
    const double next = Approach(value, target, dt, timeConstant, rate);
    if (left <= kEpsilon)
        return next;
    const double distance = std::abs(target - value);
    const double ramp = std::min(distance, distance * dt / left);
    if (std::abs(next - value) >= ramp)
        return next;
    return value + std::copysign(ramp, target - value);
}

uint16_t Tenths(double value)
{
    const long tenths = std::lround(value * 10.0);
    return static_cast<uint16_t>(std::clamp<long>(tenths, 0, 65535));
}

}  // namespace

bool ProgramStep::operator==(const ProgramStep& o) const
{
    return defined == o.defined && temperature == o.temperature && humidity == o.humidity &&
           stabiliseHours == o.stabiliseHours && stabiliseMinutes == o.stabiliseMinutes &&
           reachHours == o.reachHours && reachMinutes == o.reachMinutes;
}

bool Program::Runnable() const
{
    if (stepCount < 1 || stepCount > kMaxSteps || cycles < 1)
        return false;
    for (int i = 0; i < stepCount; ++i)
        if (!steps[i].defined)
            return false;
    return true;
}

ChamberModel::ChamberModel()
    : temperature_(physics_.ambientTemperature), humidity_(physics_.ambientHumidity)
{
}

const Program& ChamberModel::GetProgram(int slot) const
{
    static const Program kNone{};
    if (slot < 1 || slot > kProgramSlots)
        return kNone;
    return programs_[slot - 1];
}

uint16_t ChamberModel::ControlRegister(int index) const
{
    if (index < 0 || index >= kControlRegisters)
        return 0;
    return registers_[index];
}

const ProgramStep& ChamberModel::RunningStep() const
{
    return running_.steps[step_ - 1];
}

double ChamberModel::TargetTemperature() const
{
    if (mode_ == Mode::Program)
        return RunningStep().temperature;
    return manualTemperature_;
}

double ChamberModel::TargetHumidity() const
{
    if (mode_ == Mode::Program)
        return RunningStep().humidity;
    return manualHumidity_;
}

uint16_t ChamberModel::EncodeTenths(double value)
{
    const long tenths = std::lround(value * 10.0);
    if (tenths >= 0)
        return static_cast<uint16_t>(std::min<long>(tenths, 65535));
    return static_cast<uint16_t>(65536 - std::min<long>(-tenths, 65535));
}

void ChamberModel::PinStatusWord(int word, uint16_t value)
{
    if (word >= 0 && word < kStatusWords)
        pinned_[word] = value;
}

void ChamberModel::UnpinStatusWord(int word)
{
    if (word >= 0 && word < kStatusWords)
        pinned_[word].reset();
}

void ChamberModel::UnpinAllStatusWords()
{
    pinned_.fill(std::nullopt);
}

std::array<uint16_t, kStatusWords> ChamberModel::StatusWords() const
{
    std::array<uint16_t, kStatusWords> w{};
    w[0] = EncodeTenths(temperature_);
    w[2] = EncodeTenths(TargetTemperature());
    w[15] = Tenths(humidity_);
    w[16] = Tenths(TargetHumidity());
    if (mode_ == Mode::Program) {
        const ProgramStep& s = RunningStep();
        const Program& p = running_;
        const auto stabilised = static_cast<int>(phase_ == Phase::Stabilise ? phaseElapsed_ / 60 : 0);
        const auto reaching = static_cast<int>((phase_ == Phase::Reach ? phaseElapsed_ : reachTook_) / 60);
        w[1] = static_cast<uint16_t>(program_);
        w[4] = static_cast<uint16_t>(stabilised / 60);
        w[5] = static_cast<uint16_t>(stabilised % 60);
        w[6] = static_cast<uint16_t>(reaching / 60);
        w[7] = static_cast<uint16_t>(reaching % 60);
        w[8] = static_cast<uint16_t>(s.stabiliseHours);
        w[9] = static_cast<uint16_t>(s.stabiliseMinutes);
        w[10] = static_cast<uint16_t>(step_);
        w[11] = static_cast<uint16_t>(p.stepCount);
        w[12] = static_cast<uint16_t>(cycle_);
        w[13] = static_cast<uint16_t>(p.cycles);
        w[14] = static_cast<uint16_t>(s.reachHours * 60 + s.reachMinutes);
    }
    for (int i = 0; i < kStatusWords; ++i)
        if (pinned_[i])
            w[i] = *pinned_[i];
    return w;
}

uint8_t ChamberModel::WriteRegisters(uint16_t first, const std::vector<uint16_t>& values)
{
    const size_t n = values.size();
    if (n == 0 || first + n > static_cast<size_t>(kControlRegisters))
        return kIllegalDataAddress;

    // The controller takes only the blocks the operator client writes.
    uint8_t result = kIllegalDataAddress;
    if (first == kRegProgram && n == 13) {
        result = WriteStep(values);
    } else if (first == kRegManualTemperature && n == 3) {
        result = WriteSetPoints(values);
    } else if (first == kRegManualRun && n == 1) {
        if (!InRange(values[0], kRunStart, kRunStop))
            return kIllegalDataValue;
        if (values[0] == kRunStart)
            mode_ = Mode::Manual;
        else if (mode_ == Mode::Manual)
            mode_ = Mode::Stopped;
        result = 0;
    } else if (first == kRegProgramRun && (n == 1 || n == 2)) {
        if (!InRange(values[0], kRunStart, kRunStop))
            return kIllegalDataValue;
        const uint16_t slot = n == 2 ? values[1] : registers_[kRegStartSlot];
        if (n == 2 && !InRange(slot, 1, kProgramSlots))
            return kIllegalDataValue;
        if (values[0] == kRunStart) {
            result = StartProgram(slot);
        } else {
            if (mode_ == Mode::Program) {
                mode_ = Mode::Stopped;
                program_ = step_ = cycle_ = 0;
            }
            result = 0;
        }
    }
    if (result == 0)
        std::copy(values.begin(), values.end(), registers_.begin() + first);
    return result;
}

uint8_t ChamberModel::WriteStep(const std::vector<uint16_t>& r)
{
    const bool valid =
        InRange(r[kRegProgram], 1, kProgramSlots) && InRange(r[kRegStep], 1, kMaxSteps) &&
        InRange(r[kRegStepTemperature], 0, kMaxTemperature) &&
        InRange(r[kRegStabiliseHours], 0, kMaxHours) && InRange(r[kRegStabiliseMinutes], 0, 59) &&
        InRange(r[kRegStepHumidity], 0, kMaxHumidity) && InRange(r[kRegStepCount], 1, kMaxSteps) &&
        InRange(r[kRegCyclesHundreds], 0, 9) && InRange(r[kRegCyclesTens], 0, 9) &&
        InRange(r[kRegCyclesUnits], 0, 9) &&
        InRange(r[kRegStepSign], kStepSignNegative, kStepSignPositive) &&
        InRange(r[kRegReachHours], 0, kMaxHours) && InRange(r[kRegReachMinutes], 0, 59);
    if (!valid)
        return kIllegalDataValue;
    const int temperature =
        r[kRegStepSign] == kStepSignNegative ? -r[kRegStepTemperature] : r[kRegStepTemperature];
    const int cycles = r[kRegCyclesHundreds] * 100 + r[kRegCyclesTens] * 10 + r[kRegCyclesUnits];
    if (temperature < kMinTemperature || cycles < 1 || r[kRegStep] > r[kRegStepCount])
        return kIllegalDataValue;

    Program& p = programs_[r[kRegProgram] - 1];
    p.stepCount = r[kRegStepCount];
    p.cycles = cycles;
    ProgramStep& s = p.steps[r[kRegStep] - 1];
    s.defined = true;
    s.temperature = temperature;
    s.humidity = r[kRegStepHumidity];
    s.stabiliseHours = r[kRegStabiliseHours];
    s.stabiliseMinutes = r[kRegStabiliseMinutes];
    s.reachHours = r[kRegReachHours];
    s.reachMinutes = r[kRegReachMinutes];
    return 0;
}

uint8_t ChamberModel::WriteSetPoints(const std::vector<uint16_t>& r)
{
    if (!InRange(r[0], 0, kMaxTemperature) || !InRange(r[1], 0, kMaxHumidity) ||
        !InRange(r[2], kManualSignPositive, kManualSignNegative))
        return kIllegalDataValue;
    const int temperature = r[2] == kManualSignNegative ? -r[0] : r[0];
    if (temperature < kMinTemperature)
        return kIllegalDataValue;
    manualTemperature_ = temperature;
    manualHumidity_ = r[1];
    return 0;
}

uint8_t ChamberModel::StartProgram(int slot)
{
    if (slot < 1 || slot > kProgramSlots || !programs_[slot - 1].Runnable())
        return kIllegalDataValue;
    mode_ = Mode::Program;
    program_ = slot;
    // The run keeps this copy: rewriting the slot meanwhile changes the next
    // start, not the steps and cycles of this one.
    running_ = programs_[slot - 1];
    step_ = 1;
    cycle_ = 1;
    phase_ = Phase::Reach;
    phaseElapsed_ = 0;
    reachTook_ = 0;
    AdvancePhase(0);  // a step whose regime is already reached moves on at once
    return 0;
}

void ChamberModel::Integrate(double dt)
{
    const bool driven = mode_ != Mode::Stopped;
    const double targetT = driven ? TargetTemperature() : physics_.ambientTemperature;
    const double targetH = driven ? TargetHumidity() : physics_.ambientHumidity;
    const double tau = driven ? physics_.timeConstant : physics_.idleTimeConstant;
    // While a step reaches its regime, the set point is due when its reach time ends.
    const double left =
        mode_ == Mode::Program && phase_ == Phase::Reach ? RunningStep().ReachSeconds() - phaseElapsed_ : 0;
    temperature_ = Drive(temperature_, targetT, dt, tau,
                         driven ? physics_.temperatureRate : physics_.idleTemperatureRate, left);
    humidity_ = Drive(humidity_, targetH, dt, tau, driven ? physics_.humidityRate : physics_.idleHumidityRate,
                      left);
}

void ChamberModel::NextStep()
{
    const Program& p = running_;
    ++step_;
    if (step_ > p.stepCount) {
        step_ = 1;
        ++cycle_;
    }
    if (cycle_ > p.cycles) {
        mode_ = Mode::Stopped;
        program_ = step_ = cycle_ = 0;
    }
    phase_ = Phase::Reach;
    phaseElapsed_ = 0;
    reachTook_ = 0;
}

void ChamberModel::AdvancePhase(double dt)
{
    phaseElapsed_ += dt;
    // Zero-length phases pass without simulated time; every pass either
    // returns or moves on a step, and a program has finitely many.
    while (mode_ == Mode::Program) {
        const ProgramStep& s = RunningStep();
        if (phase_ == Phase::Reach) {
            const bool reached =
                std::abs(temperature_ - s.temperature) <= physics_.temperatureTolerance &&
                std::abs(humidity_ - s.humidity) <= physics_.humidityTolerance;
            if (!reached && phaseElapsed_ < s.ReachSeconds() - kEpsilon)
                return;
            reachTook_ = phaseElapsed_;
            phase_ = Phase::Stabilise;
            phaseElapsed_ = 0;
            continue;
        }
        if (phaseElapsed_ < s.StabiliseSeconds() - kEpsilon)
            return;
        NextStep();
    }
}

void ChamberModel::Step(double simulatedSeconds)
{
    double remaining = simulatedSeconds;
    while (remaining > kEpsilon) {
        double dt = std::min(remaining, 1.0);
        if (mode_ == Mode::Program) {
            // Land exactly on a phase boundary so a step lasts what it says.
            const ProgramStep& s = RunningStep();
            const double length = phase_ == Phase::Reach ? s.ReachSeconds() : s.StabiliseSeconds();
            const double left = length - phaseElapsed_;
            if (left > kEpsilon)
                dt = std::min(dt, left);
        }
        Integrate(dt);
        if (mode_ == Mode::Program)
            AdvancePhase(dt);
        remaining -= dt;
    }
}

}  // namespace sim
