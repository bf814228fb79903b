// The six buttons of the control window.
#include "control/Commands.h"
#include "control/Convert.h"
#include "ui/Unit3.h"
#include "monitoring/Monitoring.h"
#include "ui/Unit4.h"

namespace {
// The chamber of the latest status poll; 0 before the first one.
uint8_t Target() { return static_cast<uint8_t>(ChamberAddress & 0xFF); }
}  // namespace

void TForm3::Button1Click()
{
    const ProgramTexts texts = ReadProgramTexts();
    if (!CheckProgramTable(texts)) {
        RaiseErrorWindow(this);
        return;
    }
    // The program number is taken as chosen, 0 when none is.
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
    SendFrame(BuildSetPointFrame(Target(), StrToInt(temperature), StrToInt(humidity)));
}

void TForm3::Button2Click() { SendFrame(BuildRunFrame(Target(), kRegManualRun, kRunStart)); }

void TForm3::Button3Click() { SendFrame(BuildRunFrame(Target(), kRegManualRun, kRunStop)); }

void TForm3::Button5Click()
{
    const int program = StartProgramNumber();
    if (program == 0)
        return;
    SendFrame(BuildProgramStartFrame(Target(), program));
}

void TForm3::Button6Click() { SendFrame(BuildRunFrame(Target(), kRegProgramRun, kRunStop)); }
