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
#include "ui/Unit5.h"
#include "ui/JournalWindow.h"
#include "ui/main.h"

void TForm1::ReadStatus()
{
    const int selected = SelectedEntryIndex(*ListBox1);
    if (selected >= 0)
        ChamberAddress = AddressFromEntry(ListBox1->item(selected)->text());
    // Another chamber chosen since the box was ticked: its name is claimed anew.
    if (HoldsAddressPlaceholder(LogFileName))
        LogFileName = FillAddressPlaceholder(ClaimLogFileName(LogFileName, ChamberAddress, LogWriter::MainWindow),
                                             ChamberAddress);

    const StatusExchange exchange = RunStatusExchange(ChamberAddress);
    const bool found = exchange.found;
    const StatusReply& reply = exchange.reply;
    if (reply.decoded)
        ShowStatus(reply);
    RecordTrend(reply);

    // An unanswered poll measured nothing: it does not replace the record of
    // an answered one still waiting for its minute, and the log writes only
    // records of answered polls, so a silence shows as missing minutes.
    if (found || !LogLineAnswered)
        LogLine = RecordLine(LongTimeText(LocalNow()), CurrentTempText, CurrentHumidityText, ProgramText, StepText,
                             CycleText);
    if (found)
        LogLineAnswered = true;
    CheckBox1->setEnabled(true);
    ActivityIndicator1->SetAnimate(false);
    ActivityIndicator2->SetAnimate(false);
    ActivityIndicator3->SetAnimate(false);
    EnableTimer(Timer4);

    // The operator learns of a silent line; it goes away with the next reply.
    if (Form5) {
        if (found)
            Form5->hide();
        else
            Form5->show();
    }
    AlarmsAfterPoll(found, reply, Form5 ? Form5->isVisible() : !found);
    ReservePollTick();
}

void TForm1::ReservePollTick()
{
    // The overview keeps off the line when the next poll falls due.
    if (Timer1->isActive())
        ReserveLine(LineReservation::Poll, LineClock::now() + std::chrono::milliseconds(Timer1->remainingTime()));
    else
        ClearLineReservation(LineReservation::Poll);
}

void TForm1::ShowStatus(const StatusReply& reply)
{
    StatusView view;
    view.currentTempText = CurrentTempText;
    view.setTempText = SetTempText;
    view.currentHumidityText = CurrentHumidityText;
    view.setHumidityText = SetHumidityText;
    view.programText = ProgramText;
    view.stepText = StepText;
    view.cycleText = CycleText;
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
        ClearLineReservation(LineReservation::Poll);
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
        EnableTimer(Timer1);
        ReservePollTick();
        ReadingActive = 1;
        // An adapter already pulled out is waited for from now on.
        TimerPortTimer();
        Button6->setText(QStringLiteral("Останов чтения"));
    }
}

void TForm1::Timer1Timer() { ReadStatus(); }
