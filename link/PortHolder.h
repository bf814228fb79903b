// What the system knows about a serial device that would not open: which
// program holds its lock, and who may open it.
#pragma once

#include <string>

struct PortHolder {
    int pid = 0;       // 0: none found (or not visible to this user)
    std::string name;  // the process name (/proc/<pid>/comm)
};

// The process holding a lock on the device (flock, POSIX or open-file-
// description lock, as /proc/locks lists it), matched by the device node's
// file system and inode, so links such as /dev/serial/by-id/... match too.
// A process that merely has the device open (the other end of a
// pseudo-terminal, a monitor) holds no lock and is never named; neither is
// this process. procRoot is for tests.
PortHolder FindPortHolder(const std::string& devicePath, const std::string& procRoot = "/proc");

struct DeviceAccess {
    bool known = false;        // the device could be looked at
    std::string owner;         // user name, or the number when it has none
    std::string group;         // group name, or the number
    bool groupMayOpen = false; // the group has read and write permission
};

// Owner, group and the group's permissions of the device (links followed).
DeviceAccess DeviceAccessOf(const std::string& devicePath);
