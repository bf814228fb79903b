// Cost of the trend chart at a day of points: adding one point after a poll,
// and drawing the lines again once the poll is over.
//   build/trend_bench            (QT_QPA_PLATFORM=offscreen is set here)
#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "ui/ChartWindow.h"

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TChartWindow window;
    window.resize(1000, 600);
    window.show();

    constexpr int kPoints = 21600;  // 24 h at one poll per 4 s
    for (int i = 0; i < kPoints; ++i) {
        TrendSample s;
        s.time = 1'700'000'000'000LL + i * 4000LL;
        s.answered = i % 500 != 0;  // a gap now and then
        s.currentTemp = 20 + (i % 100) * 0.1;
        s.setTemp = 25;
        s.currentHumidity = 50 + (i % 50) * 0.2;
        s.setHumidity = 60;
        window.AddLiveSample(s);
    }
    window.SyncView();

    std::vector<double> add, draw;
    for (int i = 0; i < 200; ++i) {
        TrendSample s;
        s.time = 1'700'000'000'000LL + (kPoints + i) * 4000LL;
        s.answered = true;
        s.currentTemp = 21;
        s.setTemp = 25;
        s.currentHumidity = 55;
        s.setHumidity = 60;
        QElapsedTimer t;
        t.start();
        window.AddLiveSample(s);
        add.push_back(t.nsecsElapsed() / 1e6);
        t.restart();
        window.SyncView();
        draw.push_back(t.nsecsElapsed() / 1e6);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    auto worst = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    const double addMedian = median(add);
    std::printf("points on the chart: %zu\n", window.LiveModel().samples.size());
    std::printf("add one point (poll path): median %.4f ms, worst %.4f ms  target < 1 ms  %s\n", addMedian,
                worst(add), worst(add) < 1.0 ? "PASS" : "FAIL");
    std::printf("redraw after a poll (off the poll path): median %.2f ms, worst %.2f ms\n", median(draw),
                worst(draw));
    return 0;
}
