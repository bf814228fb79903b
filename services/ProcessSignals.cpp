#include "services/ProcessSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "link/Waits.h"

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_taken = 0;
volatile sig_atomic_t g_secondEnds = 0;
volatile sig_atomic_t g_abandon = 0;
QSocketNotifier* g_notifier = nullptr;
SignalTaker g_take;

void OnSignal(int number)
{
    // Only async-signal-safe calls here.
    const int saved = errno;
    if (g_secondEnds && g_taken) {
        ::signal(number, SIG_DFL);
        ::raise(number);
    }
    g_taken = 1;
    if (g_abandon)
        AbandonWaits();
    const char byte = static_cast<char>(number);
    (void)!::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void TakeSignals()
{
    char bytes[16];
    for (;;) {
        const ssize_t n = ::read(g_pipe[0], bytes, sizeof bytes);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            // The taker may stop the handling (and so end this notifier).
            const SignalTaker take = g_take;
            if (take)
                take(static_cast<unsigned char>(bytes[i]));
            if (!g_notifier)
                return;
        }
    }
}

}  // namespace

bool HandleProcessSignals(SignalHandling how, SignalTaker take)
{
    g_take = std::move(take);
    g_secondEnds = how.secondEndsAtOnce ? 1 : 0;
    g_abandon = how.abandonWaits ? 1 : 0;
    if (g_notifier)
        return true;
    if (how.abandonWaits)
        PrepareAbandon();
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    g_taken = 0;
    g_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(g_notifier, &QSocketNotifier::activated, g_notifier, [] { TakeSignals(); });
    struct sigaction action{};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
    return true;
}

void StopHandlingProcessSignals()
{
    if (!g_notifier)
        return;
    for (int number : kSignals)
        ::signal(number, SIG_DFL);
    // Deleted once the event that may be running through it is over.
    g_notifier->setEnabled(false);
    g_notifier->deleteLater();
    g_notifier = nullptr;
    g_take = nullptr;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}
