// What a report of a lab's log says and leaves out, read back from the PDF:
// a gap in the records listed and kept out of the band times, one decimal
// separator in the whole report under either locale, the events and journal
// records of the range and the start command of a program run, and what the
// report says of itself (program, chamber, program table, author).
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <clocale>
#include <pwd.h>
#include <unistd.h>

#include "monitoring/ActionJournal.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"
#include "support/AppFixture.h"
#include "ui/AlarmWindow.h"
#include "ui/ChartWindow.h"
#include "report/ReportPdf.h"

namespace {

bool HavePdfText() { return !QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty(); }

// The text in drawing order, white space made single spaces.
QString FlowText(const QString& pdf)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {QStringLiteral("-raw"), pdf, QStringLiteral("-")});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput()).simplified();
}

QDateTime At(const char* time) { return QDateTime(QDate(2026, 12, 10), QTime::fromString(QString::fromUtf8(time))); }

const char kProgram[] = "программа 3, шагов 1, циклов 1; шаг 1: 25 °C, 60 %, выход на режим 0 ч 30 мин, "
                        "стабилизация 1 ч 5 мин";

// Program 3 runs from 13:30:05, its records stop at 13:33:05 and come back
// at 13:38:44 out of the band; the run ends at 13:40:44. "Пуск" at 13:44:59
// starts a second run, first recorded at 13:45:44 and over at 13:49:44.
// Alarms at the second run's last record, a second after it and at 13:50:08.
struct LabLog {
    QTemporaryDir dir;
    QString log;

    LabLog()
    {
        log = dir.filePath(QStringLiteral("КТХ№12 10.12.2026 13_30_00.txt"));
        struct Row {
            const char* time;
            const char* temp;
            int step;
        } rows[] = {
            {"13:30:05", "25,0", 1}, {"13:31:05", "25,0", 1}, {"13:32:05", "25,0", 1}, {"13:33:05", "25,0", 1},
            {"13:38:44", "31,5", 1}, {"13:39:44", "31,5", 1}, {"13:40:44", "22,0", 0}, {"13:41:44", "22,0", 0},
            {"13:42:44", "22,0", 0}, {"13:43:44", "22,0", 0}, {"13:44:44", "22,0", 0}, {"13:45:44", "25,3", 1},
            {"13:46:44", "25,3", 1}, {"13:47:44", "25,3", 1}, {"13:48:44", "25,3", 1}, {"13:49:44", "24,0", 0},
        };
        QString text = LogHeaderText() + QStringLiteral("\r\n");
        for (const Row& r : rows)
            text += RecordLine(QString::fromUtf8(r.time), QString::fromUtf8(r.temp), QStringLiteral("60,5"),
                               QStringLiteral("3"), PairText(r.step, r.step), PairText(r.step, r.step)) +
                    QStringLiteral("\r\n");
        QFile f(log);
        f.open(QIODevice::WriteOnly);
        f.write(ToLogCodePage(text));
        f.close();

        for (const char* when : {"13:49:44", "13:49:45", "13:50:08"}) {
            AlarmEvent e;
            e.time = At(when).toMSecsSinceEpoch();
            e.alarm.id = 7;
            e.alarm.kind = AlarmKind::Humidity;
            e.alarm.text = QStringLiteral("Влажность вне допуска, %1").arg(QString::fromUtf8(when));
            e.alarm.value = 51.8;
            e.alarm.setPoint = 60;
            e.alarm.hasValues = true;
            AppendAlarmEvent(AlarmEventFileName(dir.path()), AlarmEventLine(e, {12, QStringLiteral("/dev/ttyUSB0")}));
        }

        SetJournalIdentityForTests(QStringLiteral("ivanov"), QStringLiteral("lab1"));
        Journal(JournalAction::ProgramWrite, QString::fromUtf8(kProgram), "13:20:00");
        Journal(JournalAction::Start, QStringLiteral("программа 3"), "13:29:30");
        Journal(JournalAction::SetPointWrite, QStringLiteral("25.5 °C"), "13:44:30");  // not a start: left out
        Journal(JournalAction::Start, QStringLiteral("программа 3"), "13:44:59");
        SetJournalIdentityForTests(QString(), QString());
    }
    void Journal(JournalAction action, const QString& value, const char* when)
    {
        JournalEntry e;
        e.action = action;
        e.chamber = QStringLiteral("12");
        e.newValue = value;
        e.outcome = JournalOutcomeSent();
        AppendJournal(dir.path(), e, At(when));
    }
    QString Report(const QString& name, ReportRequest request = {})
    {
        request.logPath = log;
        request.outPath = dir.filePath(name);
        request.settingsFolder = dir.filePath(QStringLiteral("settings"));
        QString error;
        EXPECT_TRUE(WriteReportPdf(request, &error)) << error.toStdString();
        return FlowText(request.outPath);
    }
};

}  // namespace

