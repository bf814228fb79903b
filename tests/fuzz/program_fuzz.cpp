// Program files as anyone may hand them over: arbitrary bytes into the
// loader. A file the loader takes must pass the window's own check, write
// back to a file that loads to the same program, and give a profile whose
// times never run backwards.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <QByteArray>
#include <QString>

#include "control/Checks.h"
#include "control/ProgramFile.h"

namespace {

[[noreturn]] void Mismatch(const char* what)
{
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

bool Same(const ProgramTexts& a, const ProgramTexts& b)
{
    if (a.steps != b.steps || a.cycles != b.cycles)
        return false;
    for (int row = 1; row <= kTableSteps; ++row)
        for (int column = 1; column <= kTableColumns; ++column)
            if (a.Cell(row, column) != b.Cell(row, column))
                return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    ProgramTexts texts;
    QString error;
    bool loaded = false;
    try {
        loaded = ProgramFromCsv(bytes, &texts, &error);
    } catch (const std::exception&) {
        Mismatch("the loader threw instead of naming the line");
    }
    if (!loaded) {
        if (error.isEmpty())
            Mismatch("refused without a reason");
        return 0;
    }
    try {
        if (!CheckProgramTable(texts))
            Mismatch("loaded a program the check refuses");
    } catch (const std::exception&) {
        Mismatch("loaded a text that does not convert");
    }

    ProgramTexts again;
    QString againError;
    if (!ProgramFromCsv(ProgramToCsv(texts), &again, &againError))
        Mismatch("a saved program does not load");
    if (!Same(texts, again))
        Mismatch("save and load changed the program");

    const QVector<ProfilePoint> points = ProgramProfile(texts);
    int previous = 0;
    for (const ProfilePoint& p : points) {
        if (p.minute < previous)
            Mismatch("profile time runs backwards");
        previous = p.minute;
    }
    if (ProgramDurationMinutes(texts) != previous)
        Mismatch("duration differs from the profile's end");
    (void)DurationText(previous);
    return 0;
}
