#include "monitoring/Monitoring.h"

int ChamberAddress = 0;
QString LogLine;
bool LogLineAnswered = false;
QString LogFileName;
int ScanAddress = 0;
int ScanRunning = 0;
QString CurrentTempText;
QString SetTempText;
QString CurrentHumidityText;
QString SetHumidityText;
QString ProgramText;
QString StepText;
QString CycleText;

void ResetMonitoringState()
{
    ChamberAddress = 0;
    LogLine.clear();
    LogLineAnswered = false;
    LogFileName.clear();
    ScanAddress = 0;
    ScanRunning = 0;
    for (QString* text : {&CurrentTempText, &SetTempText, &CurrentHumidityText, &SetHumidityText, &ProgramText,
                          &StepText, &CycleText})
        text->clear();
}
