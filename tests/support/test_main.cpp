// Common main of every test program: a QApplication on the offscreen
// platform, so widget tests run with no display.
#include <QApplication>
#include <QTemporaryDir>
#include <clocale>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The settings file of a test run is its own, never the operator's.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
