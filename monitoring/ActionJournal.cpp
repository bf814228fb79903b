#include "monitoring/ActionJournal.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTextStream>
#include <array>
#include <cerrno>
#include <cstring>
#include <openssl/sha.h>
#include <mutex>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monitoring/Csv.h"
#include "monitoring/DataLog.h"
#include "monitoring/HandlerErrors.h"

namespace {

constexpr int kFieldCount = 12;
constexpr int kHashLength = 64;
const QByteArray kBom("\xEF\xBB\xBF");
const QByteArray kFirstLineStart("#Calvetra journal,");

std::mutex g_mutex;
QString g_folder;
// Kept records, guarded by g_keptMutex; g_writeMutex makes one writer of
// them at a time, so two threads never write the same record twice.
std::mutex g_keptMutex;
std::mutex g_writeMutex;
std::vector<KeptJournalRecord> g_kept;
QString g_writeFailure;
QString g_operatorOverride, g_computerOverride;

QString Folder(const QString& folder) { return folder.endsWith(u'/') ? folder : folder + u'/'; }

QByteArray Path(const QString& name) { return QFile::encodeName(name); }

QString OperatorName()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_operatorOverride.isEmpty())
            return g_operatorOverride;
    }
    // Looked up once: the user database may be a network service.
    static const QString name = [] {
        if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name)
            return QString::fromLocal8Bit(pw->pw_name);
        return qEnvironmentVariable("USER");
    }();
    return name;
}

QString ComputerName()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_computerOverride.isEmpty())
            return g_computerOverride;
    }
    static const QString name = QSysInfo::machineHostName();
    return name;
}

bool IsHash(const QByteArray& text)
{
    if (text.size() != kHashLength)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// One record a line: a line break inside a field becomes a space, so that
// the journal's readers (and the hash chain, over the bytes of a line) never
// see a record run over two lines.
QByteArray JournalField(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    text.replace(u'\r', u' ');
    text.replace(u'\n', u' ');
    return CsvField(text);
}

void Sha256Hex(const char* data, qsizetype size, char* out);

QString HashOf(const QByteArray& bytes)
{
    char hex[kHashLength];
    Sha256Hex(bytes.constData(), bytes.size(), hex);
    return QString::fromLatin1(hex, kHashLength);
}

QString RandomStart()
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex());
}

[[noreturn]] void Refuse(const QString& what, int error)
{
    throw EInOutError(QStringLiteral("Журнал действий: %1 (%2); действие не выполнено")
                          .arg(what, IoErrorMessage(error ? error : EIO))
                          .toStdString());
}

// Holds the journal's lock for one write, rollover or check.
class JournalLock {
public:
    explicit JournalLock(const QString& folder)
    {
        m_fd = ::open(Path(JournalLockFileName(folder)).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0)
            Refuse(QStringLiteral("не удалось открыть %1").arg(JournalLockFileName(folder)), errno);
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(m_fd);
            Refuse(QStringLiteral("не удалось занять %1").arg(JournalLockFileName(folder)), error);
        }
    }
    ~JournalLock() { ::close(m_fd); }  // closing releases the lock
    JournalLock(const JournalLock&) = delete;
    JournalLock& operator=(const JournalLock&) = delete;

private:
    int m_fd = -1;
};

