// "Запись в файл": a new file per tick of the box, its header five seconds
// later, then LogLine once a minute while the box stays ticked.
#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "ui/JournalWindow.h"
#include "ui/main.h"

void TForm1::CheckBox1Click()
{
    // Unticking stops nothing here: AppendLogLine tests the box, and a
    // pending header is still written.
    if (!CheckBox1->isChecked()) {
        try {
            RecordAction(JournalAction::LoggingOff, JournalChamber(ChamberAddress), LogFileName, QString(),
                         JournalOutcomeDone());
        } catch (...) {
            // Refused: logging goes on as it did.
            CheckBox1->setChecked(true);
            throw;
        }
        return;
    }
    const QString before = LogFileName;
    StartLogFileName();
    try {
        // The name as the next poll completes it, with the chamber's address.
        RecordAction(JournalAction::LoggingOn, JournalChamber(ChamberAddress), QString(),
                     FillAddressPlaceholder(LogFileName, ChamberAddress), JournalOutcomeDone());
    } catch (...) {
        LogFileName = before;
        CheckBox1->setChecked(false);
        throw;
    }
    EnableTimer(Timer6);
}

void TForm1::StartLogFileName()
{
    // One reading of the clock, so the date and the time belong together.
    const std::tm now = LocalNow();
    LogFileName = ClaimLogFileName(MakeLogFileName(LogFolder(), ShortDateText(now), LongTimeText(now)), ChamberAddress,
                                   LogWriter::MainWindow);
}

void TForm1::Timer6Timer()
{
    Timer6->stop();  // once per tick of the box
    LogLine = LogHeaderText();
    LogLineAnswered = false;
    CreateLogFile(LogFileName);
    WriteLogText(LogLine);
    CloseLogFile();
    EnableTimer(Timer4);
}

void TForm1::Timer4Timer() { AppendLogLine(); }

void TForm1::AppendLogLine()
{
    if (!CheckBox1->isChecked())
        return;
    // Nothing was measured since the line before: the minute stays empty
    // rather than repeating old values under a new minute.
    if (!LogLineAnswered)
        return;
    OpenLogFileForAppend(LogFileName);
    WriteLogText(LogLine);
    FlushLogFile();
    CloseLogFile();
    // Written: the next record needs a new answer. A failed write keeps it
    // for the next minute, as a measurement with its own time of day.
    LogLineAnswered = false;
}
