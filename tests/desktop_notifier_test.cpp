// Desktop notifications over a private session bus of the test's own: no
// notification service means nothing sent; a service gets the alarm.
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QVariantMap>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <functional>
#include "ui/DesktopNotifier.h"

namespace {

// Stands in for the desktop's notification daemon.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList summaries, bodies;
    QList<int> urgencies;

public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int)
    {
        EXPECT_EQ(app, "Calvetra");
        summaries << summary;
        bodies << body;
        urgencies << hints.value("urgency").toInt();
        return static_cast<uint>(summaries.size());
    }
};

bool PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

}  // namespace

TEST(DesktopNotifierTest, NothingWithoutTheServiceThenDeliveredWithIt)
{
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!daemon.waitForStarted(5000))
        GTEST_SKIP() << "dbus-daemon is not installed";
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    const QByteArray address = daemon.readLine().trimmed();
    ASSERT_FALSE(address.isEmpty());
    // Before anything in this process asks for the session bus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);

    EXPECT_FALSE(NotifyDesktop("Температура вне допуска", "камера №1", true));

    QDBusConnection service = QDBusConnection::connectToBus(QString::fromUtf8(address), "fake-notifications");
    ASSERT_TRUE(service.isConnected());
    FakeNotifications fake;
    ASSERT_TRUE(service.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService("org.freedesktop.Notifications"));

    EXPECT_TRUE(NotifyDesktop("Температура вне допуска", "Температура, камера №1: 25.3 при уставке 30", true));
    EXPECT_TRUE(NotifyDesktop("Программа 1 завершена", "Программа, камера №1", false));
    ASSERT_TRUE(PumpUntil([&] { return fake.summaries.size() == 2; }, 10000));
    EXPECT_EQ(fake.summaries, (QStringList{"Температура вне допуска", "Программа 1 завершена"}));
    EXPECT_TRUE(fake.bodies[0].contains("25.3"));
    EXPECT_EQ(fake.urgencies, (QList<int>{2, 1}));

    QDBusConnection::disconnectFromBus("fake-notifications");
    daemon.kill();
    daemon.waitForFinished(5000);
}

#include "desktop_notifier_test.moc"
