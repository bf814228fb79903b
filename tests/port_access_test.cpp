// Ports as the operator reaches them: messages of a failed open, the program
// holding a device, the drop-down's entries, remembered choices and the
// operator's COM1..COM5 devices, opened end to end through the simulator.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/PortHolder.h"
#include "link/PortUnit.h"
#include "monitoring/PortList.h"
#include "monitoring/PortMessages.h"
#include "monitoring/PortSettings.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/ErrorDisplay.h"
#include "ui/PortMappingDialog.h"
#include "ui/Startup.h"
#include "ui/main.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A child process that keeps the device open until killed, with the lock
// that programs opening a port exclusively take, or without (as a monitor or
// the other end of a line does); its name is "sleep" once it has exec'd.
pid_t HoldDevice(const std::string& path, bool lock)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0)
            ::dup2(fd, 0);
        if (lock && ::flock(0, LOCK_EX | LOCK_NB) != 0)
            ::_exit(1);
        ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(1);
    }
    return child;
}

// Until the child has become "sleep" (and so holds what it was to hold).
void AwaitSleep(pid_t child)
{
    const std::string comm = "/proc/" + std::to_string(child) + "/comm";
    for (int i = 0; i < 300; ++i) {
        QFile file(QString::fromStdString(comm));
        if (file.open(QIODevice::ReadOnly) && file.readAll().trimmed() == "sleep")
            return;
        ::usleep(10000);
    }
}

void EndChild(pid_t child)
{
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

}  // namespace

TEST(PortOpenMessage, SaysWhatToDoAndKeepsPathAndReason)
{
    struct Case {
        int error;
        int holderPid;
        const char* holderName;
        DeviceAccess access;
        std::vector<std::string> saying;
        std::vector<std::string> notSaying;
    };
    const DeviceAccess dialout{true, "root", "dialout", true};
    const Case cases[] = {
        {EACCES, 0, "", dialout, {"dialout", "sudo usermod -aG dialout $USER"}, {"владелец"}},
        {EPERM, 0, "", dialout, {"dialout"}, {}},
        // The device's real group, not dialout.
        {EACCES, 0, "", {true, "root", "uucp", true}, {"группы uucp", "sudo usermod -aG uucp $USER"}, {"dialout"}},
        // root:root 0600: joining a group would not help.
        {EACCES,
         0,
         "",
         {true, "root", "root", false},
         {"только его владелец (root)", "у группы root нет прав"},
         {"dialout", "usermod"}},
        // Nothing known of the device: no advice that may be wrong.
        {EACCES, 0, "", {}, {"Нет доступа к порту"}, {"dialout", "usermod", "владелец"}},
        {EBUSY, 4321, "minicom", {}, {"занят программой minicom (pid 4321)"}, {}},
        {EBUSY, 0, "", {}, {"занят другой программой"}, {}},
        {ENOENT, 0, "", {}, {"адаптер не подключён"}, {}},
        {ENODEV, 0, "", {}, {"адаптер не подключён"}, {}},
        {EIO, 0, "", {}, {"Не удалось открыть порт"}, {}},
    };
    for (const Case& c : cases) {
        PortOpenResult result;
        result.portName = "FT232R USB UART (ttyUSB0)";
        result.devicePath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10-if00-port0";
        result.error = c.error;
        result.holderPid = c.holderPid;
        result.holderName = c.holderName;
        result.access = c.access;
        const std::string message = PortOpenMessage(result);
        SCOPED_TRACE(message);
        EXPECT_TRUE(Contains(message, result.devicePath));
        EXPECT_TRUE(Contains(message, result.portName));
        EXPECT_TRUE(Contains(message, std::strerror(c.error)));
        for (const std::string& part : c.saying)
            EXPECT_TRUE(Contains(message, part)) << "lacks " << part;
        for (const std::string& part : c.notSaying)
            EXPECT_FALSE(Contains(message, part)) << "says " << part;
        if (c.error != EACCES && c.error != EPERM) {
            EXPECT_FALSE(Contains(message, "dialout"));
        }
    }
}

TEST(DeviceAccess, OwnerGroupAndWhetherTheGroupMayOpen)
{
    // /dev/null: root's, and everybody may read and write it.
    const DeviceAccess null = DeviceAccessOf("/dev/null");
    EXPECT_TRUE(null.known);
    EXPECT_EQ(null.owner, "root");
    EXPECT_EQ(null.group, "root");
    EXPECT_TRUE(null.groupMayOpen);

    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("ttyS9")).toStdString();
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    struct Case {
        mode_t mode;
        bool groupMayOpen;
    };
    for (const Case c : {Case{0600, false}, Case{0640, false}, Case{0620, false}, Case{0660, true}}) {
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        const DeviceAccess access = DeviceAccessOf(path);
        EXPECT_TRUE(access.known);
        EXPECT_EQ(access.groupMayOpen, c.groupMayOpen) << std::oct << c.mode;
        EXPECT_FALSE(access.owner.empty());
        EXPECT_FALSE(access.group.empty());
    }
    EXPECT_FALSE(DeviceAccessOf("/nonexistent/ttyUSB9").known);
}