void SyncFolder(const QString& folder)
{
    const int fd = ::open(Path(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

// What the end of the current file tells without reading all of it.
struct Tail {
    bool exists = false;
    bool empty = true;      // no bytes at all
    bool sound = false;     // first line, and the last line a whole record or the header
    qint64 lastNumber = 0;  // 0: header only
    QString lastHash;       // or the start value
    QString lastLocal;      // local time of the last record; empty for none
};

Tail ReadTail(const QString& fileName)
{
    Tail tail;
    QFile file(fileName);
    if (!file.exists())
        return tail;
    tail.exists = true;
    if (!file.open(QIODevice::ReadOnly))
        return tail;
    const qint64 size = file.size();
    if (size == 0)
        return tail;
    tail.empty = false;
    const QByteArray head = file.read(4096);
    const qsizetype firstEnd = head.indexOf('\n');
    if (!head.startsWith(kBom + kFirstLineStart) || firstEnd < 0)
        return tail;
    const QByteArray start = head.mid(kBom.size() + kFirstLineStart.size(), kHashLength);
    if (!IsHash(start))
        return tail;
    // A record is a few hundred bytes; a longer last line is read whole.
    QByteArray end;
    for (qint64 window = std::min<qint64>(size, 4096);; window = std::min<qint64>(size, window * 16)) {
        file.seek(size - window);
        end = file.read(window);
        if (!end.endsWith("\r\n"))
            return tail;
        if (end.lastIndexOf('\n', end.size() - 2) >= 0 || window == size || window >= (1 << 24))
            break;
    }
    end.chop(2);
    const QByteArray line = end.mid(end.lastIndexOf('\n') + 1);
    if (line == JournalHeaderText().toUtf8()) {
        tail.lastHash = QString::fromLatin1(start);
        tail.sound = true;
        return tail;
    }
    QList<QByteArray> fields;
    bool number = false;
    if (!SplitCsvRecord(line, &fields) || fields.size() != kFieldCount || !IsHash(fields[11]) || !IsHash(fields[10]))
        return tail;
    tail.lastNumber = fields[0].toLongLong(&number);
    if (!number || tail.lastNumber < 1)
        return tail;
    tail.lastHash = QString::fromLatin1(fields[11]);
    tail.lastLocal = QString::fromUtf8(fields[2]);
    tail.sound = true;
    return tail;
}

// The newest "Журнал действий YYYY-MM.csv" in the folder, empty when none.
QString NewestMonthFile(const QString& folder)
{
    const QStringList names = QDir(folder).entryList({QStringLiteral("Журнал действий [0-9][0-9][0-9][0-9]-[0-9][0-9].csv")}, QDir::Files,
                                                     QDir::Name);
    return names.isEmpty() ? QString() : Folder(folder) + names.last();
}

// A name beside `wanted` that no file has yet: "… (2).csv" and so on.
QString FreeName(const QString& wanted)
{
    if (!QFileInfo::exists(wanted))
        return wanted;
    const QString stem = wanted.left(wanted.size() - 4);
    for (int i = 2;; ++i) {
        const QString name = QStringLiteral("%1 (%2).csv").arg(stem).arg(i);
        if (!QFileInfo::exists(name))
            return name;
    }
}

void RenameOrRefuse(const QString& from, const QString& to)
{
    if (::rename(Path(from).constData(), Path(to).constData()) != 0)
        Refuse(QStringLiteral("не удалось переименовать %1 в %2").arg(from, to), errno);
}

QString FirstLines(const QString& startValue)
{
    return QStringLiteral("#Calvetra journal,") + startValue + QStringLiteral("\r\n") + JournalHeaderText() +
           QStringLiteral("\r\n");
}

JournalRecord MakeRecord(const JournalEntry& entry, const QDateTime& when, qint64 number, const QString& previous)
{
    JournalRecord r;
    r.number = number;
    r.utc = when.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + u'Z';
    r.local = when.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    r.operatorName = entry.operatorName.isEmpty() ? OperatorName() : entry.operatorName;
    r.computer = ComputerName();
    r.chamber = entry.chamber;
    r.action = JournalActionText(entry.action);
    r.oldValue = entry.oldValue;
    r.newValue = entry.newValue;
    r.outcome = entry.outcome;
    r.previousHash = previous;
    return r;
}

// Writes the bytes at the end of the file (creating it when `create`) and
// flushes them; on failure the file is left as it was and the error thrown.
void AppendBytes(const QString& fileName, const QByteArray& bytes, bool create)
{
    const QByteArray path = Path(fileName);
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
    const int fd = ::open(path.constData(), flags, 0666);
    if (fd < 0)
        Refuse(QStringLiteral("не удалось открыть %1").arg(fileName), errno);
    struct stat st {};
    const off_t before = ::fstat(fd, &st) == 0 ? st.st_size : 0;
    int error = 0;
    bool ok = WriteAll(fd, bytes.constData(), bytes.size(), &error);
    if (ok && ::fdatasync(fd) != 0 && errno != EINVAL) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        // Only whole records stay in the file.
        if (create) {
            ::unlink(path.constData());
        } else if (S_ISREG(st.st_mode)) {
            (void)!::ftruncate(fd, before);
            (void)::fdatasync(fd);
        }
        ::close(fd);
        Refuse(QStringLiteral("не удалось записать в %1").arg(fileName), error);
    }
    if (::close(fd) != 0)
        Refuse(QStringLiteral("не удалось записать в %1").arg(fileName), errno);
}

// Sets a broken current file aside and begins a new one whose first record
// tells of the break. Runs under the lock.
void SetAsideBroken(const QString& folder, const JournalCheck& check, const QDateTime& when, QString* setAside)
{
    const QString current = JournalFileName(folder);
    const QString aside =
        FreeName(Folder(folder) + QStringLiteral("Журнал действий нарушен %1.csv")
                                      .arg(when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH-mm-ss"))));
    RenameOrRefuse(current, aside);
    if (setAside)
        *setAside = aside;
    QString start = check.lastHash;
    if (start.isEmpty())
        start = RandomStart();
    JournalEntry entry;
    entry.action = JournalAction::ChainBreak;
    entry.oldValue = QStringLiteral("%1: %2").arg(QFileInfo(aside).fileName(), check.problem);
    entry.newValue = QStringLiteral("новый файл продолжает последний верный хеш записи №%1").arg(check.records);
    entry.outcome = JournalOutcomeDone();
    JournalRecord record = MakeRecord(entry, when, 1, start);
    AppendBytes(current, kBom + FirstLines(start).toUtf8() + JournalRecordLine(record), true);
    SyncFolder(folder);
}

// One more line of the file, without its line end; false at the end.
// `whole` tells whether the line had its end.
class LineReader {
public:
    explicit LineReader(QIODevice& file) : m_file(file) {}
    // The next line in place: valid until the next call.
    bool Next(const char** data, qsizetype* size, bool* whole)
    {
        for (;;) {
            const char* begin = m_buffer.constData() + m_pos;
            const qsizetype left = m_buffer.size() - m_pos;
            if (const void* end = left > 0 ? std::memchr(begin, '\n', static_cast<size_t>(left)) : nullptr) {
                *data = begin;
                *size = static_cast<const char*>(end) - begin;
                m_pos += *size + 1;
                *whole = true;
                return true;
            }
            if (m_eof) {
                if (left <= 0)
                    return false;
                *data = begin;
                *size = left;
                m_pos = m_buffer.size();
                *whole = false;
                return true;
            }
            m_buffer.remove(0, m_pos);
            m_pos = 0;
            const qsizetype had = m_buffer.size();
            m_buffer.resize(had + (1 << 20));
            const qint64 n = m_file.read(m_buffer.data() + had, 1 << 20);
            m_buffer.resize(had + std::max<qint64>(n, 0));
            if (n <= 0)
                m_eof = true;
        }
    }
    bool Next(QByteArray* line, bool* whole)
    {
        const char* data = nullptr;
        qsizetype size = 0;
        if (!Next(&data, &size, whole))
            return false;
        *line = QByteArray(data, size);
        return true;
    }

private:
    QIODevice& m_file;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_eof = false;
};

using RecordSpans = std::array<CsvSpan, kFieldCount>;

// The twelve fields of a line (without its CR) where they lie; false when it
// has another number of fields or broken quoting.
bool ScanFields(const char* p, qsizetype n, RecordSpans* spans)
{
    return ScanCsvRecord(p, n, spans->data(), kFieldCount) == kFieldCount;
}

QString SpanText(const char* p, const CsvSpan& f) { return QString::fromUtf8(CsvSpanBytes(p, f)); }

bool SpanIsHash(const char* p, const CsvSpan& f)
{
    return !f.quoted && f.end - f.begin == kHashLength && IsHash(QByteArray::fromRawData(p + f.begin, kHashLength));
}

// The lower-case hex SHA-256 of the bytes, into out (64 characters).
void Sha256Hex(const char* data, qsizetype size, char* out)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    ::SHA256(reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(size), digest);
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
}

// A record line taken apart; false when it is not one.
bool ParseRecord(QByteArray line, bool whole, QList<QByteArray>* fields, qint64* number)
{
    if (!whole || !line.endsWith('\r'))
        return false;
    line.chop(1);
    if (!SplitCsvRecord(line, fields) || fields->size() != kFieldCount || !IsHash(fields->at(10)) || !IsHash(fields->at(11)))
        return false;
    bool ok = false;
    *number = fields->at(0).toLongLong(&ok);
    return ok && *number >= 1 && fields->at(0) == QByteArray::number(*number);
}

void Fail(JournalCheck* check, JournalFault fault, qint64 record, qint64 line, const QString& problem)
{
    check->ok = false;
    check->fault = fault;
    check->badRecord = record;
    check->badLine = line;
    check->problem = problem;
}

}  // namespace

QString JournalActionText(JournalAction action)
{
    switch (action) {
    case JournalAction::ProgramWrite: return QStringLiteral("Запись программы");
    case JournalAction::SetPointWrite: return QStringLiteral("Запись уставок");
    case JournalAction::Start: return QStringLiteral("Пуск");
    case JournalAction::Stop: return QStringLiteral("Останов");
    case JournalAction::PortOpen: return QStringLiteral("Открытие порта");
    case JournalAction::PortClose: return QStringLiteral("Закрытие порта");
    case JournalAction::ReadingOn: return QStringLiteral("Чтение включено");
    case JournalAction::ReadingOff: return QStringLiteral("Чтение выключено");
    case JournalAction::LoggingOn: return QStringLiteral("Запись в файл включена");
    case JournalAction::LoggingOff: return QStringLiteral("Запись в файл выключена");
    case JournalAction::AlarmAcknowledge: return QStringLiteral("Подтверждение тревоги");
    case JournalAction::AlarmSettings: return QStringLiteral("Настройка тревог");
    case JournalAction::ProgramLoad: return QStringLiteral("Загрузка программы из файла");
    case JournalAction::ProgramSave: return QStringLiteral("Сохранение программы в файл");
    case JournalAction::ChainBreak: return QStringLiteral("Разрыв цепочки журнала");
    case JournalAction::ChamberSelect: return QStringLiteral("Выбор камеры");
    case JournalAction::DeviationArming: return QStringLiteral("Тревоги отклонения");
    case JournalAction::RecorderStart: return QStringLiteral("Пуск регистратора");
    case JournalAction::RecorderStop: return QStringLiteral("Останов регистратора");
    case JournalAction::ConfigurationRead: return QStringLiteral("Чтение конфигурации");
    case JournalAction::LineLost: return QStringLiteral("Линия потеряна");
    case JournalAction::LineBack: return QStringLiteral("Линия восстановлена");
    case JournalAction::ControlRefused: return QStringLiteral("Запрос отклонён");
    case JournalAction::WatchAdd: return QStringLiteral("Адрес добавлен в обзор");
    case JournalAction::Signature: return QStringLiteral("Электронная подпись");
    case JournalAction::SignatureFailure: return QStringLiteral("Попытка подписи не удалась");
    case JournalAction::ReportWritten: return QStringLiteral("Отчёт записан");
    case JournalAction::ChangeReason: return QStringLiteral("Причина изменения");
    case JournalAction::ReasonRequirement: return QStringLiteral("Причина изменения обязательна");
    case JournalAction::SignedProgramChange: return QStringLiteral("Изменение подписанной программы");
    }
    return {};
}

QString JournalOutcomeSent() { return QStringLiteral("отправлено"); }
QString JournalOutcomeNoPort() { return QStringLiteral("не отправлено: порт не открыт"); }
QString JournalOutcomeDone() { return QStringLiteral("выполнено"); }
QString JournalOutcomeConfirmed() { return QStringLiteral("подтверждено камерой"); }
QString JournalOutcomeRefused(int exceptionCode) { return QStringLiteral("камера отказала: исключение %1").arg(exceptionCode); }
QString JournalOutcomeNoAnswer() { return QStringLiteral("нет ответа камеры"); }

QString JournalFileName(const QString& folder) { return Folder(folder) + QStringLiteral("Журнал действий.csv"); }

QString JournalMonthFileName(const QString& folder, int year, int month)
{
    return Folder(folder) + QStringLiteral("Журнал действий %1-%2.csv").arg(year, 4, 10, QChar(u'0')).arg(month, 2, 10, QChar(u'0'));
}

QString JournalLockFileName(const QString& folder) { return Folder(folder) + QStringLiteral("Журнал действий.lock"); }

QString JournalHeaderText()
{
    return QStringLiteral("№,UTC,Местное время,Оператор,Компьютер,Камера,Действие,Было,Стало,Итог,Предыдущий хеш,Хеш");
}

QByteArray JournalRecordLine(JournalRecord& r)
{
    const QList<QByteArray> fields{QByteArray::number(r.number), JournalField(r.utc),      JournalField(r.local),
                                   JournalField(r.operatorName),     JournalField(r.computer), JournalField(r.chamber),
                                   JournalField(r.action),           JournalField(r.oldValue), JournalField(r.newValue),
                                   JournalField(r.outcome),          r.previousHash.toLatin1()};
    const QByteArray hashed = fields.join(',');
    r.hash = HashOf(hashed);
    return hashed + ',' + r.hash.toLatin1() + "\r\n";
}

namespace {

// The first two lines: the start value of the chain, then the column header.
// False, with the fault in check, when the file is no journal.
bool CheckJournalHead(LineReader& reader, JournalCheck* check)
{
    QByteArray line;
    bool whole = false;
    if (!reader.Next(&line, &whole) || !whole || !line.startsWith(kBom + kFirstLineStart) || !line.endsWith('\r') ||
        !IsHash(line.mid(kBom.size() + kFirstLineStart.size(), kHashLength)) ||
        line.size() != kBom.size() + kFirstLineStart.size() + kHashLength + 1) {
        Fail(check, JournalFault::NotJournal, 0, 1, QStringLiteral("первая строка не журнала действий"));
        return false;
    }
    check->startValue = QString::fromLatin1(line.mid(kBom.size() + kFirstLineStart.size(), kHashLength));
    check->lastHash = check->startValue;
    if (!reader.Next(&line, &whole) || !whole || line != JournalHeaderText().toUtf8() + '\r') {
        Fail(check, JournalFault::NotJournal, 0, 2, QStringLiteral("вторая строка не заголовок журнала"));
        return false;
    }
    return true;
}

JournalRecord RecordFromSpans(const char* data, const RecordSpans& spans, qint64 number)
{
    JournalRecord r;
    r.number = number;
    r.utc = SpanText(data, spans[1]);
    r.local = SpanText(data, spans[2]);
    r.operatorName = SpanText(data, spans[3]);
    r.computer = SpanText(data, spans[4]);
    r.chamber = SpanText(data, spans[5]);
    r.action = SpanText(data, spans[6]);
    r.oldValue = SpanText(data, spans[7]);
    r.newValue = SpanText(data, spans[8]);
    r.outcome = SpanText(data, spans[9]);
    r.previousHash = SpanText(data, spans[10]);
    r.hash = SpanText(data, spans[11]);
    return r;
}

JournalRecord RecordFromFields(const QList<QByteArray>& fields, qint64 number)
{
    JournalRecord r;
    r.number = number;
    r.utc = QString::fromUtf8(fields[1]);
    r.local = QString::fromUtf8(fields[2]);
    r.operatorName = QString::fromUtf8(fields[3]);
    r.computer = QString::fromUtf8(fields[4]);
    r.chamber = QString::fromUtf8(fields[5]);
    r.action = QString::fromUtf8(fields[6]);
    r.oldValue = QString::fromUtf8(fields[7]);
    r.newValue = QString::fromUtf8(fields[8]);
    r.outcome = QString::fromUtf8(fields[9]);
    r.previousHash = QString::fromLatin1(fields[10]);
    r.hash = QString::fromLatin1(fields[11]);
    return r;
}

// Where the chain stands while the records are read.
struct ChainWalk {
    QByteArray last;        // the hash the next record must follow
    QByteArray beforeLast;  // the hash the last record that fitted followed
    qint64 lineNumber = 2;
    char own[kHashLength];
    RecordSpans spans;  // of the line just read, when it was taken in place
};

// The common case in place, with no copy: a whole record that fits the chain.
// True, with its number, when it does; false leaves the line to the slow path.
bool FitsInPlace(const char* data, qsizetype size, bool whole, qint64 expected, ChainWalk& walk, qint64* number)
{
    RecordSpans& spans = walk.spans;
    if (!(whole && size > 2 * kHashLength + 2 && data[size - 1] == '\r' && ScanFields(data, size - 1, &spans) &&
          SpanIsHash(data, spans[10]) && SpanIsHash(data, spans[11]) && !spans[0].quoted))
        return false;
    const QByteArray numberText = QByteArray::fromRawData(data + spans[0].begin, spans[0].end - spans[0].begin);
    bool isNumber = false;
    *number = numberText.toLongLong(&isNumber);
    const qsizetype hashed = spans[11].begin - 1;
    Sha256Hex(data, hashed, walk.own);
    return isNumber && *number == expected && numberText == QByteArray::number(*number) &&
           std::memcmp(data + spans[10].begin, walk.last.constData(), kHashLength) == 0 &&
           std::memcmp(data + spans[11].begin, walk.own, kHashLength) == 0;
}

// A line that is no record at all: torn when it is the unfinished last line,
// damaged otherwise.
void FailNotARecord(JournalCheck* check, LineReader& reader, bool whole, qint64 expected, qint64 lineNumber)
{
    bool more = false;
    {
        QByteArray next;
        bool nextWhole = false;
        more = reader.Next(&next, &nextWhole);
    }
    if (!whole && !more)
        Fail(check, JournalFault::Torn, expected, lineNumber,
             QStringLiteral("строка %1: последняя строка оборвана (запись №%2 не записана целиком)")
                 .arg(lineNumber)
                 .arg(expected));
    else
        Fail(check, JournalFault::Damaged, expected, lineNumber,
             QStringLiteral("строка %1: не запись журнала (на месте записи №%2)").arg(lineNumber).arg(expected));
}

// The first record that does not fit the chain; the line after it tells
// what happened to it.
void FailMisfit(JournalCheck* check, LineReader& reader, const ChainWalk& walk, const QList<QByteArray>& fields,
                qint64 number, qint64 expected, bool ownFits)
{
    const qint64 lineNumber = walk.lineNumber;
    QByteArray next;
    bool nextWhole = false;
    QList<QByteArray> nextFields;
    qint64 nextNumber = 0;
    const bool nextIsRecord = reader.Next(&next, &nextWhole) && ParseRecord(next, nextWhole, &nextFields, &nextNumber);
    const bool nextIsExpected = nextIsRecord && nextNumber == expected && nextFields[10] == walk.last;
    if (number == expected - 1 && number >= 1 && fields[10] == walk.beforeLast && ownFits)
        // Two lines claim the same place; the chain cannot tell which came first.
        Fail(check, JournalFault::Inserted, number, lineNumber,
             QStringLiteral("строка %1: запись №%2 встречается дважды (одна из двух вставлена)")
                 .arg(lineNumber)
                 .arg(number));
    else if (nextIsExpected && number != expected + 1)
        Fail(check, JournalFault::Inserted, expected, lineNumber,
             QStringLiteral("строка %1: вставлена строка перед записью №%2").arg(lineNumber).arg(expected));
    else if (number == expected + 1 && nextIsExpected)
        Fail(check, JournalFault::Reordered, expected, lineNumber,
             QStringLiteral("строка %1: записи №%2 и №%3 переставлены").arg(lineNumber).arg(expected).arg(number));
    else if (number > expected)
        Fail(check, JournalFault::Removed, expected, lineNumber,
             number == expected + 1
                 ? QStringLiteral("строка %1: запись №%2 удалена").arg(lineNumber).arg(expected)
                 : QStringLiteral("строка %1: записи №%2–№%3 удалены").arg(lineNumber).arg(expected).arg(number - 1));
    else if (number < expected)
        Fail(check, JournalFault::Inserted, expected, lineNumber,
             QStringLiteral("строка %1: на месте записи №%2 стоит №%3 (вставлена или переставлена)")
                 .arg(lineNumber)
                 .arg(expected)
                 .arg(number));
    else if (!ownFits)
        Fail(check, JournalFault::Changed, expected, lineNumber,
             QStringLiteral("строка %1: запись №%2 изменена (хеш не совпадает)").arg(lineNumber).arg(expected));
    else
        Fail(check, JournalFault::Changed, expected, lineNumber,
             QStringLiteral("строка %1: запись №%2 не продолжает цепочку (она или запись перед ней изменена)")
                 .arg(lineNumber)
                 .arg(expected));
}

}  // namespace

namespace {

// How a journal re-saved by another program differs from one this program
// wrote: its byte-order mark dropped, its CR LF turned into LF. Neither is
// hashed, so the records can still be checked in the file's original form.
struct Resaved {
    bool bomRemoved = false;
    bool lineEndsConverted = false;
};

Resaved ResavedForm(QIODevice& file)
{
    Resaved form;
    const QByteArray head = file.peek(kBom.size() + kFirstLineStart.size() + kHashLength + 2);
    const bool bom = head.startsWith(kBom);
    if (!bom && head.startsWith(kFirstLineStart))
        form.bomRemoved = true;
    else if (!bom)
        return form;
    const qsizetype lineEnd = head.indexOf('\n');
    form.lineEndsConverted = lineEnd > 0 && head.at(lineEnd - 1) != '\r';
    return form;
}

JournalCheck CheckJournalDevice(QIODevice& file, const std::function<void(const JournalRecord&)>& each);

}  // namespace

JournalCheck CheckJournal(const QString& path, const std::function<void(const JournalRecord&)>& each)
{
    JournalCheck check;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Fail(&check, JournalFault::Unreadable, 0, 0, QStringLiteral("не открывается: %1").arg(file.errorString()));
        return check;
    }
    const Resaved form = ResavedForm(file);
    if (!form.bomRemoved && !form.lineEndsConverted)
        return CheckJournalDevice(file, each);
    // Put back in the form it was written in, the records are checked all
    // the same; the file is named for what was done to it.
    QByteArray bytes = file.readAll();
    if (form.lineEndsConverted)
        bytes.replace("\n", "\r\n");
    if (form.bomRemoved)
        bytes.prepend(kBom);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    check = CheckJournalDevice(buffer, each);
    QStringList done;
    if (form.bomRemoved)
        done << QStringLiteral("метка порядка байтов (BOM) удалена");
    if (form.lineEndsConverted)
        done << QStringLiteral("концы строк CR LF заменены на LF");
    const QString what = QStringLiteral("файл пересохранён другой программой: %1").arg(done.join(QStringLiteral(", ")));
    const QString records = check.ok ? QStringLiteral("записи №1–№%1 цепочке соответствуют").arg(check.records)
                                     : check.problem;
    Fail(&check, form.bomRemoved ? JournalFault::ByteOrderMarkRemoved : JournalFault::LineEndsConverted,
         check.ok ? 0 : check.badRecord, check.ok ? 0 : check.badLine,
         QStringLiteral("%1; %2").arg(what, records));
    return check;
}

namespace {

JournalCheck CheckJournalDevice(QIODevice& file, const std::function<void(const JournalRecord&)>& each)
{
    JournalCheck check;
    LineReader reader(file);
    if (!CheckJournalHead(reader, &check))
        return check;
    ChainWalk walk;
    walk.last = check.startValue.toLatin1();
    QList<QByteArray> fields;
    const char* data = nullptr;
    qsizetype size = 0;
    bool whole = false;
    while (reader.Next(&data, &size, &whole)) {
        ++walk.lineNumber;
        const qint64 expected = check.records + 1;
        qint64 number = 0;
        if (FitsInPlace(data, size, whole, expected, walk, &number)) {
            check.records = number;
            walk.beforeLast = walk.last;
            walk.last = QByteArray(walk.own, kHashLength);
            if (each)
                each(RecordFromSpans(data, walk.spans, number));
            continue;
        }
        const QByteArray line(data, size);
        if (!ParseRecord(line, whole, &fields, &number)) {
            // The file begun after the break continues from here.
            check.lastHash = QString::fromLatin1(walk.last);
            FailNotARecord(&check, reader, whole, expected, walk.lineNumber);
            return check;
        }
        // The hashed part: the line up to the comma before the hash.
        const QByteArray hashed = line.left(line.size() - 1 - 1 - kHashLength);
        const bool ownFits = QCryptographicHash::hash(hashed, QCryptographicHash::Sha256).toHex() == fields[11];
        if (number == expected && ownFits && fields[10] == walk.last) {
            check.records = number;
            walk.beforeLast = walk.last;
            walk.last = fields[11];
            if (each)
                each(RecordFromFields(fields, number));
            continue;
        }
        check.lastHash = QString::fromLatin1(walk.last);
        FailMisfit(&check, reader, walk, fields, number, expected, ownFits);
        return check;
    }
    check.lastHash = QString::fromLatin1(walk.last);
    auto* onDisk = qobject_cast<QFileDevice*>(&file);
    if (onDisk && onDisk->error() != QFileDevice::NoError) {
        Fail(&check, JournalFault::Unreadable, check.records + 1, walk.lineNumber,
             QStringLiteral("ошибка чтения: %1").arg(file.errorString()));
        return check;
    }
    check.ok = true;
    return check;
}

}  // namespace

std::vector<JournalRecord> FilterJournalRecords(const std::vector<JournalRecord>& records, const QString& chamber,
                                                const QDate& day)
{
    const QString dayText = day.isValid() ? day.toString(Qt::ISODate) : QString();
    std::vector<JournalRecord> kept;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (!chamber.isEmpty() && it->chamber != chamber)
            continue;
        if (!dayText.isEmpty() && !it->local.startsWith(dayText))
            continue;
        kept.push_back(*it);
    }
    return kept;
}

