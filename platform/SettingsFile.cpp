#include "SettingsFile.h"

#include "AtomicFile.h"
#include "Profile.h"

#include <algorithm>
#include <variant>

namespace {

const QString kSection = QStringLiteral("Config");

// A whole number, brought into a range when read.
struct Number {
    int Settings::*field;
    int fallback;
    int minimum;
    int maximum;
};

// An integer read as true unless it is 0, written "1" or "0".
struct Flag {
    bool Settings::*field;
    bool fallback;
};

struct Key {
    const char* name;
    std::variant<Number, Flag> rule;
};

// In the order the keys are written.
constexpr Key kKeys[] = {
    {"Prec", Number{&Settings::precision, 2, 0, 9}},
    {"Comma", Flag{&Settings::comma, true}},
    {"Startup", Flag{&Settings::startup, true}},
    {"DisplayHistory", Flag{&Settings::displayHistory, true}},
};

template <class... Cases> struct Overloaded : Cases... { using Cases::operator()...; };
template <class... Cases> Overloaded(Cases...) -> Overloaded<Cases...>;

} // namespace

Settings SettingsFile::Defaults() {
    Settings values;
    for (const Key& key : kKeys)
        std::visit(Overloaded{[&](const Number& number) { values.*number.field = number.fallback; },
                              [&](const Flag& flag) { values.*flag.field = flag.fallback; }},
                   key.rule);
    return values;
}

Settings SettingsFile::Load(const QString& path) {
    RemoveLeftoverTemporaries(path);
    const ProfileDocument document = Profile(path).Load();
    Settings values;
    for (const Key& key : kKeys) {
        const QString name = QLatin1String(key.name);
        std::visit(Overloaded{[&](const Number& number) {
                                  values.*number.field = std::clamp(
                                      document.ReadInteger(kSection, name, number.fallback),
                                      number.minimum, number.maximum);
                              },
                              [&](const Flag& flag) {
                                  values.*flag.field =
                                      document.ReadBool(kSection, name, flag.fallback);
                              }},
                   key.rule);
    }
    return values;
}

void SettingsFile::Save(const QString& path, const Settings& values) {
    QList<ProfileEntry> entries;
    for (const Key& key : kKeys) {
        const QString text = std::visit(
            Overloaded{[&](const Number& number) { return QString::number(values.*number.field); },
                       [&](const Flag& flag) {
                           return values.*flag.field ? QStringLiteral("1") : QStringLiteral("0");
                       }},
            key.rule);
        entries.append({kSection, QLatin1String(key.name), text});
    }
    Profile(path).Write(entries);
}
