// quantoria-seal FILE: appends the integrity seal to a freshly linked executable (the build's
// step after linking). Exit code 0 when the file is sealed afterwards, 1 otherwise.
#include "Integrity.h"

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quantoria-seal FILE\n");
        return 2;
    }
    QString error;
    if (!SealFile(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "quantoria-seal: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