constexpr int kHeadDigits = 16;

bool ParseJournalHead(const QString& text, JournalHead* head)
{
    const int colon = text.indexOf(u':');
    if (colon <= 0)
        return false;
    bool ok = false;
    const qint64 records = text.left(colon).toLongLong(&ok);
    const QByteArray hash = text.mid(colon + 1).trimmed().toLower().toLatin1();
    // The endpoint's head carries the hash's first 16 digits; the recorder's log all 64.
    const bool hex = std::all_of(hash.begin(), hash.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
    if (!ok || records < 1 || !hex || hash.size() < kHeadDigits || hash.size() > kHashLength)
        return false;
    head->records = records;
    head->lastHash = QString::fromLatin1(hash);
    return true;
}

JournalCheck CheckJournalAgainstHead(const QString& path, const JournalHead& head)
{
    QString hashAtHead;
    JournalCheck check = CheckJournal(path, [&](const JournalRecord& r) {
        if (r.number == head.records)
            hashAtHead = r.hash;
    });
    if (!check.ok)
        return check;
    if (check.records < head.records) {
        Fail(&check, JournalFault::HeadMissing, check.records + 1, 0,
             check.records + 1 == head.records
                 ? QStringLiteral("последняя запись №%1 удалена (внешняя голова: запись №%1)").arg(head.records)
                 : QStringLiteral("записи №%1–№%2 удалены с конца (внешняя голова: запись №%2)")
                       .arg(check.records + 1)
                       .arg(head.records));
    } else if (!hashAtHead.startsWith(head.lastHash)) {
        Fail(&check, JournalFault::HeadForged, head.records, 0,
             QStringLiteral("запись №%1 не та, что во внешней голове (хеш %2 вместо %3): записи переписаны и хеши "
                            "пересчитаны")
                 .arg(head.records)
                 .arg(hashAtHead, head.lastHash));
    } else if (check.records > head.records) {
        Fail(&check, JournalFault::BeyondHead, head.records + 1, 0,
             check.records == head.records + 1
                 ? QStringLiteral("запись №%1 после внешней головы не подтверждена (добавлена позже или подделана)")
                       .arg(head.records + 1)
                 : QStringLiteral("записи №%1–№%2 после внешней головы не подтверждены (добавлены позже или подделаны)")
                       .arg(head.records + 1)
                       .arg(check.records));
    }
    return check;
}

int VerifyJournalFiles(const QStringList& arguments, QTextStream& out)
{
    QStringList files;
    QString headText;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--head")) {
            if (i + 1 >= arguments.size()) {
                out << "calvetra --verify-journal FILE… --head N:HASH: no head given\n";
                return 1;
            }
            headText = arguments[++i];
        } else {
            files << arguments[i];
        }
    }
    if (files.isEmpty()) {
        out << "calvetra --verify-journal FILE… [--head N:HASH]: no file given\n";
        return 1;
    }
    JournalHead head;
    if (!headText.isEmpty() && !ParseJournalHead(headText, &head)) {
        out << QStringLiteral("--head %1: ожидается НОМЕР:ХЕШ (номер записи и 64 шестнадцатеричные цифры)").arg(headText)
            << '\n';
        return 1;
    }
    bool whole = true;
    QString before;
    for (int i = 0; i < files.size(); ++i) {
        const QString& name = files[i];
        // The head is the newest file's: the one given last.
        const bool againstHead = head.records > 0 && i == files.size() - 1;
        const JournalCheck check = againstHead ? CheckJournalAgainstHead(name, head) : CheckJournal(name);
        if (!check.ok) {
            out << name << ": " << QStringLiteral("НАРУШЕН") << ", " << check.problem << '\n';
            whole = false;
            before.clear();
            continue;
        }
        if (!before.isEmpty() && check.startValue != before) {
            out << name << ": " << QStringLiteral("НАРУШЕН")
                << QStringLiteral(", начальное значение не равно последнему хешу предыдущего файла") << '\n';
            whole = false;
        } else {
            out << name << ": " << QStringLiteral("цел, записей %1, последний хеш %2").arg(check.records).arg(check.lastHash);
            if (againstHead)
                out << QStringLiteral(", совпадает с внешней головой");
            out << '\n';
        }
        before = check.lastHash;
    }
    out.flush();
    return whole ? 0 : 1;
}