TEST(PortHolder, NamesTheOtherProcessHoldingTheDevice)
{
    sim::BusSimulator bus;
    std::string error;
    ASSERT_TRUE(bus.Start(&error)) << error;
    // This process holds the simulator's end too; it never names itself.
    EXPECT_EQ(FindPortHolder(bus.SlavePath()).pid, 0);

    const pid_t child = HoldDevice(bus.SlavePath(), true);
    ASSERT_GT(child, 0);
    QTemporaryDir dir;
    const std::string link = dir.filePath(QStringLiteral("usb-adapter")).toStdString();
    ASSERT_EQ(::symlink(bus.SlavePath().c_str(), link.c_str()), 0);
    PortHolder holder;
    // Until the child has opened the device and become "sleep".
    for (int i = 0; i < 200 && holder.name != "sleep"; ++i) {
        holder = FindPortHolder(link);
        ::usleep(10000);
    }
    EXPECT_EQ(holder.pid, child);
    EXPECT_EQ(holder.name, "sleep");
    EndChild(child);
    EXPECT_EQ(FindPortHolder(link).pid, 0);
    // Not a device at all.
    EXPECT_EQ(FindPortHolder(dir.path().toStdString()).pid, 0);
    EXPECT_EQ(FindPortHolder("/nonexistent/ttyUSB9").pid, 0);
}

TEST(PortHolder, TheLocksHolderIsNamedNotAProgramThatMerelyHasItOpen)
{
    sim::BusSimulator bus;
    std::string error;
    ASSERT_TRUE(bus.Start(&error)) << error;
    bus.AddChamber(1);
    // First a program that has the line open without a lock (as the other
    // end of a line or a monitor has it), then the one that took the lock.
    const pid_t opener = HoldDevice(bus.SlavePath(), false);
    ASSERT_GT(opener, 0);
    AwaitSleep(opener);
    const pid_t locker = HoldDevice(bus.SlavePath(), true);
    ASSERT_GT(locker, 0);
    AwaitSleep(locker);

    EXPECT_EQ(FindPortHolder(bus.SlavePath()).pid, locker);
    const PortOpenResult refused = OpenPortDevice("COM1", bus.SlavePath());
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, EBUSY);
    EXPECT_EQ(refused.holderPid, locker);
    EXPECT_TRUE(Contains(PortOpenMessage(refused), "(pid " + std::to_string(locker) + ")"))
        << PortOpenMessage(refused);
    ClosePort();

    // With nobody holding the lock no program is blamed, and the port opens.
    EndChild(locker);
    EXPECT_EQ(FindPortHolder(bus.SlavePath()).pid, 0);
    const PortOpenResult opened = OpenPortDevice("COM1", bus.SlavePath());
    EXPECT_TRUE(opened.ok) << PortOpenMessage(opened);
    ClosePort();
    EndChild(opener);
}

TEST(PortList, ComPortsFirstThenDevicesUnderTheirStableLinks)
{
    sim::BusSimulator first, second;
    std::string error;
    ASSERT_TRUE(first.Start(&error)) << error;
    ASSERT_TRUE(second.Start(&error)) << error;
    QTemporaryDir byId;
    const QString link = byId.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A10-if00-port0"));
    ASSERT_EQ(::symlink(first.SlavePath().c_str(), link.toLocal8Bit().constData()), 0);

    const QVector<SerialDeviceInfo> devices = {
        {QStringLiteral("ttyUSB0"), QString::fromStdString(first.SlavePath()), QStringLiteral("FT232R USB UART")},
        {QStringLiteral("ttyS0"), QString::fromStdString(second.SlavePath()), QString()},
        {QStringLiteral("ttyACM0"), QStringLiteral("/dev/absent-acm0"), QStringLiteral(" CDC ")},
    };
    const QVector<PortEntry> entries = BuildPortEntries(devices, byId.path());
    ASSERT_EQ(entries.size(), 8);
    for (int n = 0; n < kComEntries; ++n) {
        EXPECT_EQ(entries[n].caption, QStringLiteral("COM%1").arg(n + 1));
        EXPECT_EQ(entries[n].comNumber, n + 1);
        EXPECT_TRUE(entries[n].devicePath.isEmpty());
        EXPECT_EQ(entries[n].Key(), entries[n].caption);
    }
    EXPECT_EQ(entries[5].caption, QStringLiteral("FT232R USB UART (ttyUSB0)"));
    EXPECT_EQ(entries[5].devicePath, link);
    EXPECT_EQ(entries[6].caption, QStringLiteral("ttyS0"));
    EXPECT_EQ(entries[6].devicePath, QString::fromStdString(second.SlavePath()));
    EXPECT_EQ(entries[7].caption, QStringLiteral("CDC (ttyACM0)"));
    EXPECT_EQ(FindPortEntry(entries, link), 5);
    EXPECT_EQ(FindPortEntry(entries, QStringLiteral("COM4")), 3);
    EXPECT_EQ(FindPortEntry(entries, QStringLiteral("/dev/gone")), -1);
    EXPECT_EQ(FindPortEntry(entries, QString()), -1);

    // The by-id entry opens the device with the same set-up as COMn.
    const PortOpenResult result = OpenPortDevice(entries[5].caption.toStdString(), entries[5].devicePath.toStdString());
    ASSERT_TRUE(result.ok) << PortOpenMessage(result);
    first.AddChamber(9);
    SetTimeScale(1.0);
    bool found = false;
    for (int attempt = 0; attempt < 5 && !found; ++attempt)
        found = ReadExchange(9, 0x04, 3, 160);
    EXPECT_TRUE(found);
    ClosePort();
}

