#pragma once

#include "VersionRecord.h"

#include <QString>
#include <optional>

// The version record of the file at `path` (any file: the numbers are converted from the file's
// byte order), or nothing when the file cannot be read, is not a 32- or 64-bit ELF file, or has no
// ".quantoria_version" section holding a record with the right magic. Every offset and size read
// from the file is checked against the file; a damaged file gives nothing, never a crash.
std::optional<VersionRecord> ReadVersionRecord(const QString& path);

// The file version of the file at `path` as "major.minor.release.build" (for our executable
// "1.8.6.66"), or the empty text when ReadVersionRecord finds no record.
QString GetFileVersionText(const QString& path);
