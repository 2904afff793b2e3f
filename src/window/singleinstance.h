#pragma once

#include <QLockFile>
#include <QObject>

#include <memory>

class QLocalServer;

// One Pendrel per user: a lock file and a local socket in the runtime
// folder ($XDG_RUNTIME_DIR, else Qt's private fallback). The lock of a
// process that is gone counts as free; so does a socket left behind by one.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // Takes the lock and listens for later starts, which bring this
    // process's windows to the front. Returns false only when another
    // process holds the lock; a lock that cannot be made at all (no runtime
    // folder) lets this process run, with a line on stderr.
    [[nodiscard]] bool claim();

    // For a process that could not claim: asks the running one to come to
    // the front, tells the user in a box that Pendrel is already running,
    // and returns the exit status, 0.
    int handOver();

private:
    void raiseWindows();

    QString m_lockPath;
    QString m_socketPath;
    QLockFile m_lock;
    std::unique_ptr<QLocalServer> m_server;
};
