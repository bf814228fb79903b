// The six buttons of the control window.
#include "control/Commands.h"
#include "control/Convert.h"
#include "ui/Unit3.h"
#include "monitoring/Monitoring.h"
#include "ui/Unit4.h"
#include "ui/JournalWindow.h"
#include "services/RecorderClient.h"
#include "ui/ChangeReason.h"

#include <QJsonArray>

namespace {
// The journal's record of a command, flushed before its first frame; a
// record that cannot be written ends the handler and nothing is sent. True
// when the command goes to an open port, whose answer is then recorded too.
bool RecordCommand(uint8_t address, JournalAction action, const QString& oldValue, const QString& newValue)
{
    const bool portOpen = PortHandle != kNoPort;
    RecordAction(action, JournalChamber(address), oldValue, newValue,
                 portOpen ? JournalOutcomeSent() : JournalOutcomeNoPort());
    return portOpen;
}

// The chamber's answer, recorded after the frames as a record of its own
// with the same action and values: the record before them is written
// before anything leaves, and a journal record is never changed afterwards.
void RecordAnswer(bool recorded, uint8_t address, JournalAction action, const QString& oldValue,
                  const QString& newValue, const QString& answer)
{
    if (recorded)
        RecordAction(action, JournalChamber(address), oldValue, newValue, answer);
}

// The commands of a desktop attached to a recorder's line go to the
// recorder, which checks, journals and sends them between its reads. Its
// answers can take a program's frames' time; a lost recorder is never asked
// the same again.
constexpr int kRecorderCommandWaitMs = 60000;

bool AttachedToRecorder() { return !DesktopRecorder().Line().isEmpty(); }

struct RecorderAnswer {
    QString text;
    bool confirmed = false;
};

RecorderAnswer AskRecorder(const QString& op, uint8_t address, QJsonObject fields, const QString& reason)
{
    RecorderClient& recorder = DesktopRecorder();
    fields.insert(QStringLiteral("line"), recorder.Line());
    fields.insert(QStringLiteral("address"), address);
    // The recorder journals it before the command, under the caller's login.
    if (!reason.isEmpty())
        fields.insert(QStringLiteral("reason"), reason);
    const QJsonObject reply = recorder.RequestAndWait(op, fields, kRecorderCommandWaitMs);
    if (!reply.value(QStringLiteral("ok")).toBool())
        return {QStringLiteral("отклонено регистратором: %1").arg(RecorderErrorText(reply)), false};
    return {reply.value(QStringLiteral("outcome")).toString(), reply.value(QStringLiteral("confirmed")).toBool()};
}

// The reason's record before the command's own, where one was asked.
void RecordReason(uint8_t address, JournalAction action, const QString& reason)
{
    if (!reason.isEmpty())
        RecordChangeReason(action, JournalChamber(address), reason);
}

// The set points the last poll showed, "" before any.
QString PolledSetPoints()
{
    if (SetTempText.isEmpty() && SetHumidityText.isEmpty())
        return {};
    return QStringLiteral("%1 °C, %2 %").arg(SetTempText, SetHumidityText);
}

// The program the last poll showed, for a stop in program mode.
QString PolledProgram()
{
    return ProgramText.isEmpty() ? QStringLiteral("программа") : QStringLiteral("программа %1").arg(ProgramText);
}
}  // namespace

void TForm3::Button1Click()
{
    const ProgramTexts texts = ReadProgramTexts();
    // A program needs its slot: with none chosen it would go to slot 0.
    if (!CheckProgramWrite(ProgramNumber(), texts)) {
        RaiseErrorWindow(this);
        return;
    }
    const uint8_t address = ShowTarget();
    QString reason;
    if (!AskChangeReason(this, Button1->text(), &reason))
        return;
    if (AttachedToRecorder()) {
        QJsonArray cells;
        for (const auto& row : texts.cells) {
            QJsonArray r;
            for (const QString& cell : row)
                r.append(cell);
            cells.append(r);
        }
        const RecorderAnswer answer = AskRecorder(QStringLiteral("program"), address,
                                                  {{QStringLiteral("number"), ProgramNumber()},
                                                   {QStringLiteral("steps"), texts.steps},
                                                   {QStringLiteral("cycles"), texts.cycles},
                                                   {QStringLiteral("cells"), cells}},
                                                  reason);
        ShowAnswer(Button1, answer.text, answer.confirmed);
        return;
    }
    // A signed program's record carries the signatures it has.
    const QString program = SignedProgramJournalText(ProgramNumber(), texts, m_programSignatures);
    RecordReason(address, JournalAction::ProgramWrite, reason);
    const bool recorded = RecordCommand(address, JournalAction::ProgramWrite, QString(), program);
    const std::vector<FrameAnswer> answers = SendFrames(BuildProgramFrames(address, ProgramNumber(), texts));
    const QString answer = ProgramAnswerText(answers);
    ShowAnswer(Button1, answer, AllConfirmed(answers));
    RecordAnswer(recorded, address, JournalAction::ProgramWrite, QString(), program, answer);
}

