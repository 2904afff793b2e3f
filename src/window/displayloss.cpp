#include "displayloss.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace {

constexpr int OtherThreadWaitMs = 30'000;

std::function<void()> lossAction;
std::atomic<bool> armed = false;
std::once_flag ran;
QtMessageHandler previousHandler = nullptr;

void runOnce()
{
    if (!armed.load())
        return;
    std::call_once(ran, [] {
        QCoreApplication *app = QCoreApplication::instance();
        if (!app || QThread::currentThread() == app->thread()) {
            lossAction();
            return;
        }
        // Reported on another thread (Wayland's event thread). The GUI thread
        // may itself be stuck on the broken connection: the wait is bounded,
        // so that the program still ends.
        auto done = std::make_shared<QSemaphore>();
        QMetaObject::invokeMethod(app, [done] {
            lossAction();
            done->release();
        }, Qt::QueuedConnection);
        done->tryAcquire(1, OtherThreadWaitMs);
    });
}

bool isDisplayLoss(const QString &message)
{
    return message.startsWith(u"The X11 connection broke") || message.startsWith(u"The Wayland connection broke");
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (previousHandler)
        previousHandler(type, context, message);
    if (type != QtDebugMsg && type != QtInfoMsg && isDisplayLoss(message))
        runOnce();
}

} // namespace

DisplayLossWatch::DisplayLossWatch(std::function<void()> onLoss)
{
    lossAction = std::move(onLoss);
    previousHandler = qInstallMessageHandler(handleMessage);
    static const bool registered = std::atexit(runOnce) == 0;
    Q_UNUSED(registered);
    armed = true;
}

DisplayLossWatch::~DisplayLossWatch()
{
    armed = false;
    qInstallMessageHandler(previousHandler);
}
