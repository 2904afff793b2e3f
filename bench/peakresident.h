#pragma once

#include <fstream>
#include <string>

// Peak resident size of this process's own address space in KiB (VmHWM), 0
// when unknown. Unlike ru_maxrss it leaves out what the forking parent held
// before exec: the kernel carries that high-water mark over exec.
inline long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        if (key == "VmHWM:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}