void TForm3::Button4Click()
{
    const QString temperature = Edit3->text();
    const QString humidity = Edit4->text();
    if (!CheckSetPoints(temperature, humidity)) {
        RaiseErrorWindow(this);
        return;
    }
    const uint8_t address = ShowTarget();
    QString reason;
    if (!AskChangeReason(this, Button4->text(), &reason))
        return;
    if (AttachedToRecorder()) {
        const RecorderAnswer answer = AskRecorder(
            QStringLiteral("setpoint"), address,
            {{QStringLiteral("temperature"), temperature}, {QStringLiteral("humidity"), humidity}}, reason);
        ShowAnswer(Button4, answer.text, answer.confirmed);
        return;
    }
    const QString oldValue = PolledSetPoints();
    const QString newValue = SetPointJournalText(StrToInt(temperature), StrToInt(humidity));
    RecordReason(address, JournalAction::SetPointWrite, reason);
    const bool recorded = RecordCommand(address, JournalAction::SetPointWrite, oldValue, newValue);
    const FrameAnswer answer = SendFrame(BuildSetPointFrame(address, StrToInt(temperature), StrToInt(humidity)));
    ShowAnswer(Button4, FrameAnswerText(answer), answer.Confirmed());
    RecordAnswer(recorded, address, JournalAction::SetPointWrite, oldValue, newValue, FrameAnswerText(answer));
}

// A start or a stop: one frame, its answer shown and recorded, and a
// confirmation announced.
void TForm3::RunCommand(const QPushButton* button, uint8_t address, JournalAction action, const QString& oldValue,
                        const QString& newValue, const uint8_t* frame, int length, ConfirmedCommand what)
{
    QString reason;
    if (!AskChangeReason(this, button->text(), &reason))
        return;
    if (AttachedToRecorder()) {
        // The recorder builds the same frame from what is asked.
        QJsonObject fields;
        QString op = QStringLiteral("run");
        if (what == ConfirmedCommand::ProgramStart) {
            op = QStringLiteral("programstart");
            fields.insert(QStringLiteral("number"), StartProgramNumber());
        } else if (what == ConfirmedCommand::ManualStart) {
            fields.insert(QStringLiteral("run"), QStringLiteral("start"));
        } else {
            fields.insert(QStringLiteral("run"),
                          frame[3] == kRegProgramRun ? QStringLiteral("stop-program") : QStringLiteral("stop"));
        }
        const RecorderAnswer answer = AskRecorder(op, address, fields, reason);
        ShowAnswer(button, answer.text, answer.confirmed);
        if (answer.confirmed)
            emit CommandConfirmed(address, what);
        return;
    }
    RecordReason(address, action, reason);
    const bool recorded = RecordCommand(address, action, oldValue, newValue);
    const FrameAnswer answer = SendFrame(frame, length);
    ShowAnswer(button, FrameAnswerText(answer), answer.Confirmed());
    if (answer.Confirmed())
        emit CommandConfirmed(address, what);
    RecordAnswer(recorded, address, action, oldValue, newValue, FrameAnswerText(answer));
}

void TForm3::Button2Click()
{
    const uint8_t address = ShowTarget();
    const RunFrame frame = BuildRunFrame(address, kRegManualRun, kRunStart);
    RunCommand(Button2, address, JournalAction::Start, QString(), QStringLiteral("ручной"), frame.data(),
               static_cast<int>(frame.size()), ConfirmedCommand::ManualStart);
}

void TForm3::Button3Click()
{
    const uint8_t address = ShowTarget();
    const RunFrame frame = BuildRunFrame(address, kRegManualRun, kRunStop);
    RunCommand(Button3, address, JournalAction::Stop, QString(), QStringLiteral("ручной"), frame.data(),
               static_cast<int>(frame.size()), ConfirmedCommand::Stop);
}

void TForm3::Button5Click()
{
    const int program = StartProgramNumber();
    if (program == 0)
        return;
    const uint8_t address = ShowTarget();
    const ProgramStartFrame frame = BuildProgramStartFrame(address, program);
    RunCommand(Button5, address, JournalAction::Start, QString(), QStringLiteral("программа %1").arg(program), frame.data(),
               static_cast<int>(frame.size()), ConfirmedCommand::ProgramStart);
}

void TForm3::Button6Click()
{
    const uint8_t address = ShowTarget();
    const RunFrame frame = BuildRunFrame(address, kRegProgramRun, kRunStop);
    RunCommand(Button6, address, JournalAction::Stop, QString(), PolledProgram(), frame.data(),
               static_cast<int>(frame.size()), ConfirmedCommand::Stop);
}
