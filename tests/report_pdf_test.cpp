// The PDF report read back with poppler's tools: sections, numbers, page
// numbering, PDF/A identification and embedded fonts, a page rendered that
// shows the chart; the command line without a display and its failures,
// which leave no file behind; the chart window's choice of a program run.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <clocale>

#include "monitoring/ActionJournal.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"
#include "ui/ChartWindow.h"
#include "support/AppFixture.h"
#include "report/ReportPdf.h"

namespace {

// The program table as the control window's journal record writes it.
const char kProgramText[] =
    "программа 3, шагов 2, циклов 2; шаг 1: 25 °C, 60 %, выход на режим 0 ч 30 мин, стабилизация 0 ч 10 мин; "
    "шаг 2: -45 °C, 0 %, выход на режим 1 ч 0 мин, стабилизация 0 ч 20 мин";

bool HavePoppler()
{
    return !QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("pdftoppm")).isEmpty();
}

QString Tool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

QString PdfText(const QString& pdf, int page = 0)
{
    QStringList args{QStringLiteral("-layout")};
    if (page > 0)
        args << QStringLiteral("-f") << QString::number(page) << QStringLiteral("-l") << QString::number(page);
    return Tool(QStringLiteral("pdftotext"), args << pdf << QStringLiteral("-"));
}

// The text in drawing order with every run of white space made one space, so
// a table cell wrapped over two lines reads as one.
QString FlowText(const QString& pdf)
{
    return Tool(QStringLiteral("pdftotext"), {QStringLiteral("-raw"), pdf, QStringLiteral("-")}).simplified();
}

int PdfPages(const QString& pdf)
{
    const auto m = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(Tool(QStringLiteral("pdfinfo"), {pdf}));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// A run of program 3 in a log begun at 23:50 on 9 December 2026: two steps of
// cycle 1 and 2 of cycle 2 over midnight, 45 records a step, a torn line in
// the middle, then the program ends; temperatures ramp so the chart has a shape.
struct Fixture {
    QTemporaryDir dir;
    QString log;
    int records = 0;

    Fixture()
    {
        log = dir.filePath(QStringLiteral("КТХ№12 09.12.2026 23_50_00.txt"));
        QString text = LogHeaderText() + QStringLiteral("\r\n");
        const QTime start(23, 50, 30);
        const int steps[][2] = {{1, 1}, {2, 1}, {1, 2}, {2, 2}};
        int minute = 0;
        for (int s = 0; s < 4; ++s) {
            for (int i = 0; i < 45; ++i, ++minute) {
                const int tenths = steps[s][0] == 1 ? 250 + (i % 5) : -400 - 2 * i;
                text += RecordLine(start.addSecs(minute * 60).toString(QStringLiteral("H:mm:ss")),
                                   TenthsText(tenths, QStringLiteral(",")), QStringLiteral("60,5"), QStringLiteral("3"),
                                   PairText(steps[s][0], 2), PairText(steps[s][1], 2)) +
                        QStringLiteral("\r\n");
                ++records;
                if (minute == 50)
                    text += QStringLiteral("    0:4;    25\r\n\r\n");  // torn by a power cut: line 105
            }
        }
        text += RecordLine(start.addSecs(minute * 60).toString(QStringLiteral("H:mm:ss")), QStringLiteral("25"),
                           QStringLiteral("60,5"), QStringLiteral("3"), QStringLiteral("0(0)"), QStringLiteral("0(0)")) +
                QStringLiteral("\r\n");
        ++records;
        QFile f(log);
        f.open(QIODevice::WriteOnly);
        f.write(ToLogCodePage(text));
        f.close();

        AlarmEvent e;
        e.time = QDateTime(QDate(2026, 12, 10), QTime(0, 20)).toMSecsSinceEpoch();
        e.alarm.id = 4;
        e.alarm.kind = AlarmKind::Link;
        e.alarm.text = QStringLiteral("Камера не отвечает");
        AppendAlarmEvent(AlarmEventFileName(dir.path()), AlarmEventLine(e, {12, QStringLiteral("/dev/ttyUSB0")}));
        e.type = AlarmEventType::Acknowledge;
        e.time += 120000;
        AppendAlarmEvent(AlarmEventFileName(dir.path()), AlarmEventLine(e, {12, QStringLiteral("/dev/ttyUSB0")}));

        // Written by the journal itself, so its chain checks.
        SetJournalIdentityForTests(QStringLiteral("ivanov"), QStringLiteral("lab1"));
        JournalEntry program;
        program.action = JournalAction::ProgramWrite;
        program.chamber = QStringLiteral("12");
        program.newValue = QString::fromUtf8(kProgramText);
        program.outcome = JournalOutcomeSent();
        AppendJournal(dir.path(), program, QDateTime(QDate(2026, 12, 9), QTime(23, 40)));
        JournalEntry ack;
        ack.action = JournalAction::AlarmAcknowledge;
        ack.chamber = QStringLiteral("12");
        ack.newValue = QStringLiteral("связь восстановлена");
        ack.outcome = JournalOutcomeDone();
        AppendJournal(dir.path(), ack, QDateTime(QDate(2026, 12, 10), QTime(0, 30)));
        SetJournalIdentityForTests(QString(), QString());
    }
};

}  // namespace