JournalRecord AppendJournal(const QString& folder, const JournalEntry& entry, const QDateTime& now)
{
    const QDateTime when = now.isValid() ? now : QDateTime::currentDateTime();
    const JournalLock lock(folder);
    const QString current = JournalFileName(folder);
    Tail tail = ReadTail(current);
    if (tail.exists && !tail.empty && !tail.sound) {
        // Torn or foreign at its end: never written over, set aside instead.
        SetAsideBroken(folder, CheckJournal(current), when, nullptr);
        tail = ReadTail(current);
    }
    const QString month = when.toLocalTime().toString(QStringLiteral("yyyy-MM"));
    // Only a later month begins a new file: a record kept from before the
    // turn of the month and written after another copy's first record of the
    // new one stays in the current file.
    if (tail.sound && !tail.lastLocal.isEmpty() && tail.lastLocal.left(7) < month) {
        const QDate last = QDate::fromString(tail.lastLocal.left(7) + QStringLiteral("-01"), Qt::ISODate);
        RenameOrRefuse(current, FreeName(JournalMonthFileName(folder, last.year(), last.month())));
        SyncFolder(folder);
        const QString start = tail.lastHash;
        tail = Tail();
        tail.lastHash = start;
    }
    QByteArray bytes;
    bool create = false;
    if (!tail.sound) {
        // A new file: the last month's head when its file is there, else random.
        QString start = tail.lastHash;
        if (start.isEmpty()) {
            const QString previous = NewestMonthFile(folder);
            if (!previous.isEmpty()) {
                const Tail t = ReadTail(previous);
                if (t.sound)
                    start = t.lastHash;
            }
        }
        if (start.isEmpty())
            start = RandomStart();
        bytes = kBom + FirstLines(start).toUtf8();
        tail.lastHash = start;
        tail.lastNumber = 0;
        // An empty file (made by hand, or left by a failed start) is begun in place.
        create = !tail.exists;
    }
    JournalRecord record = MakeRecord(entry, when, tail.lastNumber + 1, tail.lastHash);
    bytes += JournalRecordLine(record);
    AppendBytes(current, bytes, create);
    if (create)
        SyncFolder(folder);
    return record;
}

