#include "ui/CloseSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "link/Waits.h"
#include "ui/main.h"

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_waiting = 0;
QSocketNotifier* g_notifier = nullptr;

void OnSignal(int number)
{
    // Only async-signal-safe calls here.
    const int saved = errno;
    if (g_waiting) {
        // The event loop has not taken the first one: do what the default would.
        ::signal(number, SIG_DFL);
        ::raise(number);
    }
    g_waiting = 1;
    // An exchange under way (a silent chamber's poll) ends now, so that the
    // event loop takes the signal at once.
    AbandonWaits();
    const char byte = static_cast<char>(number);
    (void)!::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void TakeSignals()
{
    char bytes[16];
    while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
    // g_waiting stays set: once closing has begun, another signal ends the
    // program at once.
    if (Form1)
        Form1->close();
}

}  // namespace

void HandleCloseSignals()
{
    if (g_notifier)
        return;
    PrepareAbandon();
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // no descriptors left: the signals keep their default
    g_waiting = 0;
    g_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(g_notifier, &QSocketNotifier::activated, g_notifier, [] { TakeSignals(); });
    struct sigaction action{};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

void StopHandlingCloseSignals()
{
    if (!g_notifier)
        return;
    for (int number : kSignals)
        ::signal(number, SIG_DFL);
    delete g_notifier;
    g_notifier = nullptr;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}
