// A file size limit for the test process.
#pragma once

#include <csignal>
#include <sys/resource.h>

// A file size limit for this process, with SIGXFSZ ignored so that a write
// past it fails with EFBIG instead of ending the process. Both are restored
// at once: other files of the test run must not meet the limit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &m_oldAction);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_ok = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        ::sigaction(SIGXFSZ, &m_oldAction, nullptr);
    }
    bool ok() const { return m_ok; }

private:
    rlimit m_old{};
    struct sigaction m_oldAction {};
    bool m_ok = false;
};
