#pragma once

#include <QByteArray>

// Entries `first` to `first + count - 1` of a history file, newest first, as the program writes
// them (`line`: the line end). Each expression carries "é"; with `mixed` they carry in turn
// characters of every UTF-8 length and ones the memo treats apart (a tab, a byte order mark, a
// no-break space).
inline QByteArray HistoryEntries(int first, int count, const char* line = "\r\n",
                                 bool mixed = false) {
    static const char* const odd[] = {"\xC3\xA9",     "\xF0\x9F\x98\x80", "\t",
                                      "\xEF\xBB\xBF", "\xC2\xA0",         "\xE2\x82\xAC"};
    QByteArray bytes;
    for (int i = first + count - 1; i >= first; --i)
        bytes += QByteArray(line) + "12/8/2026 7:00:00 AM" + line + "(12+" + QByteArray::number(i) +
                 ")*3" + (mixed ? odd[i % 6] : odd[0]) + line + "=" + line +
                 QByteArray::number((12 + i) * 3) + ".00" + line;
    return bytes;
}
