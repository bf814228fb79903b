// The six buttons of the control window.
#include "control/Commands.h"
#include "control/Convert.h"
#include "ui/Unit3.h"
#include "monitoring/Monitoring.h"
#include "ui/Unit4.h"
#include "ui/JournalWindow.h"

namespace {
// The chamber of the latest status poll; 0 before the first one.
uint8_t Target() { return static_cast<uint8_t>(ChamberAddress & 0xFF); }

// The journal's record of a command, flushed before its first frame; a
// record that cannot be written ends the handler and nothing is sent. True
// when the command goes to an open port, whose answer is then recorded too.
bool RecordCommand(JournalAction action, const QString& oldValue, const QString& newValue)
{
    const bool portOpen = PortHandle != kNoPort;
    RecordAction(action, JournalChamber(Target()), oldValue, newValue,
                 portOpen ? JournalOutcomeSent() : JournalOutcomeNoPort());
    return portOpen;
}

// The chamber's answer, recorded after the frames as a record of its own
// with the same action and values: the record before them is written
// before anything leaves, and a journal record is never changed afterwards.
void RecordAnswer(bool recorded, JournalAction action, const QString& oldValue, const QString& newValue,
                  const QString& answer)
{
    if (recorded)
        RecordAction(action, JournalChamber(Target()), oldValue, newValue, answer);
}

// The set points the last poll showed, "" before any.
QString PolledSetPoints()
{
    if (SetTempText.isEmpty() && SetHumidityText.isEmpty())
        return {};
    return QStringLiteral("%1 °C, %2 %").arg(SetTempText, SetHumidityText);
}

// The program the last poll showed, for a stop in program mode.
QString PolledProgram()
{
    return ProgramText.isEmpty() ? QStringLiteral("программа") : QStringLiteral("программа %1").arg(ProgramText);
}
}  // namespace

void TForm3::Button1Click()
{
    const ProgramTexts texts = ReadProgramTexts();
    // A program needs its slot: with none chosen it would go to slot 0.
    if (!CheckProgramWrite(ProgramNumber(), texts)) {
        RaiseErrorWindow(this);
        return;
    }
    const QString program = ProgramJournalText(ProgramNumber(), texts);
    const bool recorded = RecordCommand(JournalAction::ProgramWrite, QString(), program);
    const std::vector<FrameAnswer> answers = SendFrames(BuildProgramFrames(Target(), ProgramNumber(), texts));
    const QString answer = ProgramAnswerText(answers);
    ShowAnswer(Button1, answer, AllConfirmed(answers));
    RecordAnswer(recorded, JournalAction::ProgramWrite, QString(), program, answer);
}

void TForm3::Button4Click()
{
    const QString temperature = Edit3->text();
    const QString humidity = Edit4->text();
    if (!CheckSetPoints(temperature, humidity)) {
        RaiseErrorWindow(this);
        return;
    }
    const QString oldValue = PolledSetPoints();
    const QString newValue = SetPointJournalText(StrToInt(temperature), StrToInt(humidity));
    const bool recorded = RecordCommand(JournalAction::SetPointWrite, oldValue, newValue);
    const FrameAnswer answer = SendFrame(BuildSetPointFrame(Target(), StrToInt(temperature), StrToInt(humidity)));
    ShowAnswer(Button4, FrameAnswerText(answer), answer.Confirmed());
    RecordAnswer(recorded, JournalAction::SetPointWrite, oldValue, newValue, FrameAnswerText(answer));
}

// A start or a stop: one frame, its answer shown and recorded, and a
// confirmation announced.
void TForm3::RunCommand(const QPushButton* button, JournalAction action, const QString& oldValue,
                        const QString& newValue, const uint8_t* frame, int length, ConfirmedCommand what)
{
    const bool recorded = RecordCommand(action, oldValue, newValue);
    const uint8_t address = Target();
    const FrameAnswer answer = SendFrame(frame, length);
    ShowAnswer(button, FrameAnswerText(answer), answer.Confirmed());
    if (answer.Confirmed())
        emit CommandConfirmed(address, what);
    RecordAnswer(recorded, action, oldValue, newValue, FrameAnswerText(answer));
}

void TForm3::Button2Click()
{
    const RunFrame frame = BuildRunFrame(Target(), kRegManualRun, kRunStart);
    RunCommand(Button2, JournalAction::Start, QString(), QStringLiteral("ручной"), frame.data(),
               static_cast<int>(frame.size()), ConfirmedCommand::ManualStart);
}

void TForm3::Button3Click()
{
    const RunFrame frame = BuildRunFrame(Target(), kRegManualRun, kRunStop);
    RunCommand(Button3, JournalAction::Stop, QString(), QStringLiteral("ручной"), frame.data(),
               static_cast<int>(frame.size()), ConfirmedCommand::Stop);
}

void TForm3::Button5Click()
{
    const int program = StartProgramNumber();
    if (program == 0)
        return;
    const ProgramStartFrame frame = BuildProgramStartFrame(Target(), program);
    RunCommand(Button5, JournalAction::Start, QString(), QStringLiteral("программа %1").arg(program), frame.data(),
               static_cast<int>(frame.size()), ConfirmedCommand::ProgramStart);
}

void TForm3::Button6Click()
{
    const RunFrame frame = BuildRunFrame(Target(), kRegProgramRun, kRunStop);
    RunCommand(Button6, JournalAction::Stop, QString(), PolledProgram(), frame.data(),
               static_cast<int>(frame.size()), ConfirmedCommand::Stop);
}
