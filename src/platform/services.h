#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace pendrel {

using TimePoint = std::chrono::system_clock::time_point;

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

// Upper-cases text for case-insensitive comparisons: valid UTF-8 by the
// C library's wide-character rules, any other byte left as it is.
[[nodiscard]] std::string upperCased(std::string_view text);

// Directory holding the running executable, without a trailing "/" (except "/").
[[nodiscard]] std::string applicationDirectory();

// Readme.txt beside the program when it is a file there (the build folder, a
// portable copy), else the installed one in share/doc/pendrel/ of the
// program's prefix.
[[nodiscard]] std::string readmeFile(const std::string &applicationDirectory);

} // namespace pendrel
