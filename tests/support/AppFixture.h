// Test fixture for window-level tests: a fresh set of windows per test, the
// error display captured instead of shown, and helpers to drive the event loop.
#pragma once

#include <QString>
#include <QByteArray>
#include <QStringList>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <string>

class AppFixture : public ::testing::Test {
protected:
    // Waits are scaled by this factor for the whole test (1.0 = real waits).
    explicit AppFixture(double timeScale = 0.05) : m_timeScale(timeScale) {}

    void SetUp() override;
    void TearDown() override;

    // Maps COM1 to a device path and presses "Открыть" with COM1 picked.
    void OpenPortOn(const std::string& devicePath);

    // Runs the event loop for ms real milliseconds (timers fire meanwhile).
    static void Pump(int ms);
    // Runs the event loop until done() or timeoutMs pass; true if done().
    static bool PumpUntil(const std::function<bool()>& done, int timeoutMs);

    // The texts of the chamber list, in order.
    static QStringList ListBoxEntries();

    // Messages the error display would have shown, with the "." rule applied.
    QStringList errors;

private:
    double m_timeScale;
};

// Sets a locale category for the test's duration (restored afterwards);
// returns false when the locale is not installed.
class ScopedLocale {
public:
    ScopedLocale(int category, const char* name);
    ~ScopedLocale();
    bool ok() const { return m_ok; }

private:
    int m_category;
    std::string m_previous;
    bool m_ok;
};

// A local moment, for fixing the clock (SetClockSource).
std::time_t LocalMoment(int year, int month, int day, int hour, int minute, int second);

// The bytes of a file; empty when it cannot be read.
QByteArray ReadFileBytes(const QString& path);
