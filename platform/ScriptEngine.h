#pragma once

#include "ScriptControl.h"

#include <chrono>
#include <cstdint>
#include <memory>

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
