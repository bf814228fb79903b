#include "monitoring/ChamberLog.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"

ChamberLog::ChamberLog(QString folder, int address) : m_folder(std::move(folder)), m_address(address) {}

void ChamberLog::Take(const QString& recordLine) { m_record = recordLine; }

bool ChamberLog::Append(const QString& text, QString* error)
{
    // The main window's writes end every text with CR LF of their own.
    const QByteArray bytes = ToLogCodePage(text + QStringLiteral("\r\n"));
    const QByteArray path = m_fileName.toLocal8Bit();
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(m_fileName, IoErrorMessage(errno));
        return false;
    }
    struct stat before {};
    ::fstat(fd, &before);
    int failure = 0;
    bool ok = WriteAll(fd, bytes.constData(), bytes.size(), &failure);
    // Part of a record is worse than none: a reader would take it for one.
    // On the disk before it counts as written: a lab PC loses its power too.
    if (ok && ::fsync(fd) != 0) {
        failure = errno;
        ok = false;
    }
    if (!ok)
        [[maybe_unused]] const int undone = ::ftruncate(fd, before.st_size);
    ::close(fd);
    if (!ok)
        *error = QStringLiteral("%1: %2").arg(m_fileName, IoErrorMessage(failure));
    return ok;
}

bool ChamberLog::Minute(const std::tm& now, QString* error)
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
        const QString name = MakeLogFileName(m_folder, ShortDateText(now), LongTimeText(now));
        m_fileName = FillAddressPlaceholder(ClaimLogFileName(name, m_address, LogWriter::Recorder), m_address);
    }
    if (!m_headerWritten) {
        if (!Append(LogHeaderText(), error))
            return false;
        m_headerWritten = true;
    }
    while (!m_pending.isEmpty()) {
        if (!Append(m_pending.first(), error))
            return false;
        m_pending.removeFirst();
    }
    return true;
}