TEST(ReportPdf, HoldsEverySectionAndNumbersItsPages)
{
    if (!HavePoppler())
        GTEST_SKIP() << "poppler-utils are not installed";
    ScopedLocale comma(LC_NUMERIC, "ru_RU.UTF-8");
    ASSERT_TRUE(comma.ok());
    Fixture f;
    ReportRequest request;
    request.logPath = f.log;
    request.outPath = f.dir.filePath(QStringLiteral("отчёт.pdf"));
    request.settingsFolder = f.dir.filePath(QStringLiteral("settings"));
    QString error;
    ReportOutcome outcome;
    ASSERT_TRUE(WriteReportPdf(request, &error, &outcome)) << error.toStdString();
    EXPECT_TRUE(outcome.number.startsWith(QStringLiteral("12-") + QDate::currentDate().toString("yyyyMMdd") + "-0001"));
    EXPECT_EQ(outcome.records, f.records);

    const int pages = PdfPages(request.outPath);
    ASSERT_EQ(pages, outcome.pages);
    ASSERT_GE(pages, 2);
    for (int i = 1; i <= pages; ++i) {
        const QString page = PdfText(request.outPath, i);
        EXPECT_TRUE(page.contains(QStringLiteral("стр. %1 из %2").arg(i).arg(pages))) << i;
        EXPECT_TRUE(page.contains(outcome.number)) << i;
        EXPECT_EQ(page.contains(QStringLiteral("Конец отчёта")), i == pages) << i;
    }
    const QString text = FlowText(request.outPath);
    for (const char* expected : {
             "Отчёт об испытании №", "№12", "/dev/ttyUSB0", "КТХ№12 09.12.2026 23_50_00.txt",
             "09.12.2026 23:50:30 — 10.12.2026 02:50:30",  // the range, across midnight
             kProgramText,  // as the journal has it
             "Шаги и циклы", "Тревоги и потери связи", "Камера не отвечает", "подтверждение",
             "Журнал действий за интервал", "Подтверждение тревоги", "Повреждённые строки журнала данных",
             "Повреждённых строк: 1 (в расчёт не вошли). Номера строк: 105.", "Составил", "Проверил",
             // Step 1 of cycle 1 by hand: 25.0..25.4 repeating, 45 records: 9 × (25.0+…+25.4) / 45 = 25.2;
             // all 45 inside 25 ± 2, a minute each.
             "25,0 / 25,4 / 25,2", "0:45:00 / 0:00:00",
             // Step 2 of cycle 1: −40.0 − 0.2·i, i = 0..44: min −48.8, max −40.0, mean −44.4; inside −45 ± 2: i 15..35.
             "-48,8 / -40,0 / -44,4", "0:21:00 / 0:24:00",
             "весь интервал",
         })
        EXPECT_TRUE(text.contains(QString::fromUtf8(expected))) << expected;

    // The log's hash as sha256sum gives it.
    QFile log(f.log);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(text.contains(QString::fromLatin1(QCryptographicHash::hash(log.readAll(), QCryptographicHash::Sha256).toHex())));

    // PDF/A-1b named in the metadata, and every font inside the file.
    const QString meta = Tool(QStringLiteral("pdfinfo"), {QStringLiteral("-meta"), request.outPath});
    EXPECT_TRUE(meta.contains(QStringLiteral("pdfaid:part=\"1\""))) << meta.toStdString();
    EXPECT_TRUE(meta.contains(QStringLiteral("pdfaid:conformance=\"B\"")));
    const QStringList fonts = Tool(QStringLiteral("pdffonts"), {request.outPath}).split(u'\n', Qt::SkipEmptyParts).mid(2);
    ASSERT_FALSE(fonts.isEmpty());
    for (const QString& font : fonts)
        EXPECT_TRUE(font.contains(QRegularExpression(QStringLiteral("\\syes\\s+(yes|no)\\s+(yes|no)\\s+\\d+")))) << font.toStdString();
}

