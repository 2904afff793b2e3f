#include "singleinstance.h"

#include "qtmessageboxes.h"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

#include <algorithm>
#include <cstdio>

namespace {

QString runtimeFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
    , m_lockPath(runtimeFolder() + QStringLiteral("/pendrel.lock"))
    , m_socketPath(runtimeFolder() + QStringLiteral("/pendrel.socket"))
    , m_lock(m_lockPath)
{
    // The lock is held all day: only a dead owner makes it stale, not its age.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::claim()
{
    if (!m_lock.tryLock(0)) {
        if (m_lock.error() == QLockFile::LockFailedError)
            return false;
        std::fprintf(stderr, "pendrel: cannot make %s; a second Pendrel would not be refused.\n",
                     qPrintable(m_lockPath));
        return true;
    }
    // Whatever socket is left there belongs to an instance that is gone.
    QLocalServer::removeServer(m_socketPath);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
            raiseWindows();
        }
    });
    if (!m_server->listen(m_socketPath))
        std::fprintf(stderr, "pendrel: cannot listen on %s: %s\n", qPrintable(m_socketPath),
                     qPrintable(m_server->errorString()));
    return true;
}

int SingleInstance::handOver()
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    // The running one may be between taking the lock and listening: the box
    // is shown all the same.
    if (socket.waitForConnected(2000))
        socket.waitForDisconnected(2000);
    QtMessageBoxes boxes;
    boxes.show("Pendrel is already running.", pendrel::Buttons::Ok);
    return 0;
}

void SingleInstance::raiseWindows()
{
    // The main window first, then any box of its, which must stay on top.
    QList<QWidget *> windows = QApplication::topLevelWidgets();
    std::stable_partition(windows.begin(), windows.end(), [](QWidget *w) { return !w->parentWidget(); });
    for (QWidget *window : windows) {
        if (!window->isVisible())
            continue;
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window->raise();
        window->activateWindow();
    }
}