JournalCheck CheckJournalAtStart(const QString& folder, QString* setAside, const QDateTime& now)
{
    const QString current = JournalFileName(folder);
    if (!QFileInfo::exists(current)) {
        JournalCheck none;
        none.ok = true;
        return none;
    }
    const JournalLock lock(folder);
    JournalCheck check = CheckJournal(current);
    if (!check.ok && check.fault != JournalFault::Unreadable)
        SetAsideBroken(folder, check, now.isValid() ? now : QDateTime::currentDateTime(), setAside);
    return check;
}

QString JournalBreakMessage(const JournalCheck& check, const QString& setAside)
{
    if (check.ok)
        return {};
    QString text = QStringLiteral("Журнал действий нарушен: %1.").arg(check.problem);
    if (!setAside.isEmpty())
        text += QStringLiteral(" Файл сохранён как «%1», начат новый.").arg(QFileInfo(setAside).fileName());
    return text;
}

JournalHead ReadJournalHead(const QString& folder)
{
    JournalHead head;
    const Tail tail = ReadTail(JournalFileName(folder));
    if (tail.sound) {
        head.records = tail.lastNumber;
        head.lastHash = tail.lastHash;
    }
    return head;
}

void SetJournalFolder(const QString& folder)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_folder = folder;
}

QString JournalFolder()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_folder;
}

