// The test report of a run as a PDF (A4, PDF/A-1b, fonts embedded): from the
// chart window and from the command line without a display.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <limits>

#include "monitoring/Stability.h"

struct ReportRequest {
    QString logPath;
    qint64 fromMs = std::numeric_limits<qint64>::min();  // the whole log when left so
    qint64 toMs = std::numeric_limits<qint64>::max();
    QString outPath;
    QString what;  // how the range was chosen, said in the report ("прогон программы 3")
    QString settingsFolder;  // where the report counter lives; empty: the program's settings folder
    double temperatureBand = 2.0;  // ± around the set point, for the time inside the band
    double humidityBand = 5.0;
    // A program run: the start command given before its first record is cited too.
    bool programRun = false;
    QString author;  // who made the report ("Составил"); empty: the account's full name
    // A report written again with its electronic signatures: its number kept,
    // each signature's line in the block on the last page.
    QString number;
    QStringList signatures;
};

struct ReportOutcome {
    QString number;
    QString sha256;  // of the file written
    int pages = 0;
    int records = 0;
};

// Writes the report to a temporary file beside outPath and renames it into
// place, so a failure never leaves a half-written file. False with the reason.
bool WriteReportPdf(const ReportRequest& request, QString* error, ReportOutcome* outcome = nullptr);

// The stability report: how a storage condition was held over the range.
struct StabilityReportRequest {
    ReportRequest report;  // the log, the range, the PDF (outPath empty: none), numbering, author
    StabilityCondition condition;
    qint64 delayMs = 15 * 60 * 1000;  // an excursion shorter than this is a door opening
    QString csvPath;                  // the excursions as CSV too; empty: none
};

// Writes the PDF and/or the CSV, each beside its target renamed into place.
// *outcome tells of the PDF (only records when there is none).
bool WriteStabilityReport(const StabilityReportRequest& request, QString* error, ReportOutcome* outcome = nullptr);

// "--delay" in minutes ("15", "7,5"): 0 up to a day. False with the reason.
bool ParseDelayMinutes(const QString& text, qint64* delayMs, QString* error);

// A number as the report writes every number: fixed decimals, the locale's
// decimal separator.
QString ReportDecimal(double value, int decimals);
// A text taken from a file ("51.8", "25.5 °C") with each decimal number's
// separator made the locale's; dates (10.12.2026) and other runs of numbers
// joined by more than one separator stay as they are.
QString LocaliseDecimals(const QString& text);
// The person's name from an account's GECOS field: its first comma-separated
// part, or the login when that is empty.
QString AccountFullName(const QString& gecos, const QString& login);

// The program's settings folder (the report counter lives there).
QString ReportSettingsFolder();

// "calvetra --report LOG [--from "YYYY-MM-DD HH:MM"] [--to "…"] -o OUT.pdf",
// or the stability report: "… --stability --condition 25/60 [--delay MIN]
// [-o OUT.pdf] [--stability-csv OUT.csv]" (--condition, --delay and
// --stability-csv ask for it as well):
// true when args ask for a report (then *exitCode is set and the reason, if
// any, written to stderr).
// *written: the report, when one was written (for the journal).
bool RunReportCommand(const QStringList& args, int* exitCode, ReportOutcome* written = nullptr,
                      QString* writtenPath = nullptr);
// True when args ask for a report: main() then needs no display.
bool WantsReport(int argc, char** argv);
