#pragma once

#include <functional>

// Runs `onLoss` once when the connection to the display breaks: Qt's xcb
// plugin reports "The X11 connection broke ..." and then calls exit(1); its
// Wayland plugin reports "The Wayland connection broke ..." and ends the
// process without exit handlers. Both reports pass through Qt's message
// handler before the end, so `onLoss` runs there, on the GUI thread. While
// the watch lives, an exit() from anywhere else runs `onLoss` too.
class DisplayLossWatch
{
public:
    explicit DisplayLossWatch(std::function<void()> onLoss);
    ~DisplayLossWatch();
    DisplayLossWatch(const DisplayLossWatch &) = delete;
    DisplayLossWatch &operator=(const DisplayLossWatch &) = delete;
};
