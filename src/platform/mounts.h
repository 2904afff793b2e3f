#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pendrel {

// One line of the mount table.
struct Mount
{
    dev_t device = 0;       // st_dev of the files on it
    std::string mountPoint; // decoded ("\040" becomes a space)
    std::string type;       // file system type, e.g. "ext4", "proc", "fuseblk"
    std::string source;     // e.g. /dev/sdb1
};

// The mounts listed in mount table text (the format of
// /proc/self/mountinfo), in the order listed; malformed lines are left out.
[[nodiscard]] std::vector<Mount> parseMounts(const std::string &table);

// The text of /proc/self/mountinfo; empty when it cannot be read.
[[nodiscard]] std::string readProcMountInfo();

} // namespace pendrel
