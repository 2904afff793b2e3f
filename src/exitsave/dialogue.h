#pragma once

#include "services.h"

#include <string>

namespace pendrel {

// The wall clock, injectable so tests can fix "now".
class Clock
{
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

class SystemClock final : public Clock
{
public:
    TimePoint now() const override { return std::chrono::system_clock::now(); }
};

// Button sets of the program's message boxes; the first button is the default.
enum class Buttons { Ok, RetryCancel, YesNo, AbortRetryIgnore };
enum class Answer { Ok, Retry, Cancel, Yes, No, Abort, Ignore };

// Modal message boxes captioned "Pendrel", without icon. `details` (may be
// empty) is extra text the user can expand. Returns the button pressed.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    virtual Answer show(const std::string &text, Buttons buttons, const std::string &details = {}) = 0;
};

} // namespace pendrel
