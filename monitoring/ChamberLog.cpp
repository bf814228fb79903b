#include "monitoring/ChamberLog.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monitoring/LocaleText.h"
#include "monitoring/Presentation.h"

QString ChamberRecordLine(const std::tm& when, const StatusView& view)
{
    return RecordLine(LongTimeText(when), view.currentTempText, view.currentHumidityText, view.programText,
                      view.stepText, view.cycleText);
}

QString NewLogFileName(const QString& folder, const std::tm& now, int address, LogWriter writer)
{
    // One reading of the clock, so the date and the time belong together.
    return ClaimLogFileName(MakeLogFileName(folder, ShortDateText(now), LongTimeText(now)), address, writer);
}

ChamberLog::ChamberLog(QString folder, int address)
    : m_folder(std::move(folder)), m_address(address), m_writer(LogWriter::Recorder)
{
}

ChamberLog::ChamberLog(LogWriter writer, int address) : m_address(address), m_writer(writer) {}

void ChamberLog::SetFileName(const QString& fileName)
{
    if (fileName == m_fileName)
        return;
    m_fileName = fileName;
    m_headerWritten = false;
}

void ChamberLog::Take(const QString& recordLine) { m_record = recordLine; }

bool ChamberLog::Append(const QString& text, bool create, QString* error)
{
    // Linux would take ">" in a name, but it only ever stands for the chamber
    // address that no poll has written in yet: logging to such a name would
    // hide the records in a file nobody looks for.
    if (HoldsAddressPlaceholder(m_fileName)) {
        *error = QStringLiteral("Недопустимое имя файла: %1").arg(m_fileName);
        return false;
    }
    // The main window's writes end every text with CR LF of their own.
    const QByteArray bytes = ToLogCodePage(text + QStringLiteral("\r\n"));
    const QByteArray path = m_fileName.toUtf8();
    // The recorder's files are its own; the desktop's as the operator's umask makes them.
    const mode_t mode = m_writer == LogWriter::Recorder ? 0644 : 0666;
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0), mode);
    if (fd < 0) {
        *error = IoErrorMessage(errno);
        return false;
    }
    struct stat before {};
    const bool regular = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
    int failure = 0;
    bool ok = WriteAll(fd, bytes.constData(), bytes.size(), &failure);
    // On the disk before it counts as written: a lab PC loses its power too,
    // and the recorder runs with nobody watching. The desktop's windows write
    // from the event loop, which a slow disk must not hold up.
    if (ok && m_writer == LogWriter::Recorder && ::fsync(fd) != 0) {
        failure = errno;
        ok = false;
    }
    // Part of a record is worse than none: a reader would take it for one.
    if (!ok && regular)
        [[maybe_unused]] const int undone = ::ftruncate(fd, before.st_size);
    if (::close(fd) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    if (!ok)
        *error = IoErrorMessage(failure ? failure : EIO);
    return ok;
}

bool ChamberLog::WriteHeader(QString* error)
{
    if (!Append(LogHeaderText(), true, error))
        return false;
    m_headerWritten = true;
    return true;
}

bool ChamberLog::Minute(const std::tm& now, QString* error)
{
    if (m_writer == LogWriter::Recorder)
        return RecorderMinute(now, error);
    // Nothing answered since the line before: the minute stays empty rather
    // than repeating old values under a new minute.
    if (m_record.isEmpty())
        return true;
    if (!Append(m_record, false, error))
        return false;  // kept, with its own time of day, for the next minute
    // Written: the next record needs a new answer.
    m_record.clear();
    return true;
}

bool ChamberLog::RecorderMinute(const std::tm& now, QString* error)
{
    if (!m_record.isEmpty()) {
        if (m_pending.size() >= kMostPending) {
            m_pending.removeFirst();
            ++m_dropped;
        }
        m_pending.append(m_record);
        m_record.clear();
    }
    if (m_fileName.isEmpty()) {
        if (m_pending.isEmpty())
            return true;  // no file for a chamber that never answered
        m_fileName = FillAddressPlaceholder(NewLogFileName(m_folder, now, m_address, m_writer), m_address);
    }
    if (!m_headerWritten && !WriteHeader(error))
        return false;
    while (!m_pending.isEmpty()) {
        if (!Append(m_pending.first(), true, error))
            return false;
        m_pending.removeFirst();
    }
    return true;
}
