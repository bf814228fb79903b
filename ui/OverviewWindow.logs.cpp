// A data log per watched chamber, written as the main window writes its own:
// the same name with the chamber's address, header, code page and cadence.
#include "monitoring/ChamberLog.h"
#include "monitoring/LocaleText.h"
#include "ui/OverviewWindow.h"
#include "services/JournalRecorder.h"

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

void TOverviewWindow::SetChamberLog(int address, bool on, bool byOperator)
{
    // Journalled as the main window's "Запись в файл" is: the file it ends or begins.
    auto record = [&](JournalAction action, const QString& before, const QString& after) {
        if (byOperator)
            RecordAction(action, JournalChamber(address), before, after, JournalOutcomeDone());
        else
            RecordFollowingAction(action, JournalChamber(address), before, after, JournalOutcomeDone());
    };
    if (!on) {
        const auto had = m_logs.find(address);
        if (had == m_logs.end())
            return;
        record(JournalAction::LoggingOff, had->second.FileName(), QString());
        m_logs.erase(had);
        return;
    }
    // As ticking "Запись в файл": a new file, its header five seconds later.
    ChamberLog log(LogWriter::Overview, address);
    log.SetFileName(
        FillAddressPlaceholder(NewLogFileName(LogFolder(), LocalNow(), address, LogWriter::Overview), address));
    record(JournalAction::LoggingOn, QString(), log.FileName());
    m_logs.insert_or_assign(address, std::move(log));
    if (!m_headerTimer.isActive())
        m_headerTimer.start();
}

void TOverviewWindow::WriteDueHeaders()
{
    for (auto it = m_logs.begin(); it != m_logs.end();) {
        QString error;
        if (it->second.HeaderWritten() || it->second.WriteHeader(&error)) {
            ++it;
            continue;
        }
        // Not created: the tile's log is off, as if the operator unticked it.
        const int address = it->first;
        RecordFollowingAction(JournalAction::LoggingOff, JournalChamber(address), it->second.FileName(),
                              QStringLiteral("журнал не создан: %1").arg(error), JournalOutcomeDone());
        it = m_logs.erase(it);
        LabelMessage->setText(QStringLiteral("Камера №%1: журнал не создан: %2").arg(address).arg(error));
        if (TChamberTile* tile = m_tiles.value(address))
            tile->Log->setChecked(false);
    }
    if (!m_logTimer.isActive())
        m_logTimer.start();
}

void TOverviewWindow::AppendChamberLogLines()
{
    // Every file is tried, and the first failure is shown afterwards: one
    // chamber's full disk or removed file must not stop the others' logs.
    const std::tm now = LocalNow();
    QString failure;
    for (auto& [address, log] : m_logs) {
        // A log whose header is still to come takes no record yet.
        if (!log.HeaderWritten())
            continue;
        QString error;
        if (!log.Minute(now, &error) && failure.isEmpty())
            failure = QStringLiteral("Камера №%1: %2").arg(address).arg(error);
    }
    if (!failure.isEmpty())
        LabelMessage->setText(failure);
}
