// The test report of a run as a PDF (A4, PDF/A-1b, fonts embedded): from the
// chart window and from the command line without a display.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <limits>

struct ReportRequest {
    QString logPath;
    qint64 fromMs = std::numeric_limits<qint64>::min();  // the whole log when left so
    qint64 toMs = std::numeric_limits<qint64>::max();
    QString outPath;
    QString what;  // how the range was chosen, said in the report ("прогон программы 3")
    QString settingsFolder;  // where the report counter lives; empty: the program's settings folder
    double temperatureBand = 2.0;  // ± around the set point, for the time inside the band
    double humidityBand = 5.0;
};

struct ReportOutcome {
    QString number;
    int pages = 0;
    int records = 0;
};

// Writes the report to a temporary file beside outPath and renames it into
// place, so a failure never leaves a half-written file. False with the reason.
bool WriteReportPdf(const ReportRequest& request, QString* error, ReportOutcome* outcome = nullptr);

// The program's settings folder (the report counter lives there).
QString ReportSettingsFolder();

// "calvetra --report LOG [--from "YYYY-MM-DD HH:MM"] [--to "…"] -o OUT.pdf":
// true when args ask for a report (then *exitCode is set and the reason, if
// any, written to stderr).
bool RunReportCommand(const QStringList& args, int* exitCode);
// True when args ask for a report: main() then needs no display.
bool WantsReport(int argc, char** argv);
