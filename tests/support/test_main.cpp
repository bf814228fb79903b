// Common main of every test program: a QApplication on the offscreen
// platform, so widget tests run with no display.
#include <QApplication>
#include <clocale>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // A child run (ChildRun.h) may ask for another headless platform: an
    // X server of its own, or a screen of a given size.
    const QByteArray platform = qgetenv("CALVETRA_TEST_PLATFORM");
    qputenv("QT_QPA_PLATFORM", platform.isEmpty() ? QByteArray("offscreen") : platform);
    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
