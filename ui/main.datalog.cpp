// "Запись в файл": a new file per tick of the box, its header five seconds
// later, then LogLine once a minute while the box stays ticked.
#include <QDateTime>
#include <cmath>

#include "monitoring/DataLog.h"
#include "monitoring/HandlerErrors.h"
#include "monitoring/LocaleText.h"
#include "monitoring/LogReader.h"
#include "monitoring/Monitoring.h"
#include "ui/AlarmCenter.h"
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
    LogFileName = NewLogFileName(LogFolder(), LocalNow(), ChamberAddress, LogWriter::MainWindow);
}

void TForm1::WriteLogHeader()
{
    m_log.SetFileName(LogFileName);
    QString error;
    if (!m_log.WriteHeader(&error))
        throw EInOutError(error.toStdString());
}

void TForm1::Timer6Timer()
{
    Timer6->stop();  // once per tick of the box
    LogLine = LogHeaderText();
    LogLineAnswered = false;
    WriteLogHeader();
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
    m_log.SetFileName(LogFileName);
    m_log.Take(LogLine);
    // The minute's record into the endpoint's 30-day mean kinetic temperature.
    LogRecord minute;
    qint64 timeOfDay = 0;
    if (AlarmCenter && ParseRecordLine(m_log.Record(), &minute, &timeOfDay) && !std::isnan(minute.currentTemp))
        AlarmCenter->Board().TakePolledMinuteTemperature(QDateTime::currentMSecsSinceEpoch(), minute.currentTemp);
    QString error;
    const bool written = m_log.Minute(LocalNow(), &error);
    // Written: the next record needs a new answer. A failed write keeps it
    // for the next minute, as a measurement with its own time of day.
    LogLineAnswered = !m_log.Record().isEmpty();
    if (!written)
        throw EInOutError(error.toStdString());
}
