// Which program holds a serial device open, as /proc tells it.
#pragma once

#include <string>

struct PortHolder {
    int pid = 0;       // 0: none found (or not visible to this user)
    std::string name;  // the process name (/proc/<pid>/comm)
};

// The first other process with a descriptor on the device (symlinks such as
// /dev/serial/by-id/... are followed). procRoot is for tests.
PortHolder FindPortHolder(const std::string& devicePath, const std::string& procRoot = "/proc");