TEST(ReportRange, AGapIsListedAndCountedInNeitherBand)
{
    if (!HavePdfText())
        GTEST_SKIP() << "poppler-utils are not installed";
    ScopedLocale comma(LC_NUMERIC, "ru_RU.UTF-8");
    ASSERT_TRUE(comma.ok());
    LabLog f;
    const QString text = f.Report(QStringLiteral("whole.pdf"));
    for (const char* expected : {
             "Пропуски записи", "10.12.2026 13:33:05 10.12.2026 13:38:44 0:05:39", "Пропусков: 1, всего 0:05:39.",
             // The first run's step: 10:39 long; 3 min in the band (the record before the gap stands for
             // none), 2 min of 31.5 outside it, the 5:39 gap in neither.
             "1 (1) 1 (1) 10.12.2026 13:30:05 10.12.2026 13:40:44 0:10:39 (пропуски 0:05:39)",
             "0:03:00 / 0:02:00",
             // Humidity 60.5 is inside 60 ± 5 throughout: 5 minutes, not 10:39.
             "0:05:00 / 0:00:00",
             // The whole interval: the second run's 4 minutes inside, the gap still in neither.
             "весь интервал 10.12.2026 13:30:05 10.12.2026 13:49:44 0:19:39",
             "0:07:00 / 0:02:00",
         })
        EXPECT_TRUE(text.contains(QString::fromUtf8(expected))) << expected << "\n" << text.toStdString();
}

TEST(ReportRange, OneDecimalSeparatorInTheWholeReport)
{
    if (!HavePdfText())
        GTEST_SKIP() << "poppler-utils are not installed";
    struct Case {
        const char* locale;
        QChar separator, other;
    } cases[] = {{"ru_RU.UTF-8", u',', u'.'}, {"en_US.UTF-8", u'.', u','}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale);
        ScopedLocale numeric(LC_NUMERIC, c.locale);
        ASSERT_TRUE(numeric.ok());
        LabLog f;
        QString text = f.Report(QStringLiteral("r.pdf"));
        // The alarm file holds "51.8" whatever the locale; the journal "25.5 °C".
        for (QString expected : {"51.8", "25.5 °C", "25.3 / 25.3 / 25.3", "±2.0 °C"})
            EXPECT_TRUE(text.contains(expected.replace(u'.', c.separator))) << expected.toStdString();
        // What is left once the dates, the log's name and the program's version are gone has
        // no number written with the other separator.
        text.remove(QStringLiteral("КТХ№12 10.12.2026 13_30_00.txt"));
        text.remove(QRegularExpression(QStringLiteral("\\d{2}\\.\\d{2}\\.\\d{4}")));
        text.remove(QRegularExpression(QStringLiteral("Calvetra \\d+\\.\\d+\\.\\d+")));
        const QRegularExpression wrong(QStringLiteral("\\d\\%1\\d").arg(c.other));
        const auto m = wrong.match(text);
        EXPECT_FALSE(m.hasMatch()) << m.captured().toStdString() << " in\n" << text.toStdString();
    }
}

