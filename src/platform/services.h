#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace pendrel {

using TimePoint = std::chrono::system_clock::time_point;

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
