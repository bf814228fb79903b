// The main window attached to a line of the lab's recorder: the recorder
// owns the line and reads its chambers; the window asks it for those reads
// and shows the selected chamber's as its own poll would, without ever
// waiting on the line or the recorder.
#include <QFileInfo>
#include <QJsonArray>

#include "link/PortUnit.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/LineScheduler.h"
#include "monitoring/Monitoring.h"
#include "monitoring/PortMessages.h"
#include "monitoring/Presentation.h"
#include "monitoring/StatusDecode.h"
#include "ui/AlarmCenter.h"
#include "ui/ChartWindow.h"
#include "ui/ErrorDisplay.h"
#include "ui/JournalWindow.h"
#include "ui/OverviewWindow.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {
// A look for the recorder when the port list opens waits no longer than this.
constexpr int kFindRecorderMs = 400;
constexpr int kOtherLinesMs = 2000;

StatusReply DecodedFrame(const QByteArray& frame, int address)
{
    ReceiveBytes bytes{};
    const int n = std::min(static_cast<int>(bytes.size()), static_cast<int>(frame.size()));
    std::copy(frame.begin(), frame.begin() + n, bytes.begin());
    return DecodeStatus(bytes, address);
}

// A chamber's latest read as the recorder answered it, decoded by this
// program's own table.
OverviewRead ReadOf(const RecorderChamber& chamber, int selected)
{
    OverviewRead read;
    read.address = chamber.address;
    if (chamber.lastAnswered && !chamber.frame.isEmpty())
        read.reply = DecodedFrame(chamber.frame, chamber.address);
    read.answered = read.reply.decoded;
    read.outcome = read.answered ? WholeReply::Outcome::Answered : WholeReply::Outcome::Silent;
    read.selected = chamber.address == selected;
    return read;
}

QString AttachedCaption(const QString& line) { return QStringLiteral("Линия %1 — регистратор").arg(line); }
}  // namespace

void TForm1::RefreshRecorderEntries()
{
    m_recorderLines.clear();
    const QString path = RecorderSocketPath();
    const RecorderFound found = FindRecorder(path, kFindRecorderMs);
    if (found.found)
        m_recorderLines = found.lines;
    ComboBox1->setToolTip(found.error);
    for (const RecorderLineInfo& line : m_recorderLines) {
        ComboBox1->addItem(RecorderLineCaption(line));
        ComboBox1->setItemData(ComboBox1->count() - 1, line.transport, Qt::ToolTipRole);
    }
}

void TForm1::AttachRecorderLine(const RecorderLineInfo& line)
{
    // The port this window had is given up: the recorder is the line's one master.
    if (ReadingActive == 1)
        Button6Click();
    if (PortHandle != kNoPort)
        OnLine(ClosePort);
    RecordAction(JournalAction::PortOpen, QString(), PortText(m_openPortName, m_openDevicePath),
                 QStringLiteral("регистратор: линия %1").arg(line.name), JournalOutcomeDone());
    if (Form5)
        Form5->hide();
    m_openPortName.clear();
    m_openDevicePath.clear();
    m_recorderLine = line.name;
    m_shownReadMs = -1;
    m_tileReadMs.clear();
    m_shownReadAddress = -1;
    RecorderClient& recorder = DesktopRecorder();
    recorder.Attach(RecorderSocketPath());
    recorder.SetLine(line.name);
    ListBox1->clear();
    for (int address : line.chambers)
        ListBox1->addItem(ChamberEntryText(address));
    // The recorder keeps every chamber's log; this window writes none of its own.
    if (CheckBox1->isChecked())
        CheckBox1->setChecked(false);
    CheckBox1->setEnabled(false);
    LabelRecorderLog->setText(QStringLiteral("Запись в файл ведёт регистратор"));
    ProgressBar1->hide();
    LabelRecorderLog->show();
    m_otherAsked.clear();
    m_otherAlarmsAsked = false;
    m_otherReadMs.clear();
    if (FormOverview) {
        FormOverview->SetPortLabel(AttachedCaption(line.name));
        QVector<QPair<QString, QString>> others;
        for (const RecorderLineInfo& other : m_recorderLines)
            if (other.name != line.name)
                others.append({other.name, RecorderLineCaption(other)});
        FormOverview->SetRecorderLines(RecorderLineCaption(line), others);
    }
    if (AlarmCenter)
        AlarmCenter->FollowRecorderAlarms(line.name);
    ShowPortState(AttachedCaption(line.name), false);
    Button4->setEnabled(true);
    Button1->setEnabled(false);
    Button5->setEnabled(false);
}

