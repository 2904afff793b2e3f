#include "displayloss.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QThread>

#include <xcb/xcb.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr auto QuietLimit = std::chrono::seconds(30);

// Qt's message handler and the exit handler take no context. Never
// destroyed: a thread may still wait in a report when the program exits.
struct Watch
{
    std::function<void(bool)> onLoss;
    std::atomic<bool> armed = false;
    std::atomic<bool> reported = false;
    std::atomic<bool> ranOnGuiThread = false;
    std::atomic<unsigned> questions = 0;
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
    QtMessageHandler previousHandler = nullptr;
    xcb_connection_t *x11 = nullptr;
    int socket = -1;
};

Watch &watch()
{
    static Watch *const instance = new Watch;
    return *instance;
}

// Where libwayland connects.
QByteArray waylandSocketPath()
{
    QByteArray name = qgetenv("WAYLAND_DISPLAY");
    if (name.isEmpty())
        name = "wayland-0";
    return name.startsWith('/') ? name : qgetenv("XDG_RUNTIME_DIR") + '/' + name;
}

// Qt's Wayland plugin does not hand out its connection before Qt 6.5; it is
// the descriptor whose peer is the compositor's socket. -1 when none is.
int socketConnectedTo(const QByteArray &path)
{
    const QStringList descriptors = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : descriptors) {
        bool number = false;
        const int fd = name.toInt(&number);
        sockaddr_un peer{};
        socklen_t length = sizeof peer;
        if (!number || ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0
            || peer.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path))
            continue;
        const std::size_t pathLength = ::strnlen(peer.sun_path, length - offsetof(sockaddr_un, sun_path));
        if (QByteArrayView(peer.sun_path, qsizetype(pathLength)) == path)
            return fd;
    }
    return -1;
}

bool hungUp(int fd)
{
    pollfd entry{fd, POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Until the close has ended, or the GUI thread has asked nothing for
// QuietLimit: stuck, it must not keep the program from ending.
void waitForCloseEnd(Watch &w)
{
    std::unique_lock lock(w.mutex);
    unsigned seen = w.questions;
    auto quietSince = std::chrono::steady_clock::now();
    while (!w.ended) {
        w.changed.wait_for(lock, std::chrono::seconds(1));
        const auto now = std::chrono::steady_clock::now();
        if (const unsigned asked = w.questions; asked != seen) {
            seen = asked;
            quietSince = now;
        } else if (now - quietSince >= QuietLimit) {
            return;
        }
    }
}

void lose()
{
    Watch &w = watch();
    if (!w.armed)
        return;
    w.reported = true;
    {
        std::lock_guard lock(w.mutex);
        if (w.ended)
            return;
    }
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        if (!w.ranOnGuiThread.exchange(true))
            w.onLoss(true);
        return;
    }
    QMetaObject::invokeMethod(app, [&w] {
        if (w.armed)
            w.onLoss(false);
    }, Qt::QueuedConnection);
    waitForCloseEnd(w);
}

bool isDisplayLoss(const QString &message)
{
    return message.startsWith(u"The X11 connection broke") || message.startsWith(u"The Wayland connection broke")
           || message.startsWith(u"The Wayland connection experienced a fatal error");
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (const QtMessageHandler previous = watch().previousHandler)
        previous(type, context, message);
    if (type != QtDebugMsg && type != QtInfoMsg && isDisplayLoss(message))
        lose();
}

} // namespace

DisplayLossWatch::DisplayLossWatch()
{
    Watch &w = watch();
    const QString platform = QGuiApplication::platformName();
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (platform == u"xcb" && x11 && x11->connection()) {
        w.x11 = x11->connection();
        w.socket = xcb_get_file_descriptor(w.x11);
    } else if (platform == u"wayland") {
        w.socket = socketConnectedTo(waylandSocketPath());
    }
}

DisplayLossWatch::~DisplayLossWatch()
{
    Watch &w = watch();
    if (!w.armed.exchange(false))
        return;
    qInstallMessageHandler(w.previousHandler);
    closeEnded();
}

void DisplayLossWatch::start(std::function<void(bool endsOnReturn)> onLoss)
{
    Watch &w = watch();
    w.onLoss = std::move(onLoss);
    w.previousHandler = qInstallMessageHandler(handleMessage);
    static const bool registered = std::atexit(lose) == 0;
    Q_UNUSED(registered);
    w.armed = true;
}

bool DisplayLossWatch::lost()
{
    Watch &w = watch();
    ++w.questions;
    return w.reported || (w.x11 && xcb_connection_has_error(w.x11)) || (w.socket >= 0 && hungUp(w.socket));
}

void DisplayLossWatch::closeEnded()
{
    Watch &w = watch();
    {
        std::lock_guard lock(w.mutex);
        w.ended = true;
    }
    w.changed.notify_all();
}
