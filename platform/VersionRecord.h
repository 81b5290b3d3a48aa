#pragma once

#include <cstdint>

// The version record of an executable: a fixed block of 56 bytes that the build places in the
// ELF section ".quantoria_version" and GetFileVersionText reads back from the file. The numbers
// are stored in the byte order of the file (the one its ELF header names); the product name is
// UTF-8, padded with NUL bytes.
struct VersionRecord {
    char magic[8];
    uint16_t fileVersion[4];    // major, minor, release, build
    uint16_t productVersion[4]; // major, minor, release, build
    char productName[32];
};
static_assert(sizeof(VersionRecord) == 56, "the record's layout is part of the file format");

inline constexpr char kVersionRecordMagic[8] = {'Q', 'N', 'T', 'R', 'V', 'E', 'R', '1'};
// A macro as well, because a section attribute takes only a string literal.
#define QUANTORIA_VERSION_SECTION ".quantoria_version"
inline constexpr char kVersionSectionName[] = QUANTORIA_VERSION_SECTION;