void TForm1::DetachRecorder()
{
    if (!AttachedToRecorder())
        return;
    if (ReadingActive == 1)
        Button6Click();
    TimerRecorder->stop();
    DesktopRecorder().Detach();
    if (FormChart)
        FormChart->SetLogsToOpen(QString());
    if (FormOverview) {
        FormOverview->SetRecorderLines(QString(), {});
        FormOverview->SetRecorderUnavailable(QString());
    }
    m_otherAsked.clear();
    m_otherReadMs.clear();
    if (AlarmCenter)
        AlarmCenter->LeaveRecorderAlarms();
    m_recorderLine.clear();
    m_statusAsked = false;
    m_scanAsked = false;
    ListBox1->clear();
    LabelRecorderLog->hide();
    ProgressBar1->show();
    for (QLabel* label : m_fieldLabels)
        label->setEnabled(true);
    Button1->setEnabled(true);
    Button4->setEnabled(true);
}

void TForm1::FollowRecorder()
{
    if (!AttachedToRecorder() || m_statusAsked)
        return;
    RecorderClient& recorder = DesktopRecorder();
    if (!recorder.Attached())
        return;
    if (AlarmCenter)
        AlarmCenter->FollowRecorderAlarms(m_recorderLine);
    FollowOtherLines();
    m_statusAsked = true;
    const QString line = m_recorderLine;
    recorder.Request(QStringLiteral("status"), {{QStringLiteral("line"), line}}, [this, line](const QJsonObject& reply) {
        m_statusAsked = false;
        // An answer about a line left meanwhile says nothing of the new one.
        if (line != m_recorderLine || !reply.value(QStringLiteral("ok")).toBool())
            return;
        Guarded([&] { ShowRecorderStatus(RecorderStatusOf(reply)); });
    });
}

void TForm1::FollowOtherLines()
{
    if (!FormOverview || !FormOverview->isVisible())
        return;
    // Tiles of lines not followed: every two seconds is enough for reads
    // the recorder makes every four, and keeps a desktop of many lines well
    // inside the recorder's rate of requests.
    if (m_otherFollowed.isValid() && m_otherFollowed.elapsed() < kOtherLinesMs)
        return;
    m_otherFollowed.restart();
    RecorderClient& recorder = DesktopRecorder();
    const QString attached = m_recorderLine;
    for (const QString& line : FormOverview->OtherLines()) {
        if (m_otherAsked.contains(line))
            continue;
        m_otherAsked.insert(line);
        recorder.Request(QStringLiteral("status"), {{QStringLiteral("line"), line}},
                         [this, line, attached](const QJsonObject& reply) {
                             m_otherAsked.remove(line);
                             if (attached != m_recorderLine || !reply.value(QStringLiteral("ok")).toBool() ||
                                 !FormOverview)
                                 return;
                             QMap<int, qint64>& shown = m_otherReadMs[line];
                             for (const RecorderChamber& c : RecorderStatusOf(reply).chambers) {
                                 if (c.readMs == 0 || shown.value(c.address) == c.readMs)
                                     continue;
                                 shown[c.address] = c.readMs;
                                 FormOverview->TakeLineRead(line, ReadOf(c, -1));
                             }
                         });
    }
    if (m_otherAlarmsAsked || FormOverview->OtherLines().isEmpty())
        return;
    m_otherAlarmsAsked = true;
    // Every line's alarms in one answer, handed out by line.
    recorder.Request(QStringLiteral("alarms"), {}, [this, attached](const QJsonObject& reply) {
        m_otherAlarmsAsked = false;
        if (attached != m_recorderLine || !reply.value(QStringLiteral("ok")).toBool() || !FormOverview)
            return;
        std::map<QString, std::vector<ChamberAlarm>> byLine = RecorderAlarmsByLine(reply);
        for (const QString& line : FormOverview->OtherLines())
            FormOverview->TakeLineAlarms(line, byLine[line]);
    });
}

