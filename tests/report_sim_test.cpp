// The report of a log the program itself wrote while polling a simulated
// chamber over a pseudo-terminal: the run is found from the step counter and
// its figures come out as the chamber gave them.
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <array>
#include <clocale>
#include <ctime>
#include <gtest/gtest.h>

#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/ChartWindow.h"
#include "ui/ErrorDisplay.h"
#include "ui/main.h"

namespace {

std::time_t g_now = 0;

// Words 10..13: step, steps, cycle, cycles; 0: temperature, 15: humidity (tenths).
enum Word { kTemperature = 0, kStep = 10, kSteps = 11, kCycle = 12, kCycles = 13 };
constexpr std::array<uint16_t, 17> kStatus = {253, 3, 300, 0, 5, 30, 1, 15, 2, 45, 1, 2, 1, 1, 75, 605, 700};

}  // namespace

class ReportSimTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(timeLocale.ok());
        ASSERT_TRUE(comma.ok());
        SetProgramFolderForTests(dir.path() + "/");
        g_now = LocalMoment(2017, 7, 3, 14, 5, 30);
        SetClockSource([] { return g_now; });
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetSpeed(0);
        ASSERT_TRUE(bus.AddChamber(1));
        for (int n = 0; n < 17; ++n)
            Pin(n, kStatus[n]);
        OpenPortOn(bus.SlavePath());
        QObject::connect(Form1->Timer4, &QTimer::timeout, [this] { ++logTicks; });
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
        SetProgramFolderForTests({});
        SetClockSource({});
    }
    void Pin(int word, uint16_t value)
    {
        bus.WithChamber(1, [&](sim::ChamberModel& m) { m.PinStatusWord(word, value); });
    }
    // The chamber shows the values, the clock moves on, and one record is written.
    bool Record(int minute, uint16_t temperature, uint16_t step, uint16_t steps)
    {
        Pin(kTemperature, temperature);
        Pin(kStep, step);
        Pin(kSteps, steps);
        g_now = LocalMoment(2017, 7, 3, 14, 5 + minute, 30);
        const int target = logTicks + 1;
        return PumpUntil([&] { return logTicks >= target; }, 30000);
    }

    QTemporaryDir dir;
    sim::BusSimulator bus;
    int logTicks = 0;
    ScopedLocale timeLocale{LC_TIME, "ru_RU.UTF-8"};
    ScopedLocale comma{LC_NUMERIC, "ru_RU.UTF-8"};
};

TEST_F(ReportSimTest, RunOfTheProgramsOwnLog)
{
    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
        GTEST_SKIP() << "poppler-utils are not installed";
    Form1->ListBox1->addItem(QString::fromUtf8("Камера №1"));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->ListBox1Click(); });
    Guarded([] { Form1->Button6Click(); });
    Form1->CheckBox1->setChecked(true);
    Guarded([] { Form1->CheckBox1Click(); });
    ASSERT_TRUE(PumpUntil([] { return !Form1->Timer6->isActive(); }, 10000));

    // Step 1 of 2 at 25.3 and 18.0 °C, step 2 at 20.0 °C, then the program ends.
    ASSERT_TRUE(Record(0, 253, 1, 2));
    ASSERT_TRUE(Record(1, 180, 1, 2));
    ASSERT_TRUE(Record(2, 200, 2, 2));
    ASSERT_TRUE(Record(3, 215, 0, 0));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();

    const QString log = dir.filePath(QString::fromUtf8("КТХ№1 03.07.2017 14_05_30.txt"));
    QString message;
    ASSERT_TRUE(FormChart->OpenLog(log, &message)) << message.toStdString();
    const QStringList choices = FormChart->ReportChoices(&message);
    ASSERT_EQ(choices.size(), 3) << choices.join('\n').toStdString();
    EXPECT_EQ(choices[1], QString::fromUtf8("Прогон программы 3: 03.07.2017 14:05 — 03.07.2017 14:08"));
    EXPECT_TRUE(choices[2].startsWith(QString::fromUtf8("Условия хранения")));

    const QString out = dir.filePath(QStringLiteral("run.pdf"));
    ASSERT_TRUE(FormChart->WriteReport(1, out, &message)) << message.toStdString();
    QProcess text;
    text.start(QStringLiteral("pdftotext"), {QStringLiteral("-raw"), out, QStringLiteral("-")});
    ASSERT_TRUE(text.waitForFinished(60000));
    const QString got = QString::fromUtf8(text.readAllStandardOutput()).simplified();
    for (const char* expected : {"Камера №1", "03.07.2017 14:05:30 — 03.07.2017 14:08:30 (прогон программы 3)",
                                 // Step 1: (25.3 + 18.0) / 2 = 21.65, to the data's tenths 21.7
                                 // (halves away from zero); humidity 60.5 throughout.
                                 "1 (2) 1 (1) 03.07.2017 14:05:30 03.07.2017 14:07:30 0:02",
                                 "18,0 / 25,3 / 21,7", "60,5 / 60,5 / 60,5",
                                 "2 (2) 1 (1) 03.07.2017 14:07:30 03.07.2017 14:08:30 0:01",
                                 "20,0 / 20,0 / 20,0", "Повреждённых строк нет.", "Конец отчёта"})
        EXPECT_TRUE(got.contains(QString::fromUtf8(expected))) << expected << "\n" << got.toStdString();
}
