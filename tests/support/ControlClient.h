// A client of the control socket for tests: plain POSIX calls on a thread
// of its own, while the server runs on the test thread's event loop.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "link/ThreadHandoff.h"
#include "services/ControlProtocol.h"

// A request of this program's protocol version: op, id and the fields given.
QJsonObject ControlRequest(const char* op, int id, QJsonObject fields = QJsonObject());

class RawClient {
public:
    explicit RawClient(const QString& path);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool Connected() const { return m_connected; }
    bool Send(const QByteArray& bytes);
    // The next message, or an empty object when the server closed or said nothing for 5 s.
    QJsonObject Receive();
    // True when the server has closed its end.
    bool Closed();

private:
    int m_fd = -1;
    bool m_connected = false;
    ControlMessageReader m_reader;
};

// Runs work on a thread while the event loop serves the socket (a minute at most).
template <typename Work>
void WhileServing(Work work)
{
    std::atomic<bool> done{false};
    std::thread client([&] {
        work();
        done = true;
    });
    QElapsedTimer waited;
    waited.start();
    while (!done && waited.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    client.join();
}

// Runs call on the thread of home's loop and waits for it. Posted under the
// hand-over lock and waited for on a future, so that ThreadSanitizer sees
// the order Qt's queue gives them (its locks are not instrumented).
template <typename Call>
void CallOn(QObject* home, Call call)
{
    std::promise<void> done;
    {
        std::lock_guard<std::mutex> posting(HandoffLock(Handoff::Call));
        QMetaObject::invokeMethod(
            home,
            [&call, &done] {
                { std::lock_guard<std::mutex> arrived(HandoffLock(Handoff::Call)); }
                call();
                done.set_value();
            },
            Qt::QueuedConnection);
    }
    done.get_future().wait();
}

// Posts call to home's loop from another thread, without waiting.
template <typename Call>
void PostTo(QObject* home, Call call)
{
    std::lock_guard<std::mutex> posting(HandoffLock(Handoff::Call));
    QMetaObject::invokeMethod(
        home,
        [call] {
            { std::lock_guard<std::mutex> arrived(HandoffLock(Handoff::Call)); }
            call();
        },
        Qt::QueuedConnection);
}

// The group the test process runs in, by name.
QString OwnPrimaryGroup();