void SetJournalIdentityForTests(const QString& operatorName, const QString& computer)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_operatorOverride = operatorName;
    g_computerOverride = computer;
}

void KeepJournalRecord(const JournalEntry& entry, const QDateTime& when)
{
    std::lock_guard<std::mutex> lock(g_keptMutex);
    g_kept.push_back({entry, when.isValid() ? when : QDateTime::currentDateTime()});
}

namespace {
void NoteFailure(const QString& failure)
{
    std::lock_guard<std::mutex> lock(g_keptMutex);
    g_writeFailure = failure;
}
}  // namespace

namespace {
// Runs under g_writeMutex.
int WriteKeptLocked(const QString& folder)
{
    int written = 0;
    for (;;) {
        KeptJournalRecord next;
        {
            std::lock_guard<std::mutex> lock(g_keptMutex);
            if (g_kept.empty()) {
                g_writeFailure.clear();
                return written;
            }
            next = g_kept.front();
        }
        try {
            AppendJournal(folder, next.entry, next.when);
        } catch (const EInOutError& error) {
            NoteFailure(QString::fromStdString(error.text));
            throw;
        }
        std::lock_guard<std::mutex> lock(g_keptMutex);
        g_kept.erase(g_kept.begin());
        ++written;
    }
}
}  // namespace

