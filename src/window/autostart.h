#pragma once

#include <QString>

namespace pendrel {

// The user's XDG autostart entry for Pendrel: configHome + "/autostart/pendrel.desktop".
[[nodiscard]] QString autostartEntry(const QString &configHome);

// Writes the entry that starts `program` at login, atomically (QSaveFile),
// making the autostart folder when missing and configHome, mode 0700, when
// that is missing too. Returns "" when written, else a text for the user;
// then an entry there before is left as it was.
[[nodiscard]] QString enableAutostart(const QString &configHome, const QString &program);

// Removes the entry. Returns "" when it is gone (also when there was none),
// else a text for the user.
[[nodiscard]] QString disableAutostart(const QString &configHome);

} // namespace pendrel
