#pragma once

#include <string>

namespace pendrel {

// Joins a directory path and a name with exactly one separator between them:
// "c:\" + "x" gives "c:\x", "c:\dir" + "x" gives "c:\dir\x", "" + "x" gives
// "\x". No normalisation of any kind.
[[nodiscard]] std::string datname(const std::string &pfad, const std::string &dat, char separator = '/');

// The last component of a path: everything after the last separator, the
// whole path when it has none, "" when it ends in a separator.
[[nodiscard]] std::string DatNam(const std::string &VollPfad, char separator = '/');

} // namespace pendrel
