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
// record that cannot be written ends the handler and nothing is sent.
void RecordCommand(JournalAction action, const QString& oldValue, const QString& newValue)
{
    RecordAction(action, JournalChamber(Target()), oldValue, newValue,
                 PortHandle != kNoPort ? JournalOutcomeSent() : JournalOutcomeNoPort());
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
    RecordCommand(JournalAction::ProgramWrite, QString(), ProgramJournalText(ProgramNumber(), texts));
    SendFrames(BuildProgramFrames(Target(), ProgramNumber(), texts));
}

void TForm3::Button4Click()
{
    const QString temperature = Edit3->text();
    const QString humidity = Edit4->text();
    if (!CheckSetPoints(temperature, humidity)) {
        RaiseErrorWindow(this);
        return;
    }
    RecordCommand(JournalAction::SetPointWrite, PolledSetPoints(),
                  SetPointJournalText(StrToInt(temperature), StrToInt(humidity)));
    SendFrame(BuildSetPointFrame(Target(), StrToInt(temperature), StrToInt(humidity)));
}

void TForm3::Button2Click()
{
    RecordCommand(JournalAction::Start, QString(), QStringLiteral("ручной"));
    SendFrame(BuildRunFrame(Target(), kRegManualRun, kRunStart));
}

void TForm3::Button3Click()
{
    RecordCommand(JournalAction::Stop, QString(), QStringLiteral("ручной"));
    SendFrame(BuildRunFrame(Target(), kRegManualRun, kRunStop));
}

void TForm3::Button5Click()
{
    const int program = StartProgramNumber();
    if (program == 0)
        return;
    RecordCommand(JournalAction::Start, QString(), QStringLiteral("программа %1").arg(program));
    SendFrame(BuildProgramStartFrame(Target(), program));
}

void TForm3::Button6Click()
{
    RecordCommand(JournalAction::Stop, QString(), PolledProgram());
    SendFrame(BuildRunFrame(Target(), kRegProgramRun, kRunStop));
}
