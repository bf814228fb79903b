// A data log per watched chamber, written as the main window writes its own:
// the same name with the chamber's address, header, code page and cadence.
#include "monitoring/DataLog.h"
#include "monitoring/HandlerErrors.h"
#include "monitoring/LocaleText.h"
#include "ui/OverviewWindow.h"

void TOverviewWindow::CheckLogAllClick()
{
    const bool on = CheckLogAll->isChecked();
    for (auto it = m_tiles.cbegin(); it != m_tiles.cend(); ++it) {
        if (it.value()->Log->isChecked() == on)
            continue;
        it.value()->Log->setChecked(on);
        SetChamberLog(it.key(), on);
    }
}

void TOverviewWindow::SetChamberLog(int address, bool on)
{
    ChamberLogState& log = m_logs[address];
    if (!on) {
        log.on = false;
        return;
    }
    // As ticking "Запись в файл": a new file, its header five seconds later.
    const std::tm now = LocalNow();
    log.on = true;
    log.headerWritten = false;
    const QString name = MakeLogFileName(LogFolder(), ShortDateText(now), LongTimeText(now));
    log.fileName = FillAddressPlaceholder(ClaimLogFileName(name, address, LogWriter::Overview), address);
    if (!m_headerTimer.isActive())
        m_headerTimer.start();
}

void TOverviewWindow::WriteDueHeaders()
{
    for (auto it = m_logs.begin(); it != m_logs.end(); ++it) {
        ChamberLogState& log = it.value();
        if (!log.on || log.headerWritten)
            continue;
        log.headerWritten = true;
        try {
            CreateLogFile(log.fileName);
            WriteLogText(LogHeaderText());
            CloseLogFile();
        } catch (const EHandlerError& e) {
            ReleaseLogFile();
            log.on = false;
            LabelMessage->setText(
                QStringLiteral("Камера №%1: журнал не создан: %2").arg(it.key()).arg(QString::fromStdString(e.text)));
            if (TChamberTile* tile = m_tiles.value(it.key()))
                tile->Log->setChecked(false);
        }
    }
    if (!m_logTimer.isActive())
        m_logTimer.start();
}

void TOverviewWindow::AppendChamberLogLines()
{
    // Every file is tried, and the first failure is shown afterwards: one
    // chamber's full disk or removed file must not stop the others' logs.
    QString failure;
    for (auto it = m_logs.begin(); it != m_logs.end(); ++it) {
        ChamberLogState& log = it.value();
        WatchedChamber* chamber = m_chambers.contains(it.key()) ? &m_chambers[it.key()] : nullptr;
        if (!log.on || !log.headerWritten || !chamber)
            continue;
        // A minute without an answer is a missing line, not a repeated one.
        if (!chamber->answeredSinceLogLine || log.recordLine.isEmpty())
            continue;
        try {
            OpenLogFileForAppend(log.fileName);
            WriteLogText(log.recordLine);
            FlushLogFile();
            CloseLogFile();
            // Written: the next record needs a new answer. A failed write
            // keeps this one, with its own time of day, for the next minute.
            chamber->answeredSinceLogLine = false;
        } catch (const EHandlerError& e) {
            ReleaseLogFile();
            if (failure.isEmpty())
                failure = QStringLiteral("Камера №%1: %2").arg(it.key()).arg(QString::fromStdString(e.text));
        }
    }
    if (!failure.isEmpty())
        LabelMessage->setText(failure);
}
