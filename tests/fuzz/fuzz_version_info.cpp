// Arbitrary bytes as a file: GetFileVersionText and ReadVersionRecord read it without crashing
// or reading outside their buffers, and agree with each other. The bytes live in a memory file,
// reached by its path under /proc/self/fd like any other file.
#include "VersionInfo.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "FAILED: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("fuzz_version_info", MFD_CLOEXEC);
    static const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    if (fd < 0 || ::ftruncate(fd, 0) != 0)
        Fail("no memory file");
    for (size_t written = 0; written < size;) {
        const ssize_t n = ::pwrite(fd, data + written, size - written, off_t(written));
        if (n <= 0)
            Fail("cannot write the memory file");
        written += size_t(n);
    }

    const QString text = GetFileVersionText(path);
    const std::optional<VersionRecord> record = ReadVersionRecord(path);
    if (text.isEmpty() != !record)
        Fail("the text and the record disagree on whether there is a record");
    if (record) {
        const uint16_t* v = record->fileVersion;
        if (text != QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]))
            Fail("the text is not the record's file version");
        if (record->productName[sizeof record->productName - 1] != '\0')
            Fail("the product name is not terminated");
    }
    return 0;
}
