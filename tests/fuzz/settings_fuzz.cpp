// The settings file as an operator may leave it: arbitrary bytes read as the
// program's INI file, then every value the program takes from it — alarm
// bands, delays and switches, the port and its COM mapping, the overview's
// timeout and the endpoint's listen address.
//
// What comes out is inside the dialogs' limits whatever went in; alarm
// settings written back and read again are the same and refuse nothing; a
// listen address taken is one the endpoint can bind to as written.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSettings>

#include "monitoring/Alarms.h"
#include "monitoring/Overview.h"
#include "monitoring/PortSettings.h"
#include "monitoring/StatusMetrics.h"

namespace {

[[noreturn]] void Mismatch(const char* what)
{
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

const char* const kAlarmKeys[] = {"temperatureOn", "temperatureBand", "temperatureDelay", "humidityOn",
                                  "humidityBand",  "humidityDelay",   "linkOn",           "programEndOn"};

void CheckAlarms(const AlarmSettings& s)
{
    for (double band : {s.temperatureBand, s.humidityBand})
        if (!std::isfinite(band) || band < kMinAlarmBand || band > kMaxAlarmBand)
            Mismatch("an alarm band outside the dialog's range");
    for (int delay : {s.temperatureDelay, s.humidityDelay})
        if (delay < 0 || delay > kMaxAlarmDelay)
            Mismatch("an alarm delay outside the dialog's range");
    if (SaneAlarmSettings(s) != s)
        Mismatch("settings read that the rules would change");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString folder = [] {
        const QString f = QDir::tempPath() + QStringLiteral("/calvetra-settings-fuzz-%1").arg(getpid());
        QDir().mkpath(f);
        return f;
    }();
    // A name of its own each time: QSettings keeps files it has read in a
    // cache that a file rewritten within the same millisecond could outwit.
    static unsigned long run = 0;
    const QString path = folder + QStringLiteral("/in-%1.conf").arg(++run);
    const QString back = folder + QStringLiteral("/back-%1.conf").arg(run);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
            Mismatch("cannot write the file under test");
    }
    {
        QSettings store(path, QSettings::IniFormat);

        QStringList refused;
        const AlarmSettings alarms = ReadAlarmSettings(store, &refused);
        CheckAlarms(alarms);
        for (const QString& r : refused) {
            bool known = false;
            for (const char* key : kAlarmKeys)
                known = known || r.startsWith(QLatin1String(key) + u'=');
            if (!known)
                Mismatch("a refusal that names no alarm key");
        }
        if (refused.size() > static_cast<qsizetype>(std::size(kAlarmKeys)))
            Mismatch("a key refused twice");
        {
            QSettings written(back, QSettings::IniFormat);
            WriteAlarmSettings(written, alarms);
            written.sync();
        }
        QSettings reread(back, QSettings::IniFormat);
        QStringList refusedBack;
        if (ReadAlarmSettings(reread, &refusedBack) != alarms || !refusedBack.isEmpty())
            Mismatch("alarm settings written do not read back the same");

        const PortSettings ports = ReadPortSettings(store);
        for (const QString& m : ports.mapping)
            if (m != m.trimmed())
                Mismatch("a COM mapping with blanks around it");

        const int timeout = OverviewTimeoutFromSetting(store.value(QStringLiteral("overview/timeoutMs")));
        if (timeout < kMinOverviewTimeoutMs || timeout > kMaxOverviewTimeoutMs)
            Mismatch("an overview timeout outside its limits");

        const ListenAddress listen = ParseListenAddress(store.value(QStringLiteral("listen")).toString());
        if (listen.ok) {
            if (listen.port < 1 || !listen.error.isEmpty())
                Mismatch("a listen address taken without a port, or with a reason against it");
            QHostAddress address;
            if (!address.setAddress(listen.address))
                Mismatch("a listen address taken that is no address");
        } else if (listen.error.isEmpty()) {
            Mismatch("a listen address refused without a reason");
        }
    }
    QFile::remove(path);
    QFile::remove(back);
    return 0;
}
