#pragma once

#include <sys/types.h>

#include <cstdint>

// A process's memory as /proc/<pid>/statm tells it, in bytes; 0 when it cannot be read (the
// process is gone).

// The resident set: the pages in memory now.
int64_t ResidentBytes(pid_t pid);

// The data and stack pages (statm's "data" field).
int64_t DataBytes(pid_t pid);
