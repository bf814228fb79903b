// Port names as the operator picks them and the devices behind them.
#include "link/PortUnit.h"

#include <cstdlib>

namespace {
std::string g_portMapping[5];
}  // namespace

std::string PortNameForIndex(int selectionIndex)
{
    if (selectionIndex < 0 || selectionIndex > 4)
        selectionIndex = 0;
    return "COM" + std::to_string(selectionIndex + 1);
}

std::string DevicePathForPort(const std::string& portName)
{
    const std::string variable = "CALVETRA_" + portName;
    if (const char* overridden = std::getenv(variable.c_str()); overridden && *overridden)
        return overridden;
    // Only "COM1".."COM5" come from the window; anything else is COM1, as an
    // unknown selection is.
    int number = portName.size() > 3 && portName.compare(0, 3, "COM") == 0 ? std::atoi(portName.c_str() + 3) : 1;
    if (number < 1)
        number = 1;
    if (number <= 5 && !g_portMapping[number - 1].empty())
        return g_portMapping[number - 1];
    return "/dev/ttyS" + std::to_string(number - 1);
}

void SetPortMapping(int number, const std::string& devicePath)
{
    if (number >= 1 && number <= 5)
        g_portMapping[number - 1] = devicePath;
}
