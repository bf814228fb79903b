// The status poll of the chosen chamber, periodic reading, and the value
// fields of the main window.
#include "link/PortUnit.h"
#include "monitoring/DataLog.h"
#include "monitoring/LineOwner.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "monitoring/StatusDecode.h"
#include "ui/AlarmCenter.h"
#include "ui/ChartWindow.h"
#include "ui/OverviewWindow.h"
#include "link/Waits.h"
#include "monitoring/ActionJournal.h"
#include "ui/Unit5.h"
#include "ui/JournalWindow.h"
#include "ui/main.h"

namespace {
qint64 MonotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(LineClock::now().time_since_epoch()).count();
}

// The texts of the last accepted values, as the poll left them.
StatusView ValueTexts()
{
    StatusView view;
    view.currentTempText = CurrentTempText;
    view.setTempText = SetTempText;
    view.currentHumidityText = CurrentHumidityText;
    view.setHumidityText = SetHumidityText;
    view.programText = ProgramText;
    view.stepText = StepText;
    view.cycleText = CycleText;
    return view;
}

}  // namespace

void TForm1::ReadStatus()
{
    const int selected = SelectedEntryIndex(*ListBox1);
    if (selected >= 0)
        ChamberAddress = AddressFromEntry(ListBox1->item(selected)->text());
    if (m_polledAddress >= 0 && ChamberAddress != m_polledAddress)
        FollowSelection(m_polledAddress);
    else if (m_polledAddress < 0 && FormChart)
        FormChart->StartLiveChamber(ChamberAddress);
    m_polledAddress = ChamberAddress;
    // Another chamber chosen since the box was ticked: its name is claimed anew.
    if (HoldsAddressPlaceholder(LogFileName))
        LogFileName = FillAddressPlaceholder(ClaimLogFileName(LogFileName, ChamberAddress, LogWriter::MainWindow),
                                             ChamberAddress);

    if (AttachedToRecorder()) {
        FollowRecorder();
        return;
    }
    if (OverviewReadsLine()) {
        // One timeout per read of this chamber among the others: a silent
        // one never holds the line for the poll's 20 attempts.
        DesktopLine().ClearExpectedExchange();
        if (FormOverview->Reader().Selected() != ChamberAddress)
            m_selectedAnsweredMs = MonotonicMs();
        FormOverview->Reader().SetSelected(ChamberAddress, kStatusPollPeriodMs);
        return;
    }
    if (FormOverview)
        FormOverview->Reader().ClearSelected();
    const StatusExchange exchange = RunStatusExchange(ChamberAddress);
    // Closing began during the poll: what it did not hear says nothing.
    if (WaitsAbandoned())
        return;
    ShowPollResult(exchange.found, exchange.reply, !exchange.found);
    ExpectPollTick();
}

bool TForm1::OverviewReadsLine() const { return FormOverview && FormOverview->Reader().Running(); }

void TForm1::TakeSelectedRead(const OverviewRead& read)
{
    // A read still on its way when reading stopped or another chamber was picked.
    if (ReadingActive != 1 || read.address != ChamberAddress)
        return;
    const qint64 now = MonotonicMs();
    if (read.answered)
        m_selectedAnsweredMs = now;
    const bool linkLost = !read.answered && now - m_selectedAnsweredMs >= ScaledMs(kStatusAttempts * kStatusWait);
    ShowPollResult(read.answered, read.reply, linkLost);
}

void TForm1::ShowPollResult(bool found, const StatusReply& reply, bool linkLost)
{
    if (reply.decoded)
        ShowStatus(reply);
    RecordTrend(reply);

    // An unanswered poll measured nothing: it does not replace the record of
    // an answered one still waiting for its minute, and the log writes only
    // records of answered polls, so a silence shows as missing minutes.
    if (found || !LogLineAnswered)
        LogLine = ChamberRecordLine(LocalNow(), ValueTexts());
    if (found)
        LogLineAnswered = true;
    CheckBox1->setEnabled(!AttachedToRecorder());
    ActivityIndicator1->SetAnimate(false);
    ActivityIndicator2->SetAnimate(false);
    ActivityIndicator3->SetAnimate(false);
    EnableTimer(Timer4);

    // The operator learns of a silent line; it goes away with the next reply.
    if (Form5) {
        if (found)
            Form5->hide();
        else if (linkLost)
            Form5->show();
    }
    AlarmsAfterPoll(found, reply);
}

