#pragma once

#include <QString>
#include <chrono>
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

struct ScriptLimits {
    std::chrono::milliseconds timeout{10000};
    // What the engine may hold above its idle size, over all evaluations together.
    int64_t memoryGrowthBytes = int64_t(512) << 20;
    // A descriptor that turns readable when the program is asked to end: a running evaluation is
    // given up then (-1: none).
    int wakeFd = -1;
};

// The JavaScript engine, run in a process of its own (quantoria-engine, found beside the program)
// so that nothing a script does can take the caller down. The process starts at once and in the
// background; the first Eval waits for it. It runs under hard limits: the caller kills it shortly
// after the time-out or when it grows past the memory limit, and the kernel caps its data size and
// CPU time. After such an end, or a crash, the next process starts at once: the failing Eval
// reports the status and that the engine's variables are gone. Raises EOleSysError: an unknown
// identifier, or no engine program (class not registered).
std::unique_ptr<ScriptControl> CreateOleObject(const QString& progId, ScriptLimits limits = {});

// The engine itself, in this process: a QJSEngine with only the ECMAScript standard library, and
// a watchdog that stops an evaluation running past the time-out or holding more memory than the
// limit above the engine's idle size. Work a script queues (promise reactions) runs before Eval
// returns, under the same watchdog. quantoria-engine runs it.
class InProcessEngine : public ScriptControl {
public:
    // True when an evaluation was stopped for memory that a collection could not give back: the
    // engine should be replaced.
    virtual bool Exhausted() const = 0;
};
std::unique_ptr<InProcessEngine> CreateInProcessEngine(ScriptLimits limits = {});

// Added to a failure's message when the engine had to be replaced and its variables are gone.
inline const QString kEngineRestartedNote =
    QStringLiteral("; the script engine was restarted and its variables are lost");
