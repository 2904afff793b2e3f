#pragma once

#include <QObject>

class QSocketNotifier;

// Emits changed() after a file system is mounted or unmounted in this
// process's mount namespace: the kernel flags /proc/self/mountinfo with
// POLLPRI on each change. Emits nothing when that file cannot be opened.
class MountTableWatch : public QObject
{
    Q_OBJECT

public:
    explicit MountTableWatch(QObject *parent = nullptr);
    ~MountTableWatch() override;

signals:
    void changed();

private:
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
