#pragma once

#include "mounts.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pendrel {

// A mounted removable volume: the stand-in for drive A:.
struct Volume
{
    std::string mountPoint; // decoded ("\040" becomes a space)
    std::string device;     // mount source, e.g. /dev/sdb1
    std::string label;      // empty when the file system has none
};

// Reads the mount table text (the format of /proc/self/mountinfo).
using MountTableSource = std::function<std::string()>;
// Gives the label of a mounted volume, "" when it has none.
using LabelSource = std::function<std::string(const Volume &)>;

// The real label source: QStorageInfo::name(), then libblkid on the block
// device when that is empty (no udev), then the mount point's last component
// when the device cannot be opened (a normal user's stick).
[[nodiscard]] std::string labelOfVolume(const Volume &volume);

// The name of the user running the program, "" when the password database
// has none.
[[nodiscard]] std::string currentUserName();

class VolumeFinder
{
public:
    VolumeFinder(MountTableSource mountTable = readProcMountInfo, LabelSource labels = labelOfVolume,
                 std::string user = currentUserName());

    // Removable volumes of `user`, mounted below /media/<user>/ or
    // /run/media/<user>/, sorted by mount point, labels filled in.
    [[nodiscard]] std::vector<Volume> removableVolumes() const;

    // The volume query of the exit sequence: the volume whose label equals
    // expectedName ignoring case, else (or when expectedName is empty) the
    // first by mount point; nullopt when there is none.
    [[nodiscard]] std::optional<Volume> query(const std::string &expectedName) const;

private:
    MountTableSource m_mountTable;
    LabelSource m_labels;
    std::string m_user;
};

// The text of a NUL-terminated character buffer: everything up to the first
// NUL, or the whole buffer when it has none.
[[nodiscard]] std::string textFromBuffer(const char *buffer, std::size_t size);

} // namespace pendrel