void TForm1::PickLineChamber(const QString& line, int address)
{
    for (const RecorderLineInfo& info : m_recorderLines) {
        if (info.name != line)
            continue;
        const bool reading = ReadingActive == 1;
        AttachRecorderLine(info);
        SelectChamber(address);
        if (reading)
            Button6Click();
        return;
    }
}

void TForm1::ShowRecorderStatus(const RecorderStatus& status)
{
    if (ReadingActive != 1)
        return;
    // Every chamber's new read on its tile; the selected one's alarms are
    // raised below, as a poll's.
    if (FormOverview) {
        for (const RecorderChamber& c : status.chambers) {
            qint64& shown = m_tileReadMs[c.address];
            if (c.readMs == 0 || c.readMs == shown)
                continue;
            shown = c.readMs;
            FormOverview->Watch(c.address);
            FormOverview->TakeRecorderRead(ReadOf(c, ChamberAddress));
        }
    }
    const RecorderChamber* chamber = status.Find(ChamberAddress);
    if (!chamber)
        return;
    LabelRecorderLog->setText(chamber->log.isEmpty() ? QStringLiteral("Запись в файл ведёт регистратор")
                                                     : QStringLiteral("Запись ведёт регистратор: %1").arg(chamber->log));
    LabelRecorderLog->setToolTip(chamber->log);
    // The chart opens the recorder's logs; its live line is these reads.
    if (FormChart && !chamber->log.isEmpty())
        FormChart->SetLogsToOpen(QFileInfo(chamber->log).absolutePath(), chamber->log);
    // Each read shows once: asked again before the next one, the recorder
    // still has the same.
    if (chamber->readMs == 0 || (chamber->readMs == m_shownReadMs && chamber->address == m_shownReadAddress))
        return;
    m_shownReadMs = chamber->readMs;
    m_shownReadAddress = chamber->address;
    const OverviewRead read = ReadOf(*chamber, ChamberAddress);
    ShowPollResult(read.answered, read.reply, chamber->linkLost);
}

void TForm1::RecorderScan()
{
    RecorderClient& recorder = DesktopRecorder();
    if (m_scanAsked)
        return;
    if (!recorder.Attached())
        throw EInOutError(RecorderUnavailableText().toStdString());
    m_scanAsked = true;
    Button4->setEnabled(false);
    ListBox1->clear();
    ShowPortState(QStringLiteral("%1: поиск камер…").arg(AttachedCaption(m_recorderLine)), false);
    const QString line = m_recorderLine;
    recorder.Request(QStringLiteral("scan"), {{QStringLiteral("line"), line}}, [this, line](const QJsonObject& reply) {
        m_scanAsked = false;
        if (line != m_recorderLine)
            return;
        Button4->setEnabled(true);
        if (!reply.value(QStringLiteral("ok")).toBool()) {
            ShowPortState(QStringLiteral("поиск не выполнен: %1").arg(RecorderErrorText(reply)), true);
            return;
        }
        ShowPortState(AttachedCaption(line), false);
        ListBox1->clear();
        for (const QJsonValue& address : reply.value(QStringLiteral("chambers")).toArray())
            ListBox1->addItem(ChamberEntryText(address.toInt()));
    });
}

void TForm1::RecorderAvailable(bool available, const QString& why)
{
    if (!AttachedToRecorder())
        return;
    // What was shown stays, greyed: it is the last the recorder told.
    for (QLabel* label : m_fieldLabels)
        label->setEnabled(available);
    if (FormOverview) {
        FormOverview->SetPortLabel(available ? AttachedCaption(m_recorderLine) : RecorderUnavailableText());
        FormOverview->SetRecorderUnavailable(available ? QString() : RecorderUnavailableText());
    }
    if (!available) {
        m_statusAsked = false;
        m_scanAsked = false;
        Button4->setEnabled(false);
        ShowPortState(RecorderUnavailableText(), true);
        LabelPort->setToolTip(QStringLiteral("%1: %2").arg(RecorderUnavailableText(), why));
        return;
    }
    Button4->setEnabled(true);
    ShowPortState(AttachedCaption(m_recorderLine), false);
    if (AlarmCenter)
        AlarmCenter->FollowRecorderAlarms(m_recorderLine);
    // The recorder back: its reads are asked at once.
    if (ReadingActive == 1)
        FollowRecorder();
}
