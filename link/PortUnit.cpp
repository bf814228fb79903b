#include "link/PortUnit.h"
#include "link/PortHolder.h"

#include "link/ReceiveThread.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int PortHandle = kNoPort;

PortOpenResult OpenPort(int selectionIndex)
{
    const std::string portName = PortNameForIndex(selectionIndex);
    return OpenPortDevice(portName, DevicePathForPort(portName));
}

PortOpenResult OpenPortDevice(const std::string& portName, const std::string& devicePath)
{
    StopReceiveThread();
    CloseSerialDevice(PortHandle);
    PortHandle = kNoPort;
    ResetPortLost();

    const FrameGapSetting gap = FrameGapFromText(std::getenv("CALVETRA_FRAME_GAP_MS"));
    if (!gap.warning.empty())
        std::fprintf(stderr, "calvetra: %s\n", gap.warning.c_str());
    SetFrameGap(gap.us);

    PortOpenResult result;
    result.portName = portName;
    result.devicePath = devicePath;
    PortHandle = OpenSerialDevice(result.devicePath, &result.error);
    result.ok = PortHandle != kNoPort;
    if (!result.ok && result.error == EBUSY) {
        const PortHolder holder = FindPortHolder(result.devicePath);
        result.holderPid = holder.pid;
        result.holderName = holder.name;
    }
    if (!result.ok && (result.error == EACCES || result.error == EPERM))
        result.access = DeviceAccessOf(result.devicePath);

    PurgeInput(PortHandle);
    PurgeOutput(PortHandle);
    StartReceiveThread(PortHandle);
    return result;
}

void ClosePort()
{
    StopReceiveThread();
    CloseSerialDevice(PortHandle);
    PortHandle = kNoPort;
}
