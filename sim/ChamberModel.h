// One simulated climatic chamber: its control registers, its programs and a
// simple thermal/humidity model. Pure state, no I/O and no threads, so it can
// be driven by a fake clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

constexpr int kProgramSlots = 15;
constexpr int kMaxSteps = 15;
constexpr int kStatusWords = 17;
constexpr int kControlRegisters = 0x13;  // 0x0000..0x0012

// Modbus exception codes the controller answers with.
constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalDataAddress = 0x02;
constexpr uint8_t kIllegalDataValue = 0x03;
constexpr uint8_t kDeviceFailure = 0x04;

// Limits of the chamber hardware: what a controller accepts in a write.
constexpr int kMinTemperature = -85;
constexpr int kMaxTemperature = 180;
constexpr int kMaxHumidity = 98;
constexpr int kMaxHours = 99;
constexpr int kMaxCycles = 999;

struct ProgramStep {
    bool defined = false;
    int temperature = 0;  // whole °C, signed
    int humidity = 0;     // whole %
    int stabiliseHours = 0;
    int stabiliseMinutes = 0;
    int reachHours = 0;
    int reachMinutes = 0;

    int StabiliseSeconds() const { return (stabiliseHours * 60 + stabiliseMinutes) * 60; }
    int ReachSeconds() const { return (reachHours * 60 + reachMinutes) * 60; }
    bool operator==(const ProgramStep& o) const;
};

struct Program {
    int stepCount = 0;  // N of the latest step frame; 0 = slot never written
    int cycles = 0;
    std::array<ProgramStep, kMaxSteps> steps{};  // index 0 = step 1

    // Startable: steps 1..N all written.
    bool Runnable() const;
};

enum class Mode { Stopped, Manual, Program };
enum class Phase { Reach, Stabilise };  // meaningful in program mode only

// How the chamber moves its climate. Defaults: a couple of °C per minute
// when driven, a slow drift toward the room when stopped. A program step
// ramps faster where its reach time asks for it.
struct Physics {
    double ambientTemperature = 22.0;
    double ambientHumidity = 45.0;
    double timeConstant = 60.0;          // s, first-order approach when driven
    double temperatureRate = 2.0 / 60;   // °C/s limit when driven
    double humidityRate = 5.0 / 60;      // %/s limit when driven
    double idleTimeConstant = 600.0;     // s, drift when stopped
    double idleTemperatureRate = 0.5 / 60;
    double idleHumidityRate = 1.0 / 60;
    double temperatureTolerance = 0.5;   // "regime reached" within these
    double humidityTolerance = 1.0;
};

class ChamberModel {
public:
    ChamberModel();

    // Simulated time passes. Large steps are integrated in pieces of at most
    // one simulated second, so Step(3600) equals 3600 × Step(1).
    void Step(double simulatedSeconds);
    // Real time passes: advances by realSeconds × speed.
    void Advance(double realSeconds) { Step(realSeconds * speed_); }
    void SetSpeed(double simulatedPerReal) { speed_ = simulatedPerReal < 0 ? 0 : simulatedPerReal; }
    double Speed() const { return speed_; }

    // Function 0x10 on registers first..first+values.size()-1. Returns 0 when
    // accepted, otherwise the exception code; a rejected write changes nothing.
    uint8_t WriteRegisters(uint16_t first, const std::vector<uint16_t>& values);

    // The seventeen status words as the controller reports them (pinned
    // words replace the computed ones).
    std::array<uint16_t, kStatusWords> StatusWords() const;
    // Forces a status word to a fixed value until unpinned, whatever the
    // model does; for exercising a decoder with exact words.
    void PinStatusWord(int word, uint16_t value);
    void UnpinStatusWord(int word);
    void UnpinAllStatusWords();

    // Signed tenths as the controller encodes them: negative t as 65536 − |t|.
    static uint16_t EncodeTenths(double value);

    // Direct access for tests and the command line.
    double Temperature() const { return temperature_; }
    double Humidity() const { return humidity_; }
    void SetTemperature(double celsius) { temperature_ = celsius; }
    void SetHumidity(double percent) { humidity_ = percent; }
    const Physics& GetPhysics() const { return physics_; }
    void SetPhysics(const Physics& physics) { physics_ = physics; }

    Mode GetMode() const { return mode_; }
    Phase GetPhase() const { return phase_; }
    int CurrentProgram() const { return mode_ == Mode::Program ? program_ : 0; }
    int CurrentStep() const { return mode_ == Mode::Program ? step_ : 0; }
    int CurrentCycle() const { return mode_ == Mode::Program ? cycle_ : 0; }
    double PhaseElapsed() const { return phaseElapsed_; }
    double TargetTemperature() const;
    double TargetHumidity() const;
    int ManualTemperature() const { return manualTemperature_; }
    int ManualHumidity() const { return manualHumidity_; }
    const Program& GetProgram(int slot) const;  // slot 1..15
    uint16_t ControlRegister(int index) const;  // last accepted value, 0..0x12

private:
    uint8_t WriteStep(const std::vector<uint16_t>& r);
    uint8_t WriteSetPoints(const std::vector<uint16_t>& r);
    uint8_t StartProgram(int slot);
    void Integrate(double dt);
    void AdvancePhase(double dt);
    void NextStep();
    const ProgramStep& RunningStep() const;

    double speed_ = 1.0;
    Physics physics_;
    double temperature_;
    double humidity_;

    std::array<uint16_t, kControlRegisters> registers_{};
    std::array<Program, kProgramSlots> programs_{};
    int manualTemperature_ = 0;
    int manualHumidity_ = 0;

    Mode mode_ = Mode::Stopped;
    int program_ = 0;
    Program running_;  // the slot's table as it was at the start
    int step_ = 0;
    int cycle_ = 0;
    Phase phase_ = Phase::Reach;
    double phaseElapsed_ = 0;
    double reachTook_ = 0;  // shown while stabilising

    std::array<std::optional<uint16_t>, kStatusWords> pinned_{};
};

}  // namespace sim
