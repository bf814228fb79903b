#include "support/OpenFiles.h"

#include <QDir>
#include <QFileInfo>

namespace {

template <typename Match>
int CountDescriptors(Match&& match)
{
    int n = 0;
    const auto fds = QDir("/proc/self/fd").entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& fd : fds)
        if (match(fd.symLinkTarget()))
            ++n;
    return n;
}

}  // namespace

int DescriptorsOn(const QString& target)
{
    return CountDescriptors([&](const QString& path) { return path == target; });
}

int DescriptorsUnder(const QString& folder)
{
    QString root = QFileInfo(folder).canonicalFilePath();
    if (root.isEmpty())
        return 0;  // nothing there to hold open
    if (!root.endsWith(u'/'))
        root += u'/';
    return CountDescriptors([&](const QString& path) { return path.startsWith(root); });
}
