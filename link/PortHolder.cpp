#include "link/PortHolder.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool AllDigits(const char* text)
{
    if (!*text)
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

}  // namespace

PortHolder FindPortHolder(const std::string& devicePath, const std::string& procRoot)
{
    PortHolder holder;
    // Compare devices, not names: the holder may have opened /dev/ttyUSB0
    // while the operator picked its by-id link.
    struct stat device{};
    if (::stat(devicePath.c_str(), &device) != 0 || !S_ISCHR(device.st_mode))
        return holder;
    DIR* proc = ::opendir(procRoot.c_str());
    if (!proc)
        return holder;
    const int self = static_cast<int>(::getpid());
    while (dirent* entry = ::readdir(proc)) {
        if (!AllDigits(entry->d_name))
            continue;
        const int pid = std::atoi(entry->d_name);
        if (pid == self)
            continue;
        const std::string fdDir = procRoot + "/" + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds)
            continue;  // gone meanwhile, or another user's process
        bool holds = false;
        while (dirent* fd = ::readdir(fds)) {
            if (!AllDigits(fd->d_name))
                continue;
            struct stat target{};
            if (::stat((fdDir + "/" + fd->d_name).c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
                target.st_rdev == device.st_rdev) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (!holds)
            continue;
        holder.pid = pid;
        std::ifstream comm(procRoot + "/" + entry->d_name + "/comm");
        std::getline(comm, holder.name);
        if (holder.name.empty())
            holder.name = "?";
        break;
    }
    ::closedir(proc);
    return holder;
}
