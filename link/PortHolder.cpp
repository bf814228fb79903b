#include "link/PortHolder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

PortHolder FindPortHolder(const std::string& devicePath, const std::string& procRoot)
{
    PortHolder holder;
    // The lock sits on the node's inode: compare the file system and inode
    // of the node the path leads to, not names.
    struct stat device{};
    if (::stat(devicePath.c_str(), &device) != 0 || !S_ISCHR(device.st_mode))
        return holder;
    std::ifstream locks(procRoot + "/locks");
    const int self = static_cast<int>(::getpid());
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4321 00:05:123 0 EOF"; a waiter's line
        // carries "->" after the number and holds nothing.
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        fields >> number >> kind;
        if (kind == "->")
            continue;
        fields >> mode >> access >> pid >> where;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3)
            continue;
        if (major != ::major(device.st_dev) || minor != ::minor(device.st_dev) ||
            inode != static_cast<unsigned long long>(device.st_ino))
            continue;
        const int lockPid = std::atoi(pid.c_str());
        // An open file description's lock shows no process (-1).
        if (lockPid <= 0 || lockPid == self)
            continue;
        holder.pid = lockPid;
        std::ifstream comm(procRoot + "/" + pid + "/comm");
        std::getline(comm, holder.name);
        if (holder.name.empty())
            holder.name = "?";
        break;
    }
    return holder;
}

DeviceAccess DeviceAccessOf(const std::string& devicePath)
{
    DeviceAccess access;
    struct stat device{};
    if (::stat(devicePath.c_str(), &device) != 0)
        return access;
    access.known = true;
    const passwd* user = ::getpwuid(device.st_uid);
    access.owner = user ? user->pw_name : std::to_string(device.st_uid);
    const group* g = ::getgrgid(device.st_gid);
    access.group = g ? g->gr_name : std::to_string(device.st_gid);
    access.groupMayOpen = (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    return access;
}
