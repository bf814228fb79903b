// A folder no one may write into for a test's duration.
#pragma once

#include <QFile>
#include <QString>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// A folder no one may write into, root included (the immutable flag); false
// when this system does not allow making one.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString& path) : m_path(QFile::encodeName(path))
    {
        ::chmod(m_path.constData(), 0555);
        if (::geteuid() != 0) {
            m_ok = true;
            return;
        }
        const int fd = ::open(m_path.constData(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            m_ok = m_immutable = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0)
            ::close(fd);
    }
    ~ReadOnlyFolder()
    {
        if (m_immutable) {
            const int fd = ::open(m_path.constData(), O_RDONLY | O_DIRECTORY);
            int flags = 0;
            if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0)
                ::close(fd);
        }
        ::chmod(m_path.constData(), 0755);
    }
    bool ok() const { return m_ok; }

private:
    QByteArray m_path;
    bool m_ok = false;
    bool m_immutable = false;
};