TEST(ReportPdf, FirstPageShowsTheChart)
{
    if (!HavePoppler())
        GTEST_SKIP() << "poppler-utils are not installed";
    Fixture f;
    ReportRequest request;
    request.logPath = f.log;
    request.outPath = f.dir.filePath(QStringLiteral("r.pdf"));
    request.settingsFolder = f.dir.filePath(QStringLiteral("settings"));
    QString error;
    ASSERT_TRUE(WriteReportPdf(request, &error)) << error.toStdString();
    QProcess p;
    p.start(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QStringLiteral("100"), QStringLiteral("-f"),
                                         QStringLiteral("1"), QStringLiteral("-l"), QStringLiteral("1"),
                                         QStringLiteral("-png"), request.outPath, f.dir.filePath(QStringLiteral("page"))});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QStringList pngs = QDir(f.dir.path()).entryList({QStringLiteral("page*.png")});
    ASSERT_EQ(pngs.size(), 1);
    const QImage page(f.dir.filePath(pngs.front()));
    ASSERT_FALSE(page.isNull());
    // A line runs across the plot; the axis labels in the same colours stay at its sides.
    int dark = 0;
    QSet<int> redColumns, greenColumns;
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x) {
            const QColor c = page.pixelColor(x, y);
            if (c.lightness() < 128)
                ++dark;
            if (c.red() > c.green() + 60 && c.red() > c.blue() + 60)
                redColumns.insert(x);
            if (c.green() > c.red() + 40 && c.green() > c.blue() + 40)
                greenColumns.insert(x);
        }
    EXPECT_GT(dark, 2000);  // text and frames: not a blank page
    EXPECT_GT(redColumns.size(), page.width() * 2 / 5);    // the temperature line
    EXPECT_GT(greenColumns.size(), page.width() * 2 / 5);  // the humidity line
}

