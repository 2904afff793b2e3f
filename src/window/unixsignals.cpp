#include "unixsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int writeEnd = -1;

void handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

UnixSignals::UnixSignals(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
    , m_signals(signalNumbers)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_fds) != 0)
        qFatal("socketpair: %s", strerror(errno));
    writeEnd = m_fds[0];
    m_notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignals::readPending);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : m_signals)
        ::sigaction(signalNumber, &action, nullptr);
}

UnixSignals::~UnixSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : m_signals)
        ::sigaction(signalNumber, &action, nullptr);
    writeEnd = -1;
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void UnixSignals::readPending()
{
    char bytes[64];
    ssize_t n;
    while ((n = ::read(m_fds[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            emit received(int(static_cast<unsigned char>(bytes[i])));
    }
}