void TForm1::FollowSelection(int previous)
{
    if (FormChart)
        FormChart->StartLiveChamber(ChamberAddress);
    // A change of chamber is the operator's; the log of each chamber holds
    // that chamber's values only. Watching goes on when the journal refuses.
    auto record = [](JournalAction action, int chamber, const QString& before, const QString& after) {
        try {
            RecordAction(action, JournalChamber(chamber), before, after, JournalOutcomeDone());
        } catch (const std::exception&) {
        }
    };
    record(JournalAction::ChamberSelect, ChamberAddress, ChamberEntryText(previous), ChamberEntryText(ChamberAddress));
    // A log whose header is still to come has no chamber yet: its name is
    // claimed anew below.
    if (!CheckBox1->isChecked() || LogFileName.isEmpty() || HoldsAddressPlaceholder(LogFileName))
        return;
    // The old chamber's last answer, if it is not in its file yet.
    AppendLogLine();
    record(JournalAction::LoggingOff, previous, LogFileName, QString());
    StartLogFileName();
    LogFileName = FillAddressPlaceholder(LogFileName, ChamberAddress);
    record(JournalAction::LoggingOn, ChamberAddress, QString(), LogFileName);
    LogLine = LogHeaderText();
    LogLineAnswered = false;
    WriteLogHeader();
}

void TForm1::ExpectPollTick()
{
    // The overview's reads keep off the line when the next poll falls due;
    // while they read the chamber itself, no poll comes.
    if (Timer1->isActive() && !OverviewReadsLine())
        DesktopLine().ExpectExchangeAt(LineClock::now() + std::chrono::milliseconds(Timer1->remainingTime()));
    else
        DesktopLine().ClearExpectedExchange();
}

void TForm1::ShowStatus(const StatusReply& reply)
{
    StatusView view = ValueTexts();
    for (int i = 0; i < kStatusFieldCount; ++i)
        view.*kStatusFields[i].view = m_fieldLabels[i]->text();

    ApplyStatus(view, reply, DecimalSeparator());

    CurrentTempText = view.currentTempText;
    SetTempText = view.setTempText;
    CurrentHumidityText = view.currentHumidityText;
    SetHumidityText = view.setHumidityText;
    ProgramText = view.programText;
    StepText = view.stepText;
    CycleText = view.cycleText;
    for (int i = 0; i < kStatusFieldCount; ++i)
        m_fieldLabels[i]->setText(view.*kStatusFields[i].view);
}

void TForm1::Button6Click()
{
    if (ReadingActive == 1) {
        RecordAction(JournalAction::ReadingOff, JournalChamber(ChamberAddress), QStringLiteral("включено"),
                     QStringLiteral("выключено"), JournalOutcomeDone());
        Timer1->stop();
        TimerRecorder->stop();
        DesktopLine().ClearExpectedExchange();
        if (FormOverview)
            FormOverview->Reader().ClearSelected();
        ReadingActive = 0;
        Button6->setText(QStringLiteral("Чтение текущих показаний"));
        ShowIdleTexts();
        // No poll runs any more to tell whether the line is broken.
        if (Form5)
            Form5->hide();
        AlarmsReadingStopped();
    } else {
        const int selected = SelectedEntryIndex(*ListBox1);
        const int address = selected >= 0 ? AddressFromEntry(ListBox1->item(selected)->text()) : ChamberAddress;
        RecordAction(JournalAction::ReadingOn, JournalChamber(address), QStringLiteral("выключено"),
                     QStringLiteral("включено"), JournalOutcomeDone());
        ReadStatus();
        EnableTimer(AttachedToRecorder() ? TimerRecorder : Timer1);
        ExpectPollTick();
        ReadingActive = 1;
        // An adapter already pulled out is waited for from now on.
        TimerPortTimer();
        Button6->setText(QStringLiteral("Останов чтения"));
    }
}

void TForm1::Timer1Timer() { ReadStatus(); }
