#pragma once

#include <QObject>

#include <initializer_list>
#include <vector>

class QSocketNotifier;

// Turns the given Unix signals into a Qt signal delivered by the event loop
// (a socket pair written from the handler). One object per process.
class UnixSignals : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignals(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~UnixSignals() override;

signals:
    void received(int signalNumber);

private:
    void readPending();

    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
    std::vector<int> m_signals;
};
