#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

// A value returned by the script engine, in the kinds an automation variant can hold.
struct Variant {
    enum class Kind { Empty, Null, Integer, Double, Boolean, Text, Object };
    Kind kind = Kind::Empty;
    int32_t integer = 0;
    double number = 0;
    bool boolean = false;
    // Text kind: the text. Object kind: the object's text conversion, when it had one.
    QString text;
    bool convertible = true;

    static Variant Integer(int32_t v) { return {Kind::Integer, v, 0, false, {}, true}; }
    static Variant Double(double v) { return {Kind::Double, 0, v, false, {}, true}; }
    static Variant Boolean(bool v) { return {Kind::Boolean, 0, 0, v, {}, true}; }
    static Variant Text(QString v) { return {Kind::Text, 0, 0, false, std::move(v), true}; }
};

// The script engine the calculator hands its expressions to. Every failure is raised as an
// EOleSysError carrying the status code.
class ScriptControl {
public:
    virtual ~ScriptControl() = default;
    virtual void SetLanguage(const QString& language) = 0;
    virtual Variant Eval(const QString& text) = 0;
};

// The language an engine takes, as given: "JavaScript" in any letter case. Anything else raises
// EOleSysError (invalid argument).
QString CheckedLanguage(const QString& language);

// Creates the engine registered under a programmatic identifier. Raises EOleSysError.
using ScriptControlFactory = std::function<std::unique_ptr<ScriptControl>(const QString& progId)>;

inline const QString kScriptControlProgId = QStringLiteral("MSScriptControl.ScriptControl");
