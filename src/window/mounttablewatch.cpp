#include "mounttablewatch.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

MountTableWatch::MountTableWatch(QObject *parent)
    : QObject(parent)
    , m_fd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC))
{
    if (m_fd < 0)
        return;
    // The file is always readable; only the exceptional condition (POLLPRI)
    // marks a change, and each poll that reports it clears it.
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Exception, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &MountTableWatch::changed);
}

MountTableWatch::~MountTableWatch()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}
