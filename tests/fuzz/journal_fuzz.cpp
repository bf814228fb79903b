// The action journal's reader and verifier on bytes from anywhere.
//
// Byte 0 even: the rest is edits to a journal written by AppendJournal
// (records with quotes, commas, line breaks and Cyrillic). Each edit is an
// operation byte, a position (two bytes, taken modulo the file's size), a
// length byte, and for overwrite and insert that many bytes:
//   0 overwrite, 1 insert, 2 delete, 3 cut the file there.
// A journal so edited may verify only when its bytes are the original ones
// up to the end of a line (a journal cannot know the records after its
// end), and then every record it hands on is the original record.
// Byte 0 odd: the rest is the file as it stands.
//
// Either way the verifier must not crash, its result must hang together,
// and a file it finds whole must read the same from its tail (ReadJournalHead).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include "monitoring/ActionJournal.h"

namespace {

[[noreturn]] void Mismatch(const char* what)
{
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

struct Original {
    QString folder;
    QByteArray bytes;
    std::vector<JournalRecord> records;
};

bool SameRecord(const JournalRecord& a, const JournalRecord& b)
{
    return a.number == b.number && a.utc == b.utc && a.local == b.local && a.operatorName == b.operatorName &&
           a.computer == b.computer && a.chamber == b.chamber && a.action == b.action && a.oldValue == b.oldValue &&
           a.newValue == b.newValue && a.outcome == b.outcome && a.previousHash == b.previousHash && a.hash == b.hash;
}

const Original& MadeJournal()
{
    static const Original original = [] {
        Original o;
        o.folder = QDir::tempPath() + QStringLiteral("/calvetra-journal-fuzz-%1").arg(getpid());
        QDir(o.folder).removeRecursively();
        QDir().mkpath(o.folder);
        SetJournalIdentityForTests(QStringLiteral("иванов"), QStringLiteral("lab \"7\", east"));
        const QDateTime t0(QDate(2026, 12, 9), QTime(10, 0), Qt::UTC);
        const JournalEntry entries[] = {
            {JournalAction::PortOpen, {}, {}, QStringLiteral("COM1"), JournalOutcomeDone()},
            {JournalAction::SetPointWrite, QStringLiteral("7"), QStringLiteral("25,0 °C"),
             QStringLiteral("-40,5 °C; \"быстро\""), JournalOutcomeSent()},
            {JournalAction::ProgramWrite, QStringLiteral("12"), QStringLiteral("шаг 1\r\nшаг 2"),
             QStringLiteral("a,b,,c"), JournalOutcomeNoPort()},
            {JournalAction::AlarmAcknowledge, QStringLiteral("250"), {}, QStringLiteral("\"\""), JournalOutcomeDone()},
            {JournalAction::Stop, QStringLiteral("1"), QStringLiteral("ручной"), {}, JournalOutcomeSent()},
        };
        int n = 0;
        for (const JournalEntry& e : entries)
            AppendJournal(o.folder, e, t0.addSecs(61 * n++));
        QFile file(JournalFileName(o.folder));
        if (!file.open(QIODevice::ReadOnly))
            Mismatch("the journal made for the run cannot be read");
        o.bytes = file.readAll();
        const JournalCheck check =
            CheckJournal(JournalFileName(o.folder), [&](const JournalRecord& r) { o.records.push_back(r); });
        if (!check.ok || o.records.size() != std::size(entries))
            Mismatch("the journal made for the run does not verify");
        return o;
    }();
    return original;
}

QByteArray Edited(const QByteArray& original, const uint8_t* data, size_t size)
{
    QByteArray b = original;
    size_t at = 0;
    while (at + 4 <= size) {
        const int op = data[at] & 3;
        const qsizetype span = b.isEmpty() ? 1 : b.size() + 1;
        const qsizetype pos = ((data[at + 1] << 8) | data[at + 2]) % span;
        const size_t length = data[at + 3] % 64 + 1;
        at += 4;
        if (op == 0 || op == 1) {
            const size_t n = std::min(length, size - at);
            const QByteArray bytes(reinterpret_cast<const char*>(data + at), static_cast<qsizetype>(n));
            at += n;
            if (op == 0)
                b.replace(pos, static_cast<qsizetype>(n), bytes);
            else
                b.insert(pos, bytes);
        } else if (op == 2) {
            b.remove(pos, static_cast<qsizetype>(length));
        } else {
            b.truncate(pos);
        }
    }
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const Original& original = MadeJournal();
    const bool raw = data[0] & 1;
    const QByteArray bytes = raw ? QByteArray(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1))
                                 : Edited(original.bytes, data + 1, size - 1);

    // The file where the application keeps it, so that the tail reader sees it too.
    const QString folder = original.folder + QStringLiteral("/run");
    QDir().mkpath(folder);
    const QString path = JournalFileName(folder);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            Mismatch("cannot write the file under test");
    }

    std::vector<JournalRecord> seen;
    const JournalCheck check = CheckJournal(path, [&](const JournalRecord& r) { seen.push_back(r); });

    // The result hangs together.
    if (check.ok != (check.fault == JournalFault::None))
        Mismatch("ok and fault disagree");
    if (check.records != static_cast<qint64>(seen.size()))
        Mismatch("records counted differ from records handed on");
    for (size_t i = 0; i < seen.size(); ++i) {
        if (seen[i].number != static_cast<qint64>(i + 1))
            Mismatch("a record handed on out of its order");
        if (seen[i].previousHash != (i == 0 ? check.startValue : seen[i - 1].hash))
            Mismatch("a record handed on that does not follow the one before");
    }
    if (!seen.empty() && check.lastHash != seen.back().hash)
        Mismatch("the last hash is not the last record's");
    if (!check.ok && (check.problem.isEmpty() || check.badLine < 1 || check.badRecord < 0 ||
                      check.badRecord > check.records + 1))
        Mismatch("a fault without its place");
    if (check.ok && seen.empty() && check.lastHash != check.startValue)
        Mismatch("an empty journal's last hash is not its start value");

    if (check.ok) {
        // The head read from the tail agrees with the whole reading.
        const JournalHead head = ReadJournalHead(folder);
        if (head.records != check.records || head.lastHash != check.lastHash)
            Mismatch("the tail reads another head than the whole file");
        if (!raw) {
            if (!original.bytes.startsWith(bytes) || !bytes.endsWith("\r\n"))
                Mismatch("an edited journal verified");
            if (seen.size() > original.records.size())
                Mismatch("more records than written");
            for (size_t i = 0; i < seen.size(); ++i)
                if (!SameRecord(seen[i], original.records[i]))
                    Mismatch("a record verified with other contents than written");
        }
    }

    // The command line's verdict is the check's.
    QByteArray said;
    QBuffer out(&said);
    out.open(QIODevice::WriteOnly);
    QTextStream stream(&out);
    if ((VerifyJournalFiles({path}, stream) == 0) != check.ok)
        Mismatch("the command line's verdict differs from the check");
    return 0;
}