TEST(ReportRange, EventsOfTheRangeAndTheCommandThatStartedTheRun)
{
    if (!HavePdfText())
        GTEST_SKIP() << "poppler-utils are not installed";
    LabLog f;
    // The second run, as the chart window offers it.
    TChartWindow window;
    QString message;
    ASSERT_TRUE(window.OpenLog(f.log, &message)) << message.toStdString();
    const QStringList choices = window.ReportChoices(&message);
    // The interval, each run, and the stability report last.
    ASSERT_EQ(choices.size(), 4) << choices.join('\n').toStdString();
    EXPECT_TRUE(window.IsStabilityChoice(3));
    const QString out = f.dir.filePath(QStringLiteral("run.pdf"));
    ASSERT_TRUE(window.WriteReport(2, out, &message)) << message.toStdString();
    const QString run = FlowText(out);
    EXPECT_TRUE(run.contains(QStringLiteral("10.12.2026 13:45:44 — 10.12.2026 13:49:44 (прогон программы 3)")));
    // The alarm at the last record is the range's; a second later it is not.
    EXPECT_TRUE(run.contains(QStringLiteral("Влажность вне допуска, 13:49:44")));
    EXPECT_FALSE(run.contains(QStringLiteral("Влажность вне допуска, 13:49:45"))) << run.toStdString();
    EXPECT_FALSE(run.contains(QStringLiteral("Влажность вне допуска, 13:50:08")));
    // The start a minute before the first step, its time whole; not the set point
    // written before it, nor the first run's start.
    EXPECT_TRUE(run.contains(QStringLiteral("10.12.2026 13:44:59 ivanov Пуск"))) << run.toStdString();
    EXPECT_FALSE(run.contains(QStringLiteral("13:44:30")));
    EXPECT_FALSE(run.contains(QStringLiteral("13:29:30")));

    // The range on screen cites no start before it: it is no run.
    ReportRequest range;
    range.fromMs = At("13:45:00").toMSecsSinceEpoch();
    range.toMs = At("13:49:59").toMSecsSinceEpoch();
    const QString screen = f.Report(QStringLiteral("range.pdf"), range);
    EXPECT_FALSE(screen.contains(QStringLiteral("13:44:59"))) << screen.toStdString();
    EXPECT_FALSE(screen.contains(QStringLiteral("Влажность вне допуска, 13:50:08")));
    EXPECT_TRUE(screen.contains(QStringLiteral("Влажность вне допуска, 13:49:44")));
}

TEST(ReportRange, WhatTheReportSaysOfItself)
{
    if (!HavePdfText())
        GTEST_SKIP() << "poppler-utils are not installed";
    ScopedLocale comma(LC_NUMERIC, "ru_RU.UTF-8");
    ASSERT_TRUE(comma.ok());
    LabLog f;
    SaveChamberIdentity(12, {QStringLiteral("КТХ-500 лаборатории 2"), QStringLiteral("SN 0421-17")});
    ReportRequest request;
    request.author = QStringLiteral("Иван Петрович Сидоров");
    const QString text = f.Report(QStringLiteral("self.pdf"), request);
    SaveChamberIdentity(12, {});
    const passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    const QString login = QString::fromLocal8Bit(pw->pw_name);
    for (const QString& expected : {
             QStringLiteral("Программа Calvetra "), QStringLiteral("Камера №12"),
             QStringLiteral("Наименование камеры КТХ-500 лаборатории 2"), QStringLiteral("Заводской номер SN 0421-17"),
             // The program as a table: step, set points, times.
             QStringLiteral("Шаг Температура, °C Влажность, % Выход на режим, ч:мм Стабилизация, ч:мм"),
             QStringLiteral("1 25,0 60,0 0:30 1:05"),
             QStringLiteral("Уставки на графике (штриховые линии), по таблице программы: шаг 1: 25,0 °C, 60,0 %."),
             QStringLiteral("уставка температуры"),
             // The journal's time whole.
             QStringLiteral("Записана в камеру 10.12.2026 13:20:00 (ivanov)"),
             QStringLiteral("10.12.2026 13:44:59 ivanov Пуск"),
             QStringLiteral("Составил: ______________________ / Иван Петрович Сидоров (%1) /").arg(login),
         })
        EXPECT_TRUE(text.contains(expected)) << expected.toStdString() << "\n" << text.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("Программа Calvetra \\d+\\.\\d+\\.\\d+ ")).match(text).hasMatch());

    // Without a name given, the account's own, as the password database has it.
    const QString plain = f.Report(QStringLiteral("plain.pdf"));
    const QString name = AccountFullName(QString::fromLocal8Bit(pw->pw_gecos), login);
    EXPECT_TRUE(plain.contains(QStringLiteral("Составил: ______________________ / %1").arg(name)));
    EXPECT_TRUE(plain.contains(QStringLiteral("Наименование камеры не указан в настройках тревог")));
}