class PortChoiceTest : public AppFixture {
protected:
    void SetUp() override
    {
        QSettings().clear();
        AppFixture::SetUp();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        QSettings().clear();
        for (int n = 1; n <= 5; ++n)
            SetPortMapping(n, "");
    }
    // A fresh set of windows, as at the next start of the program.
    void Restart()
    {
        DestroyApplicationWindows();
        CreateApplicationWindows(false);
    }
};

TEST_F(PortChoiceTest, SettingsFileHoldsLastPortAndMapping)
{
    SaveLastPort(QStringLiteral("COM3"));
    QString mapping[5] = {QStringLiteral("/dev/ttyUSB0"), QString(), QStringLiteral(" /dev/ttyACM1 "), QString(),
                          QString()};
    SavePortMapping(mapping);
    QSettings store;
    EXPECT_EQ(store.organizationName(), QStringLiteral("Calvetra"));
    EXPECT_EQ(store.applicationName(), QStringLiteral("Calvetra"));
    EXPECT_TRUE(store.fileName().endsWith(QStringLiteral("/Calvetra/Calvetra.conf"))) << store.fileName().toStdString();
    const PortSettings settings = LoadPortSettings();
    EXPECT_EQ(settings.lastPort, QStringLiteral("COM3"));
    EXPECT_EQ(settings.mapping[0], QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(settings.mapping[2], QStringLiteral("/dev/ttyACM1"));
    EXPECT_TRUE(settings.mapping[1].isEmpty());

    ApplyPortMapping(settings);
    EXPECT_EQ(DevicePathForPort("COM1"), "/dev/ttyUSB0");
    EXPECT_EQ(DevicePathForPort("COM2"), "/dev/ttyS1");
    EXPECT_EQ(DevicePathForPort("COM3"), "/dev/ttyACM1");
    // The environment still wins.
    ::setenv("CALVETRA_COM3", "/tmp/from-environment", 1);
    EXPECT_EQ(DevicePathForPort("COM3"), "/tmp/from-environment");
    ::unsetenv("CALVETRA_COM3");
    // A row emptied again falls back to the default device.
    mapping[0].clear();
    SavePortMapping(mapping);
    ApplyPortMapping(LoadPortSettings());
    EXPECT_EQ(DevicePathForPort("COM1"), "/dev/ttyS0");
}

TEST_F(PortChoiceTest, MappedComPortOpensAndIsPickedAgainAtNextStart)
{
    sim::BusSimulator bus;
    std::string error;
    ASSERT_TRUE(bus.Start(&error)) << error;
    bus.AddChamber(4);
    QString mapping[5];
    mapping[1] = QString::fromStdString(bus.SlavePath());
    SavePortMapping(mapping);
    Restart();  // the mapping is read at start-up

    Form1->ComboBox1->setCurrentIndex(1);  // COM2
    Guarded([] { Form1->Button5Click(); });
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    EXPECT_FALSE(Form1->Button5->isEnabled());
    bool found = false;
    for (int attempt = 0; attempt < 5 && !found; ++attempt)
        found = ReadExchange(4, 0x04, 3, 160);
    EXPECT_TRUE(found);
    EXPECT_EQ(LoadPortSettings().lastPort, QStringLiteral("COM2"));

    Restart();
    EXPECT_EQ(Form1->ComboBox1->currentIndex(), 1);
    EXPECT_EQ(Form1->ComboBox1->currentText(), QStringLiteral("COM2"));
    // The list opened again keeps the choice.
    Form1->RefreshPortList();
    EXPECT_EQ(Form1->ComboBox1->currentIndex(), 1);
    for (int n = 0; n < kComEntries; ++n)
        EXPECT_EQ(Form1->ComboBox1->itemText(n), QStringLiteral("COM%1").arg(n + 1));
}

TEST(RememberedPort, SaidOnlyWhenTheRememberedDeviceIsNotThere)
{
    const QVector<PortEntry> entries = BuildPortEntries(
        {{QStringLiteral("ttyUSB0"), QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FT232R USB UART")}},
        QStringLiteral("/nonexistent"));
    struct Case {
        const char* remembered;
        bool said;
    };
    for (const Case c : {Case{"", false}, Case{"COM3", false}, Case{"/dev/ttyUSB0", false},
                         Case{"/dev/serial/by-id/usb-gone-if00-port0", true}}) {
        const QString text = RememberedPortText(entries, QString::fromUtf8(c.remembered));
        EXPECT_EQ(!text.isEmpty(), c.said) << c.remembered;
        if (c.said) {
            EXPECT_TRUE(text.startsWith(QStringLiteral("Адаптер не подключён"))) << text.toStdString();
            EXPECT_TRUE(text.contains(QStringLiteral("в прошлый раз"))) << text.toStdString();
            EXPECT_TRUE(text.contains(QString::fromUtf8(c.remembered)));
        }
    }
}

TEST_F(PortChoiceTest, RememberedAdapterMissingAtStartIsSaidNotReplacedByCom1)
{
    SaveLastPort(QStringLiteral("/dev/serial/by-id/usb-gone-if00-port0"));
    Restart();
    EXPECT_EQ(Form1->ComboBox1->currentIndex(), -1);
    EXPECT_NE(Form1->ComboBox1->currentText(), QStringLiteral("COM1"));
    const QString said = Form1->LabelPort->toolTip();
    EXPECT_TRUE(said.startsWith(QStringLiteral("Адаптер не подключён"))) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("/dev/serial/by-id/usb-gone-if00-port0")));
    // The list opened again without it keeps saying so and picks nothing.
    Form1->RefreshPortList();
    EXPECT_EQ(Form1->ComboBox1->currentIndex(), -1);
    EXPECT_FALSE(Form1->LabelPort->toolTip().isEmpty());

    // A remembered COM port is always there: nothing to say.
    SaveLastPort(QStringLiteral("COM2"));
    Restart();
    EXPECT_EQ(Form1->ComboBox1->currentIndex(), 1);
    EXPECT_TRUE(Form1->LabelPort->toolTip().isEmpty());
}

TEST_F(PortChoiceTest, FailedOpenIsNotRememberedAndSaysAdapterMissing)
{
    ::setenv("CALVETRA_COM5", "/dev/serial/by-id/usb-none-if00-port0", 1);
    Form1->ComboBox1->setCurrentIndex(4);
    Guarded([] { Form1->Button5Click(); });
    ::unsetenv("CALVETRA_COM5");
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QStringLiteral("адаптер не подключён"))) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains(QStringLiteral("/dev/serial/by-id/usb-none-if00-port0")));
    EXPECT_TRUE(LoadPortSettings().lastPort.isEmpty());
    // As before, the scan buttons are usable after a failed open.
    EXPECT_TRUE(Form1->Button4->isEnabled());
}

TEST_F(PortChoiceTest, MappingDialogShowsSavedDevicesAndOffersThePresentOnes)
{
    PortSettings settings;
    settings.mapping[3] = QStringLiteral("/dev/ttyUSB1");
    const QStringList present = {QStringLiteral("/dev/serial/by-id/usb-A-if00-port0"), QStringLiteral("/dev/ttyS0")};
    TPortMappingDialog dialog(settings, present);
    EXPECT_EQ(dialog.Rows[3]->currentText(), QStringLiteral("/dev/ttyUSB1"));
    EXPECT_TRUE(dialog.Rows[0]->currentText().isEmpty());
    // An empty choice first, then the devices present.
    ASSERT_EQ(dialog.Rows[0]->count(), 3);
    EXPECT_EQ(dialog.Rows[0]->itemText(1), present[0]);
    dialog.Rows[0]->setCurrentIndex(1);
    dialog.Rows[3]->setCurrentText(QStringLiteral("  "));
    QString mapping[5];
    dialog.Mapping(mapping);
    EXPECT_EQ(mapping[0], present[0]);
    EXPECT_TRUE(mapping[3].isEmpty());
}
