#include "support/AppFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <clocale>
#include <cstdlib>

#include "link/PortUnit.h"
#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/ReadWatch.h"
#include "ui/ErrorDisplay.h"
#include "ui/Startup.h"
#include "ui/main.h"

void AppFixture::SetUp()
{
    SetTimeScale(m_timeScale);
    errors.clear();
    ForgetClaimedLogNamesForTests();
    ForgetChamberReads();
    // A chamber's deviation arming is kept in the settings file: each test
    // starts with every chamber disarmed.
    QSettings().remove(QStringLiteral("alarmArming"));
    SetErrorDisplayHook([this](const QString& text) { errors << text; });
    CreateApplicationWindows(false);
}

void AppFixture::TearDown()
{
    DestroyApplicationWindows();
    SetErrorDisplayHook({});
    SetClockSource({});
    SetTimeScale(1.0);
    ::unsetenv("CALVETRA_COM1");
}

void AppFixture::OpenPortOn(const std::string& devicePath)
{
    ::setenv("CALVETRA_COM1", devicePath.c_str(), 1);
    Form1->ComboBox1->setCurrentIndex(0);
    Guarded([] { Form1->Button5Click(); });
}

QStringList AppFixture::ListBoxEntries()
{
    QStringList list;
    for (int i = 0; i < Form1->ListBox1->count(); ++i)
        list << Form1->ListBox1->item(i)->text();
    return list;
}

void AppFixture::Pump(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool AppFixture::PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

ScopedLocale::ScopedLocale(int category, const char* name) : m_category(category)
{
    const char* previous = std::setlocale(category, nullptr);
    m_previous = previous ? previous : "C";
    m_ok = std::setlocale(category, name) != nullptr;
}

ScopedLocale::~ScopedLocale() { std::setlocale(m_category, m_previous.c_str()); }

std::time_t LocalMoment(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

QByteArray ReadFileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
