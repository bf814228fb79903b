#include "monitoring/DataLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <unistd.h>

#include "monitoring/HandlerErrors.h"

namespace {

QString g_folderOverride;

// Every log name taken in this process (address filled in), and by whom.
QHash<QString, LogWriter> g_claimedLogNames;

[[noreturn]] void Fail(const QString& message) { throw EInOutError(message.toStdString()); }

[[noreturn]] void FailWithErrno(int error) { Fail(IoErrorMessage(error)); }

// The file's own name, after the folder.
qsizetype NameStart(const QString& fileName) { return fileName.lastIndexOf(u'/') + 1; }

// Length of the UTF-8 sequence that starts with lead, at most left.
size_t SequenceLength(unsigned char lead, size_t left)
{
    size_t n = 1;
    if (lead >= 0xF0)
        n = 4;
    else if (lead >= 0xE0)
        n = 3;
    else if (lead >= 0xC0)
        n = 2;
    return n < left ? n : left;
}

}  // namespace

QString LogHeaderStart() { return QStringLiteral("Системное время;"); }

QString LogHeaderText()
{
    return LogHeaderStart() +
           QStringLiteral("    Текущая температура,°C;    Текущая влажность, %;    "
                          "Текущая программа;    Текущий шаг(всего шагов);    Текущий цикл(всего циклов);") +
           QStringLiteral("\r\n");
}

QString ProgramFolder()
{
    QString folder = g_folderOverride;
    if (folder.isEmpty()) {
        char path[4096];
        const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
        if (n > 0) {
            const QString exe = QString::fromUtf8(path, static_cast<qsizetype>(n));
            folder = exe.left(exe.lastIndexOf(u'/') + 1);
        } else if (QCoreApplication::instance()) {
            folder = QCoreApplication::applicationDirPath();
        }
    }
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

QString ChooseLogFolder(const QString& programFolder, bool exists, bool writable, const QString& documentsFolder)
{
    if (!exists || writable || documentsFolder.isEmpty())
        return programFolder;
    return documentsFolder.endsWith(u'/') ? documentsFolder : documentsFolder + u'/';
}

QString LogFolder()
{
    const QString program = ProgramFolder();
    const QByteArray path = QFile::encodeName(program);
    const bool exists = ::access(path.constData(), F_OK) == 0;
    const bool writable = ::access(path.constData(), W_OK) == 0;
    if (!exists || writable)
        return program;
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    QDir().mkpath(documents);
    return ChooseLogFolder(program, exists, writable, documents);
}

void SetProgramFolderForTests(const QString& folder) { g_folderOverride = folder; }

QString MakeLogFileName(const QString& folder, const QString& dateText, const QString& timeText)
{
    QString moment = dateText + u' ' + timeText;
    // A "/" of a date such as 12/09/2026 would make the name a path into
    // folders that do not exist.
    moment.replace(u':', u'_');
    moment.replace(u'/', u'_');
    return folder + QStringLiteral("КТХ№") + u'>' + u' ' + moment + QStringLiteral(".txt");
}

QString FillAddressPlaceholder(const QString& fileName, int address)
{
    const qsizetype start = NameStart(fileName);
    return fileName.left(start) + fileName.mid(start).replace(u'>', QString::number(address));
}

bool HoldsAddressPlaceholder(const QString& fileName) { return fileName.mid(NameStart(fileName)).contains(u'>'); }

QString ClaimLogFileName(const QString& fileName, int address, LogWriter writer)
{
    // A name claimed before under another address may carry its number
    // already; the count starts again from the plain name.
    static const QRegularExpression numbered(QStringLiteral(" \\(\\d+\\)\\.txt$"));
    QString plain = fileName;
    const auto match = numbered.match(plain.mid(NameStart(plain)));
    if (match.hasMatch())
        plain = plain.left(NameStart(plain) + match.capturedStart()) + QStringLiteral(".txt");
    const bool endsInTxt = plain.endsWith(QStringLiteral(".txt"));
    const QString stem = endsInTxt ? plain.chopped(4) : plain;
    const QString extension = endsInTxt ? QStringLiteral(".txt") : QString();
    for (int n = 1;; ++n) {
        const QString candidate = n == 1 ? plain : stem + QStringLiteral(" (%1)").arg(n) + extension;
        const QString filled = FillAddressPlaceholder(candidate, address);
        const auto taken = g_claimedLogNames.constFind(filled);
        if (taken != g_claimedLogNames.cend()) {
            if (*taken == writer)
                return candidate;
            continue;
        }
        if (QFile::exists(filled))
            continue;
        g_claimedLogNames.insert(filled, writer);
        return candidate;
    }
}

void ForgetClaimedLogNamesForTests() { g_claimedLogNames.clear(); }

QByteArray ToLogCodePage(const QString& text)
{
    QByteArray in = text.toUtf8();
    QByteArray out;
    // One byte per character at most: the UTF-8 text is never shorter.
    out.resize(in.size() + 1);
    iconv_t cd = ::iconv_open("WINDOWS-1251", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        FailWithErrno(errno);
    char* src = in.data();
    size_t srcLeft = static_cast<size_t>(in.size());
    char* dst = out.data();
    size_t dstLeft = static_cast<size_t>(out.size());
    while (srcLeft > 0) {
        if (::iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1))
            break;
        if (errno != EILSEQ && errno != EINVAL) {
            const int error = errno;
            ::iconv_close(cd);
            FailWithErrno(error);
        }
        // A character the code page lacks: "?" for the whole character.
        const size_t skip = SequenceLength(static_cast<unsigned char>(*src), srcLeft);
        *dst++ = '?';
        --dstLeft;
        src += skip;
        srcLeft -= skip;
    }
    ::iconv_close(cd);
    out.resize(static_cast<qsizetype>(dst - out.data()));
    return out;
}

bool WriteAll(int fd, const char* bytes, qsizetype size, int* error)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        if (n == 0) {
            *error = EIO;
            return false;
        }
        bytes += n;
        size -= n;
    }
    return true;
}

QString IoErrorMessage(int error)
{
    if (error > 0) {
        const char* text = std::strerror(error);
        if (text && *text)
            return QString::fromLocal8Bit(text);
    }
    return QStringLiteral("I/O error %1").arg(error);
}
