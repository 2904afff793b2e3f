#pragma once

#include <functional>

// The connection to the display (the X server or the Wayland compositor) and
// what happens when it breaks. Qt's xcb plugin reports "The X11 connection
// broke ..." on the GUI thread and calls exit(1); its Wayland plugin reports
// "The Wayland connection broke ..." on its frame-event thread and on the GUI
// thread, each followed by _exit(1). Both reports pass through Qt's message
// handler before the end, and the watch acts there. One watch at a time.
class DisplayLossWatch
{
public:
    // Finds the display connection's socket; reports are not caught yet.
    DisplayLossWatch();
    ~DisplayLossWatch();
    DisplayLossWatch(const DisplayLossWatch &) = delete;
    DisplayLossWatch &operator=(const DisplayLossWatch &) = delete;

    // From now on a report runs `onLoss` on the GUI thread. Reported there,
    // Qt ends the program as soon as `onLoss` returns (`endsOnReturn`).
    // Reported on another thread, `onLoss` is queued to the GUI thread with
    // `endsOnReturn` false, and the program ends once closeEnded() is called
    // or the GUI thread has asked lost() nothing for 30 s. An exit() from
    // elsewhere runs `onLoss` too.
    void start(std::function<void(bool endsOnReturn)> onLoss);

    // GUI thread only. True once the connection is broken: reported by Qt,
    // in error, or hung up by the display's side. Meant to be asked before
    // each pass of the event loop during a save, and taken as a sign that the
    // save goes on.
    [[nodiscard]] bool lost();

    // The close has run to its end: a report waiting on another thread lets
    // Qt end the program.
    void closeEnded();
};
