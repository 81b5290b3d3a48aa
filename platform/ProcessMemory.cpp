#include "ProcessMemory.h"

#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// The statm fields, in pages: size, resident, shared, text, lib (unused), data, dirty (unused).
enum StatmField { kResident = 1, kData = 5 };

int64_t StatmBytes(pid_t pid, int field) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    int64_t pages = 0;
    for (int k = 0; k <= field; ++k)
        if (!(statm >> pages))
            return 0;
    return pages * sysconf(_SC_PAGESIZE);
}

} // namespace

int64_t ResidentBytes(pid_t pid) {
    return StatmBytes(pid, kResident);
}

int64_t DataBytes(pid_t pid) {
    return StatmBytes(pid, kData);
}
