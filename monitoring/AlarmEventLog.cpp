#include "monitoring/AlarmEventLog.h"

#include <QDateTime>
#include <cerrno>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monitoring/Csv.h"
#include "monitoring/DataLog.h"

namespace {

[[noreturn]] void Fail(int error)
{
    throw std::runtime_error(IoErrorMessage(error ? error : EIO).toStdString());
}

QString EventText(AlarmEventType type)
{
    switch (type) {
    case AlarmEventType::Start:
        return QStringLiteral("начало");
    case AlarmEventType::End:
        return QStringLiteral("конец");
    case AlarmEventType::Acknowledge:
        return QStringLiteral("подтверждение");
    }
    return {};
}

QString Number(double v) { return QString::number(v, 'f', 1); }

}  // namespace

QString AlarmEventFileName(const QString& folder)
{
    return (folder.endsWith(u'/') ? folder : folder + u'/') + QStringLiteral("Тревоги.csv");
}

QByteArray AlarmEventHeader()
{
    return QStringLiteral("время,событие,номер,вид,камера,порт,значение,уставка,описание\r\n").toUtf8();
}

QByteArray AlarmEventLine(const AlarmEvent& event, const AlarmPlace& place)
{
    const Alarm& a = event.alarm;
    QString value, setPoint;
    if (a.hasValues) {
        setPoint = Number(a.setPoint);
        if (event.type == AlarmEventType::End)
            value = Number(a.endValue);
        else
            value = Number(a.value);
    } else if (a.kind == AlarmKind::ProgramEnd) {
        value = QString::number(static_cast<int>(a.value));
    }
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(event.time);
    QList<QByteArray> fields{CsvField(when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate)),
                             CsvField(EventText(event.type)),
                             QByteArray::number(a.id),
                             CsvField(AlarmKindText(a.kind)),
                             // A lab-wide alarm is no chamber's.
                             place.chamberAddress >= 0 ? QByteArray::number(place.chamberAddress) : QByteArray(),
                             CsvField(place.port),
                             value.toUtf8(),
                             setPoint.toUtf8(),
                             CsvField(a.text)};
    return fields.join(',') + "\r\n";
}

void AppendAlarmEvent(const QString& fileName, const QByteArray& line)
{
    const QByteArray path = fileName.toUtf8();
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        Fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        Fail(error);
    }
    const off_t before = st.st_size;
    QByteArray bytes;
    if (before == 0) {
        // A spreadsheet takes a CSV without the mark for the ANSI code page
        // and shows the Cyrillic as garbage; a file begun without it stays so.
        bytes = QByteArray("\xEF\xBB\xBF") + AlarmEventHeader();
    } else {
        // A line torn by a crash or a power cut would swallow this one.
        char last = '\n';
        const int rfd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (rfd >= 0) {
            if (::pread(rfd, &last, 1, before - 1) != 1)
                last = '\n';
            ::close(rfd);
        }
        if (last != '\n')
            bytes = "\r\n";
    }
    bytes += line;
    int error = 0;
    if (!WriteAll(fd, bytes.constData(), bytes.size(), &error)) {
        // Take back a partial line so that the file keeps whole lines only.
        if (S_ISREG(st.st_mode) && ::fstat(fd, &st) == 0 && st.st_size > before)
            (void)!::ftruncate(fd, before);
        ::close(fd);
        Fail(error);
    }
    if (::close(fd) != 0)
        Fail(errno);
}
