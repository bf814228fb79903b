// "Отчёт PDF…": the report of the log shown, for the range in view or for a
// program run found in the log.
#include <QApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QDateTimeAxis>

#include "monitoring/TestReport.h"
#include "ui/AlarmCenter.h"
#include "ui/ChartWindow.h"
#include "ui/ErrorDisplay.h"
#include "ui/SignatureDialog.h"
#include "report/ReportPdf.h"

namespace {

QString Moment(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM.yyyy HH:mm")); }

// The condition and delay typed in the dialogs; false with the reason.
bool StabilityInput(const QString& conditionText, double delayMinutes, StabilityCondition* condition, qint64* delayMs,
                    QString* error)
{
    if (!ParseStabilityCondition(conditionText, condition, error))
        return false;
    return ParseDelayMinutes(QString::number(delayMinutes, 'f', 1), delayMs, error);
}

}  // namespace

QStringList TChartWindow::ReportChoices(QString* message)
{
    m_reportRuns.clear();
    if (!m_showingLog)
        return {};
    const qint64 from = m_axisTime->min().toMSecsSinceEpoch();
    const qint64 to = m_axisTime->max().toMSecsSinceEpoch();
    QStringList choices{QStringLiteral("Интервал на экране: %1 — %2").arg(Moment(from), Moment(to))};
    // Read again: the log may have grown since it was opened.
    LogContents contents;
    if (!ReadLogFile(m_logPath, &contents, message))
        return choices;
    for (const ProgramRun& run : ProgramRuns(contents.records)) {
        const RunChoice c{contents.records[run.first].time, contents.records[run.last].time, run.program};
        m_reportRuns.append(c);
        choices << QStringLiteral("Прогон программы %1: %2 — %3%4")
                       .arg(run.program >= 0 ? QString::number(run.program) : QStringLiteral("?"), Moment(c.from),
                            Moment(c.to), run.finished ? QString() : QStringLiteral(" (не завершён в журнале)"));
    }
    choices << QStringLiteral("Условия хранения (стабильность), интервал на экране: %1 — %2").arg(Moment(from), Moment(to));
    return choices;
}

bool TChartWindow::WriteReport(int choice, const QString& path, QString* message)
{
    ReportRequest request;
    request.logPath = m_logPath;
    request.outPath = path;
    if (choice <= 0) {
        request.fromMs = m_axisTime->min().toMSecsSinceEpoch();
        request.toMs = m_axisTime->max().toMSecsSinceEpoch();
        request.what = QStringLiteral("интервал на экране");
    } else if (choice - 1 < m_reportRuns.size()) {
        const RunChoice& run = m_reportRuns[choice - 1];
        request.fromMs = run.from;
        request.toMs = run.to;
        request.what = QStringLiteral("прогон программы %1").arg(run.program);
        request.programRun = true;
    } else {
        *message = QStringLiteral("Нет такого прогона");
        return false;
    }
    const AlarmSettings alarms = LoadAlarmSettings();
    request.temperatureBand = alarms.temperatureBand;
    request.humidityBand = alarms.humidityBand;
    QString error;
    ReportOutcome outcome;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = WriteReportPdf(request, &error, &outcome);
    QApplication::restoreOverrideCursor();
    if (!ok) {
        *message = QStringLiteral("Отчёт не записан: %1").arg(error);
        return false;
    }
    *message = QStringLiteral("%1: отчёт № %2, страниц %3").arg(QFileInfo(path).fileName(), outcome.number).arg(outcome.pages);
    m_lastReport.request = request;
    m_lastReport.number = outcome.number;
    m_lastReport.sha256 = outcome.sha256;
    ButtonSign->setEnabled(true);
    // The file as written is what the journal knows by its hash.
    Guarded([&] { JournalReportWritten(m_lastReport, 0); });
    return true;
}

bool TChartWindow::WriteStabilityReport(const QString& path, const StabilityCondition& condition, qint64 delayMs,
                                       QString* message)
{
    StabilityReportRequest request;
    request.report.logPath = m_logPath;
    request.report.outPath = path;
    request.report.fromMs = m_axisTime->min().toMSecsSinceEpoch();
    request.report.toMs = m_axisTime->max().toMSecsSinceEpoch();
    request.report.what = QStringLiteral("интервал на экране");
    request.condition = condition;
    request.delayMs = delayMs;
    QString error;
    ReportOutcome outcome;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = ::WriteStabilityReport(request, &error, &outcome);
    QApplication::restoreOverrideCursor();
    if (!ok) {
        *message = QStringLiteral("Отчёт не записан: %1").arg(error);
        return false;
    }
    *message = QStringLiteral("%1: отчёт № %2, страниц %3").arg(QFileInfo(path).fileName(), outcome.number).arg(outcome.pages);
    // Signing writes a test report again: not offered for this one.
    const WrittenReport written{request.report, outcome.number, outcome.sha256};
    m_lastReport = WrittenReport();
    ButtonSign->setEnabled(false);
    Guarded([&] { JournalReportWritten(written, 0); });
    return true;
}

bool TChartWindow::SignLastReportAs(const QString& login, SignatureMeaning meaning, const QString& password,
                                    QString* message)
{
    if (m_lastReport.number.isEmpty()) {
        *message = QStringLiteral("Нет записанного отчёта");
        return false;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = SignReport(DesktopSigner(), login, &m_lastReport, meaning, password, message);
    QApplication::restoreOverrideCursor();
    LabelStatus->setText(*message);
    return ok;
}

bool TChartWindow::SignLastReport()
{
    if (m_lastReport.number.isEmpty())
        return false;
    const QString login = CurrentLogin();
    TSignatureDialog dialog(login, FullNameOf(login), ReportSubject(m_lastReport.number), m_lastReport.sha256, this);
    // A refusal keeps the dialog open with the reason; Cancel leaves it.
    while (dialog.exec() == QDialog::Accepted) {
        QString message;
        if (SignLastReportAs(login, dialog.Meaning(), dialog.Password(), &message))
            return true;
        dialog.ShowRefusal(message);
    }
    return false;
}

void TChartWindow::ReportClicked()
{
    QString message;
    const QStringList choices = ReportChoices(&message);
    if (choices.isEmpty())
        return;
    bool ok = false;
    const QString picked = QInputDialog::getItem(this, QStringLiteral("Отчёт PDF"), QStringLiteral("Что войдёт в отчёт:"),
                                                 choices, 0, false, &ok);
    if (!ok)
        return;
    const int choice = static_cast<int>(choices.indexOf(picked));
    StabilityCondition condition;
    qint64 delayMs = 0;
    if (IsStabilityChoice(choice)) {
        const QString text = QInputDialog::getText(this, QStringLiteral("Условия хранения"),
                                                   QStringLiteral("Условие (25/60, 30/65, 30/75, 40/75, 5 или T±dT/RH±dRH):"),
                                                   QLineEdit::Normal, QStringLiteral("25/60"), &ok);
        if (!ok)
            return;
        const double minutes = QInputDialog::getDouble(this, QStringLiteral("Условия хранения"),
                                                       QStringLiteral("Задержка, мин (короче — открытие двери):"),
                                                       LoadAlarmSettings().temperatureDelay / 60.0, 0, 24 * 60, 1, &ok);
        if (!ok)
            return;
        if (!StabilityInput(text, minutes, &condition, &delayMs, &message)) {
            LabelStatus->setText(QStringLiteral("Отчёт не записан: %1").arg(message));
            return;
        }
    }
    const QString suggested = QFileInfo(m_logPath).completeBaseName() +
                              (IsStabilityChoice(choice) ? QStringLiteral(" условия хранения.pdf") : QStringLiteral(" отчёт.pdf"));
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Отчёт PDF"), suggested, QStringLiteral("PDF (*.pdf)"));
    if (path.isEmpty())
        return;
    if (IsStabilityChoice(choice))
        WriteStabilityReport(path, condition, delayMs, &message);
    else
        WriteReport(choice, path, &message);
    LabelStatus->setText(message);
}
