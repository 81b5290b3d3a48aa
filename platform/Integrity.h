#pragma once

#include <QString>

// The integrity seal of an executable: a trailer of 48 bytes appended after linking, the magic
// "QNTRSEAL-SHA256\x01" followed by the SHA-256 of every byte of the file before the trailer.
// The loader ignores bytes past the ELF data, so the sealed file runs as before.

enum class IntegrityStatus {
    Ok,         // sealed, and the digest matches
    Damaged,    // sealed, but the file's bytes no longer match the digest; or a seal's magic
                // that is not at the end (bytes added after it, the trailer cut short); or an
                // ELF file that ends before its own tables and segments (cut, half written)
    Unsealed,   // no trailer (a build without the sealing step, or the magic itself damaged)
    Unreadable, // not a regular file that could be read to the end
};

// Checks the seal of the file at `path`; by default the running executable. Reads the whole file
// once (a few milliseconds for the program); call it after the window is first shown.
IntegrityStatus IntegrityCheck(const QString& path = QStringLiteral("/proc/self/exe"));

// Appends the seal to the file at `path`. A file already carrying a valid seal is left as it is;
// a file whose seal does not match, or that cannot be read and written, is an error: false, with
// the reason in `error`.
bool SealFile(const QString& path, QString* error = nullptr);
