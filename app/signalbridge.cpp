#include "signalbridge.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Written once, before the handlers are installed; the handler only reads them.
int pairFds[2] = {-1, -1};
constexpr int WriteEnd = 0;
constexpr int ReadEnd = 1;
constexpr int HandledSignals[] = {SIGINT, SIGTERM};

void setDisposition(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    // While one handler runs in a thread, the other signal waits there; by the
    // time it is delivered the default action is back, so it ends the process.
    sigemptyset(&action.sa_mask);
    for (int sig : HandledSignals)
        sigaddset(&action.sa_mask, sig);
    action.sa_flags = SA_RESTART;
    for (int sig : HandledSignals)
        sigaction(sig, &action, nullptr);
}

// Set by the first signal. Any thread may take a signal, so two can be in the
// handler at once, before either has put the default action back.
std::atomic<bool> terminationRequested {false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

void onTerminationSignal(int sig)
{
    const int savedErrno = errno;
    setDisposition(SIG_DFL);
    if (terminationRequested.exchange(true)) {
        // Not the first: end now. The signal is blocked while its handler
        // runs, so it is delivered, with its default action, on return.
        ::raise(sig);
        errno = savedErrno;
        return;
    }
    const unsigned char number = static_cast<unsigned char>(sig);
    // Non-blocking: should the pair ever be full, the byte already in it does the work.
    [[maybe_unused]] const ssize_t written = ::write(pairFds[WriteEnd], &number, 1);
    errno = savedErrno;
}

// SIGHUP asks for a reload, as often as it comes; the process goes on.
void onReloadSignal(int sig)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t written = ::write(pairFds[WriteEnd], &number, 1);
    errno = savedErrno;
}

void setReloadDisposition(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

bool makePair()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pairFds) != 0)
        return false;
    for (int fd : pairFds)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}
} // namespace

namespace {
SignalBridge *theBridge = nullptr;
} // namespace

SignalBridge *SignalBridge::instance()
{
    return theBridge;
}

SignalBridge::SignalBridge(QObject *parent) : QObject(parent)
{
    theBridge = this;
    Q_ASSERT_X(pairFds[0] < 0, "SignalBridge", "only one SignalBridge per process");
    m_valid = makePair();
    if (m_valid) {
        setDisposition(onTerminationSignal);
        setReloadDisposition(onReloadSignal);
    }
}

SignalBridge::~SignalBridge()
{
    theBridge = nullptr;
    if (!m_valid)
        return;
    setDisposition(SIG_DFL);
    setReloadDisposition(SIG_DFL);
    delete m_notifier;
    for (int &fd : pairFds) {
        ::close(fd);
        fd = -1;
    }
}

void SignalBridge::start()
{
    if (!m_valid || m_notifier)
        return;
    m_notifier = new QSocketNotifier(pairFds[ReadEnd], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalBridge::readSignal);
}

void SignalBridge::readSignal()
{
    unsigned char number = 0;
    int termination = 0;
    bool reload = false;
    while (::read(pairFds[ReadEnd], &number, 1) == 1) {
        if (number == SIGHUP)
            reload = true;
        else
            termination = number;
    }
    if (reload && !m_delivered && termination == 0)
        emit reloadRequested();
    if (termination == 0 || m_delivered)
        return;
    m_delivered = true;
    emit terminationRequested(termination);
}