TEST(ReportPdf, CommandLineWithoutDisplayAndItsFailures)
{
    Fixture f;
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/calvetra");
    ASSERT_TRUE(QFile::exists(program));
    const QString empty = f.dir.filePath(QStringLiteral("КТХ№12 11.12.2026 10_00_00.txt"));
    {
        QFile log(empty);
        ASSERT_TRUE(log.open(QIODevice::WriteOnly));
        log.write(ToLogCodePage(LogHeaderText() + QStringLiteral("\r\n")));
    }
    QFile blocker(f.dir.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString out = f.dir.filePath(QStringLiteral("out/r.pdf"));
    QDir().mkpath(f.dir.filePath(QStringLiteral("out")));

    struct Case {
        const char* name;
        QStringList args;
        int exitCode;
        const char* stderrHas;
        QString made;  // the file that must exist afterwards, or empty
    } cases[] = {
        {"whole log", {"--report", f.log, "-o", out}, 0, "", out},
        {"a range", {"--report", f.log, "--from", "2026-12-10 00:00", "--to", "2026-12-10 00:09", "-o", out + ".2"}, 0, "", out + ".2"},
        {"an empty range", {"--report", f.log, "--from", "2026-12-11 00:00", "-o", out + ".3"}, 1, "нет записей", {}},
        {"no records", {"--report", empty, "-o", out + ".4"}, 1, "нет ни одной записи", {}},
        {"a folder that cannot be written", {"--report", f.log, "-o", blocker.fileName() + "/r.pdf"}, 1, "не удалось записать", {}},
        {"the log itself", {"--report", f.log, "-o", f.dir.filePath("./КТХ№12 09.12.2026 23_50_00.txt")}, 1, "это сам журнал", {}},
        {"no log", {"--report", f.dir.filePath("none.txt"), "-o", out + ".5"}, 1, "не удалось открыть", {}},
        {"a bad time", {"--report", f.log, "--from", "10.12.2026", "-o", out + ".6"}, 2, "ГГГГ-ММ-ДД", {}},
        {"no output", {"--report", f.log}, 2, "-o", {}},
    };
    const QByteArray logBytes = [&] {
        QFile log(f.log);
        log.open(QIODevice::ReadOnly);
        return log.readAll();
    }();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QStringList before = QDir(f.dir.filePath(QStringLiteral("out"))).entryList(QDir::Files);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));  // it must find its own way without a display
        p.setProcessEnvironment(env);
        p.start(program, c.args);
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), c.exitCode) << err.toStdString();
        EXPECT_TRUE(err.contains(QString::fromUtf8(c.stderrHas))) << err.toStdString();
        if (!c.made.isEmpty()) {
            EXPECT_TRUE(QFile::exists(c.made));
        } else {
            // Nothing half-written: not the file, not a temporary beside it.
            EXPECT_EQ(QDir(f.dir.filePath(QStringLiteral("out"))).entryList(QDir::Files), before);
            EXPECT_EQ(QDir(f.dir.path()).entryList({QStringLiteral("*.pdf*")}, QDir::Files), QStringList());
        }
        QFile log(f.log);
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        EXPECT_EQ(log.readAll(), logBytes);  // never touched
    }
    if (HavePoppler()) {
        const QString range = PdfText(out + ".2");
        EXPECT_TRUE(range.contains(QStringLiteral("10.12.2026 00:00:30 — 10.12.2026 00:09:30"))) << range.toStdString();
        EXPECT_TRUE(range.contains(QRegularExpression(QStringLiteral("Записей в интервале\\s+10\\b"))));
        EXPECT_TRUE(range.contains(QStringLiteral("Повреждённых строк нет.")));  // line 105 is at 00:40
        // Two reports, two numbers.
        const auto number = [](const QString& text) {
            return QRegularExpression(QStringLiteral("№ (\\d+-\\d{8}-\\d{4,})")).match(text).captured(1);
        };
        EXPECT_NE(number(PdfText(out)), number(range));
        EXPECT_FALSE(number(range).isEmpty());
    }
}

TEST(ReportPdf, ChartWindowOffersTheRangeInViewAndEveryRun)
{
    if (!HavePoppler())
        GTEST_SKIP() << "poppler-utils are not installed";
    Fixture f;
    TChartWindow window;
    EXPECT_FALSE(window.ButtonReport->isEnabled());  // live values: nothing to report
    QString message;
    ASSERT_TRUE(window.OpenLog(f.log, &message)) << message.toStdString();
    EXPECT_TRUE(window.ButtonReport->isEnabled());
    EXPECT_EQ(window.ButtonReport->text(), QStringLiteral("Отчёт PDF…"));
    const QStringList choices = window.ReportChoices(&message);
    ASSERT_EQ(choices.size(), 3);
    EXPECT_TRUE(choices[0].startsWith(QStringLiteral("Интервал на экране")));
    EXPECT_EQ(choices[1], QStringLiteral("Прогон программы 3: 09.12.2026 23:50 — 10.12.2026 02:50"));
    EXPECT_TRUE(choices[2].startsWith(QStringLiteral("Условия хранения")));
    EXPECT_TRUE(window.IsStabilityChoice(2));
    EXPECT_FALSE(window.IsStabilityChoice(1));
    const QString out = f.dir.filePath(QStringLiteral("run.pdf"));
    ASSERT_TRUE(window.WriteReport(1, out, &message)) << message.toStdString();
    const QString text = PdfText(out);
    EXPECT_TRUE(text.contains(QStringLiteral("прогон программы 3")));
    EXPECT_TRUE(text.contains(QStringLiteral("09.12.2026 23:50:30 — 10.12.2026 02:50:30")));
    EXPECT_TRUE(text.contains(QStringLiteral("Записей в интервале")));
}
