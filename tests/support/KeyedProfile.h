#pragma once

#include "Profile.h"

// A settings file read and written one key at a time: each read loads the file anew, each write is
// one atomic replacement of it.
class KeyedProfile : public Profile {
public:
    using Profile::Profile;

    QString ReadString(const QString& section, const QString& key,
                       const QString& defaultValue) const {
        return Load().ReadString(section, key, defaultValue);
    }
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const {
        return Load().ReadInteger(section, key, defaultValue);
    }
    bool ReadBool(const QString& section, const QString& key, bool defaultValue) const {
        return Load().ReadBool(section, key, defaultValue);
    }

    void WriteString(const QString& section, const QString& key, const QString& value) {
        Write({ProfileEntry{section, key, value}});
    }
    void WriteInteger(const QString& section, const QString& key, int value) {
        WriteString(section, key, QString::number(value));
    }
    // "1" or "0".
    void WriteBool(const QString& section, const QString& key, bool value) {
        WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
    }
};
