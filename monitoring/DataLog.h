// The data log file: its name, its header, its code page and the error texts
// of its writes (monitoring/ChamberLog writes it). No window is needed here.
#pragma once

#include <QByteArray>
#include <QString>

// The first line of every log file, with its own CR LF.
QString LogHeaderText();
// Its first column, by which a reader knows a header line.
QString LogHeaderStart();

// The folder that holds the running program, ending in "/".
QString ProgramFolder();

// Where log files go: the program folder when the operator may write there;
// otherwise (an installed /usr/bin) the operator's documents folder (XDG),
// created if need be. A folder that does not exist stays the program folder,
// so that its writes fail visibly.
QString LogFolder();
// The choice itself, for the given facts.
QString ChooseLogFolder(const QString& programFolder, bool exists, bool writable, const QString& documentsFolder);
// Points ProgramFolder() elsewhere (tests must not write next to the test
// binary); an empty folder restores the real one. A missing "/" is added.
void SetProgramFolderForTests(const QString& folder);

// folder + "КТХ№" + ">" + " " + date + " " + time + ".txt"; every ":" and
// "/" of the date and the time becomes "_", so the name stays one file in the
// folder, which is taken as it is. The ">" holds the place of the chamber
// address until the next status poll writes it in.
QString MakeLogFileName(const QString& folder, const QString& dateText, const QString& timeText);

// The address written into the placeholder of the file's name; a ">" in the
// folder is the folder's own and stays.
QString FillAddressPlaceholder(const QString& fileName, int address);
// True while the file's name (not its folder) still holds the placeholder.
bool HoldsAddressPlaceholder(const QString& fileName);

// Who writes a log: two writers must never share one file.
enum class LogWriter { MainWindow, Overview, Recorder };

// The name a new log of `writer` takes. Names hold the time to the second, so
// the main window's log and the overview's log of one chamber started in the
// same second would be one file with two headers and every minute twice. The
// name (its placeholder filled with `address` to compare) stays as it is
// unless another writer of this process took it or a file of that name is
// already there; then " (2)", " (3)"... goes before ".txt". A writer asking
// again for a name it took gets it back. The placeholder stays in the result.
QString ClaimLogFileName(const QString& fileName, int address, LogWriter writer);
// Forgets every name taken (tests start from an empty folder each time).
void ForgetClaimedLogNamesForTests();

// The text in Windows-1251, no byte-order mark; a character the code page
// lacks becomes "?".
QByteArray ToLogCodePage(const QString& text);

// The message of a failed file step: the system's text for the error, or
// "I/O error N" when the error has none.
QString IoErrorMessage(int error);
// Writes all of bytes to fd, going on after a short write or a signal; false
// with errno in *error when the system refuses.
bool WriteAll(int fd, const char* bytes, qsizetype size, int* error);
