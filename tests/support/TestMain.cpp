// Common main of every test program: a QApplication on the offscreen
// platform, so widget tests run with no display.
#include <QApplication>
#include <QTemporaryFile>
#include <QTemporaryDir>
#include <clocale>
#include <gtest/gtest.h>

#include "monitoring/ActionJournal.h"
#include "ui/AlarmCenter.h"

int main(int argc, char** argv)
{
    // The offscreen platform's own screen is 800 x 600, smaller than the
    // windows; the tests run on a full-size desktop screen, where every
    // window keeps its specified size and place (smaller screens are tested
    // on their own).
    QTemporaryFile screens;
    QByteArray platform("offscreen");
    if (screens.open()) {
        screens.write(R"({"screens": [{"name": "desktop", "x": 0, "y": 0, "width": 1920, "height": 1080,
                          "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        screens.flush();
        platform += ":configfile=" + QFile::encodeName(screens.fileName());
    }
    // A child run (ChildRun.h) may ask for another headless platform: an
    // X server of its own, or a screen of a given size.
    const QByteArray requested = qgetenv("CALVETRA_TEST_PLATFORM");
    qputenv("QT_QPA_PLATFORM", requested.isEmpty() ? platform : requested);
    // The settings file of a test run is its own, never the operator's.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QApplication app(argc, argv);
    // So is the action journal of a test run; journal tests point it elsewhere.
    QTemporaryDir journal;
    SetJournalFolder(journal.path());
    // Alarms reach the desktop only in the tests about that (they call the
    // notifier themselves or set their own): a session bus found on the
    // machine would otherwise start Qt's D-Bus thread in every test program.
    SetDefaultAlarmNotifier([](const QString&, const QString&, bool) { return false; });
    std::setlocale(LC_ALL, "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