int WriteKeptJournal(const QString& folder)
{
    const std::lock_guard<std::mutex> writer(g_writeMutex);
    return WriteKeptLocked(folder);
}

JournalRecord AppendAfterKeptJournal(const QString& folder, const JournalEntry& entry, const QDateTime& when)
{
    const std::lock_guard<std::mutex> writer(g_writeMutex);
    WriteKeptLocked(folder);
    try {
        return AppendJournal(folder, entry, when);
    } catch (const EInOutError& error) {
        NoteFailure(QString::fromStdString(error.text));
        throw;
    }
}

bool AppendOrKeepJournal(const QString& folder, const JournalEntry& entry, const QDateTime& when, QString* failure)
{
    const QDateTime at = when.isValid() ? when : QDateTime::currentDateTime();
    const std::lock_guard<std::mutex> writer(g_writeMutex);
    try {
        WriteKeptLocked(folder);
        AppendJournal(folder, entry, at);
        return true;
    } catch (const EInOutError& error) {
        NoteFailure(QString::fromStdString(error.text));
        KeepJournalRecord(entry, at);
        if (failure)
            *failure = QString::fromStdString(error.text);
        return false;
    }
}

std::vector<KeptJournalRecord> KeptJournalRecords()
{
    std::lock_guard<std::mutex> lock(g_keptMutex);
    return g_kept;
}

