#pragma once

#include <QString>

// The four choices kept between runs.
struct Settings {
    int precision = 0;           // decimal places of a result
    bool comma = false;          // thousands separators
    bool startup = false;        // start at logon
    bool displayHistory = false; // the history panel shown

    bool operator==(const Settings&) const = default;
};

// The settings file: one INI section, "Config", with one key per value, read and written through
// Profile (platform/Profile.h) with its rules for damaged files, letter case and other lines.
//
// | Key              | Value          | Default | Reads as                                   |
// |------------------|----------------|---------|--------------------------------------------|
// | "Prec"           | precision      | 2       | an integer, then brought into 0 to 9       |
// | "Comma"          | comma          | true    | an integer: 0 false, anything else true    |
// | "Startup"        | startup        | true    | the same                                   |
// | "DisplayHistory" | displayHistory | true    | the same                                   |
//
// An integer is decimal with an optional sign, or "0x"/"0X" and hexadecimal digits; a missing
// file, section or key, or text that is no integer, gives the default. Keys are written in the
// table's order: integers in decimal, the others "1" or "0".
namespace SettingsFile {

// The values of a file that sets none.
Settings Defaults();

// Reads the values; never fails. Removes first what a save cut short left beside the file (its
// temporary files older than a minute, see RemoveLeftoverTemporaries).
Settings Load(const QString& path);

// Writes every key in one atomic replacement of the file, the precision as given (also outside 0
// to 9), leaving other sections, keys and comments as they are. Raises
// EIniFileException("Unable to write to <path>") and leaves the file as it was when that fails.
void Save(const QString& path, const Settings& values);

} // namespace SettingsFile
