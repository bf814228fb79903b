// Data logs for the benchmarks, written as the data log writes them: the
// header, then one record a minute in Windows-1251 with CR LF and the empty
// line, running past midnight, with a six-step program a day.
#pragma once

#include <QDate>
#include <QFile>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"

namespace {

constexpr int kRecordsPerDay = 24 * 60;

// A climatic test program: one cycle a day of six steps (hold, heat, hold
// hot, cool, hold cold, back), with sensor noise, an overshoot now and then,
// and no humidity below freezing.
struct Reading {
    int tempTenths;
    int humidityTenths;  // < 0: no value
    int step;            // 1..6
};

inline Reading ProgramAt(int minute, std::mt19937& random)
{
    const int m = minute % kRecordsPerDay;
    // Step ends in minutes of the day.
    const int ends[6] = {120, 240, 480, 660, 900, 1440};
    int step = 0;
    while (m >= ends[step])
        ++step;
    double temp = 25;
    switch (step) {
    case 0: temp = 25; break;
    case 1: temp = 25 + (85 - 25) * (m - 120) / 120.0; break;
    case 2: temp = 85; break;
    case 3: temp = 85 - (85 + 40) * (m - 480) / 180.0; break;
    case 4: temp = -40; break;
    default: temp = -40 + (25 + 40) * std::min(1.0, (m - 900) / 180.0); break;
    }
    std::uniform_int_distribution<int> noise(-3, 3);
    int tenths = static_cast<int>(std::lround(temp * 10)) + noise(random);
    if (random() % 700 == 0)
        tenths += (random() % 2 ? 1 : -1) * static_cast<int>(30 + random() % 60);  // a peak or a dip
    int humidity = temp > 5 ? 500 + static_cast<int>(std::lround((85 - temp) * 4)) + noise(random) : -1;
    humidity = std::clamp(humidity, -1, 980);
    return {tenths, humidity, step + 1};
}

// Writes `days` days of records starting at 10:00:00 on 01.06.2026; returns
// the file's path. A few records are torn (as a crash leaves them), the first
// ones have no values yet.
inline QString WriteLog(const QString& folder, int days, const QString& label)
{
    const QDate date(2026, 6, 1);
    const QString name = folder + u'/' + label + QStringLiteral(" КТХ№12 ") + date.toString(QStringLiteral("dd.MM.yyyy")) +
                         QStringLiteral(" 10_00_00.txt");
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
        std::exit(2);
    }
    std::mt19937 random(static_cast<unsigned>(days));
    QByteArray chunk = ToLogCodePage(LogHeaderText() + QStringLiteral("\r\n"));
    const int records = days * kRecordsPerDay;
    const int start = 10 * 3600;
    for (int i = 0; i < records; ++i) {
        const int seconds = (start + i * 60 + (i * 7) % 4) % (24 * 3600);
        const QString time = QStringLiteral("%1:%2:%3")
                                 .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                                 .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'));
        const int minuteOfProgram = i;
        const Reading r = ProgramAt(minuteOfProgram + 600, random);
        const int cycle = (minuteOfProgram + 600) / kRecordsPerDay + 1;
        const QString temp = i < 2 ? QString() : TenthsText(r.tempTenths, QStringLiteral(","));
        const QString humidity = i < 2 || r.humidityTenths < 0 ? QString() : TenthsText(r.humidityTenths, QStringLiteral(","));
        const QString line = RecordLine(time, temp, humidity, NumberText(3), PairText(r.step, 6),
                                        PairText(cycle, days + 1));
        QByteArray bytes = ToLogCodePage(line + QStringLiteral("\r\n"));
        if (i % 20011 == 20010)
            bytes = bytes.left(27) + "\r\n";  // torn by a crash
        chunk += bytes;
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
    return name;
}

}  // namespace