int KeptJournalCount()
{
    std::lock_guard<std::mutex> lock(g_keptMutex);
    return static_cast<int>(g_kept.size());
}

QString JournalWriteFailure()
{
    std::lock_guard<std::mutex> lock(g_keptMutex);
    return g_writeFailure;
}

void ForgetKeptJournal()
{
    std::lock_guard<std::mutex> lock(g_keptMutex);
    g_kept.clear();
    g_writeFailure.clear();
}

bool JournalActionNeedsRecord(JournalAction action)
{
    switch (action) {
    case JournalAction::ProgramWrite:
    case JournalAction::SetPointWrite:
    case JournalAction::Start:
    case JournalAction::AlarmSettings:
    case JournalAction::DeviationArming:
    case JournalAction::Signature:
    case JournalAction::ChangeReason:
    case JournalAction::ReasonRequirement:
    case JournalAction::SignedProgramChange:
        return true;
    case JournalAction::Stop:
    case JournalAction::PortOpen:
    case JournalAction::PortClose:
    case JournalAction::ReadingOn:
    case JournalAction::ReadingOff:
    case JournalAction::LoggingOn:
    case JournalAction::LoggingOff:
    case JournalAction::AlarmAcknowledge:
    case JournalAction::ProgramLoad:
    case JournalAction::ProgramSave:
    case JournalAction::ChainBreak:
    case JournalAction::ChamberSelect:
    case JournalAction::RecorderStart:
    case JournalAction::RecorderStop:
    case JournalAction::ConfigurationRead:
    case JournalAction::LineLost:
    case JournalAction::LineBack:
    case JournalAction::ControlRefused:
    case JournalAction::WatchAdd:
    case JournalAction::SignatureFailure:
    case JournalAction::ReportWritten:
        return false;
    }
    return true;
}

QString JournalOutcomeRefused() { return QStringLiteral("не выполнено: журнал действий не записывается"); }
