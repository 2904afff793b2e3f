#pragma once

#include <optional>

namespace pendrel {

// Handles --help, --version and --autostart on|off before any window system
// is touched: a QCoreApplication parses the arguments and is gone again on
// return. Returns the exit status when the program ends here (0 when done,
// 1 with a message on stderr for a wrong command line or a failed change),
// nothing when the window is to be built: no arguments, or only ones that
// QApplication may take (-platform, -style, ...) and --help-all.
[[nodiscard]] std::optional<int> runCommandLine(int argc, char *argv[]);

// Once QApplication has taken its own options: ends the program on an
// argument left over, as QCommandLineParser::process does, and shows
// --help-all with the options of QApplication.
void refuseLeftoverArguments();

} // namespace pendrel
