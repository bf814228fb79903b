#include "link/PortUnit.h"
#include "link/PortHolder.h"

#include "link/ReceiveThread.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int PortHandle = kNoPort;

std::string PortOpenResult::Message() const
{
    const std::string where = portName + " (" + devicePath + ")";
    const std::string reason = std::strerror(error);
    switch (error) {
    case EACCES:
    case EPERM:
        return "Нет доступа к порту " + where + ": " + reason +
               ". Работать с портами может участник группы dialout: выполните "
               "«sudo usermod -aG dialout $USER» и войдите в систему заново";
    case EBUSY: {
        // Also what a lock or an exclusive flag held elsewhere comes to.
        const std::string inUse = "порт уже используется (" + reason + "). Закройте её и откройте порт снова";
        if (holderPid > 0)
            return "Порт " + where + " занят программой " + holderName + " (pid " + std::to_string(holderPid) +
                   "): " + inUse;
        return "Порт " + where + " занят другой программой: " + inUse;
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "Порт " + where + " не найден: адаптер не подключён (" + reason +
               "). Подключите адаптер и откройте порт снова";
    default:
        return "Не удалось открыть порт " + where + ": " + reason;
    }
}

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
