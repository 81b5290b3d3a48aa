#include "ScriptEngine.h"

#include "Errors.h"
#include "ProcessMemory.h"

#include <QCoreApplication>
#include <QJSEngine>
#include <QStringList>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// Interrupts the engine from a thread of its own when an evaluation runs too long or the
// process holds too much memory above its idle size (measured once, so memory kept in globals
// counts against every later evaluation). The engine checks the flag at every loop turn and call,
// and a script's catch clauses cannot swallow it.
class Watchdog {
public:
    enum class Reason { None, Timeout, Memory };

    Watchdog(QJSEngine& engine, ScriptLimits limits)
        : m_engine(engine), m_limits(limits), m_baseline(ResidentBytes(::getpid())),
          m_thread([this] { Run(); }) {}

    bool OverLimit() const {
        return ResidentBytes(::getpid()) - m_baseline > m_limits.memoryGrowthBytes;
    }

    ~Watchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void Arm() {
        {
            std::lock_guard lock(m_mutex);
            m_reason = Reason::None;
            m_deadline = std::chrono::steady_clock::now() + m_limits.timeout;
            m_armed = true;
        }
        m_wake.notify_one();
    }

    Reason Disarm() {
        std::lock_guard lock(m_mutex);
        m_armed = false;
        return m_reason;
    }

private:
    void Run() {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            if (!m_armed) {
                m_wake.wait(lock);
                continue;
            }
            m_wake.wait_for(lock, std::chrono::milliseconds(20));
            if (!m_armed || m_stop)
                continue;
            if (std::chrono::steady_clock::now() >= m_deadline)
                m_reason = Reason::Timeout;
            else if (OverLimit())
                m_reason = Reason::Memory;
            if (m_reason != Reason::None) {
                m_engine.setInterrupted(true);
                m_armed = false;
            }
        }
    }

    QJSEngine& m_engine;
    const ScriptLimits m_limits;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_armed = false;
    Reason m_reason = Reason::None;
    std::chrono::steady_clock::time_point m_deadline;
    const int64_t m_baseline;
    std::thread m_thread;
};

// Counts the events the application delivers, so that a round of posted-event delivery that
// delivered nothing shows the queue is empty.
class DeliveryCounter final : public QObject {
public:
    int delivered = 0;

protected:
    bool eventFilter(QObject*, QEvent*) override {
        ++delivered;
        return false;
    }
};

} // namespace

namespace {

class JsScriptControl final : public InProcessEngine {
public:
    explicit JsScriptControl(ScriptLimits limits) : m_watchdog(m_engine, limits) {
        // Held here, not in the global object, so scripts cannot see or replace it.
        m_toText = m_engine.evaluate(QStringLiteral(
            "(function (v) { try { return [String(v)]; } catch (e) { return null; } })"));
    }

    void SetLanguage(const QString& language) override { m_language = CheckedLanguage(language); }

    Variant Eval(const QString& text) override {
        if (m_language.isEmpty())
            throw EOleSysError(Status::ExceptionOccurred);
        m_watchdog.Arm();
        QStringList stack;
        const QJSValue value = m_engine.evaluate(text, QString(), 1, &stack);
        bool failed = value.isError() || !stack.isEmpty();
        Variant result;
        if (!failed) {
            RunQueuedJobs();
            result = ToVariant(value);
        }
        const Watchdog::Reason reason = m_watchdog.Disarm();
        if (reason != Watchdog::Reason::None) {
            // Jobs the stopped script left queued would otherwise run in the next evaluation.
            if (QCoreApplication::instance())
                QCoreApplication::removePostedEvents(nullptr);
            m_engine.setInterrupted(false);
            m_engine.collectGarbage();
            if (reason == Watchdog::Reason::Memory)
                m_exhausted = m_watchdog.OverLimit();
            throw EOleSysError(reason == Watchdog::Reason::Memory ? Status::OutOfMemory
                                                                  : Status::Aborted);
        }
        if (failed)
            throw EOleSysError(Status::ExceptionOccurred);
        return result;
    }

    bool Exhausted() const override { return m_exhausted; }

private:
    // Promise reactions are posted events of the engine's thread: deliver them, and what they
    // queue in turn, until a round delivers nothing. Runs under the watchdog, which stops an
    // endless chain like any other runaway script.
    void RunQueuedJobs() {
        if (!QCoreApplication::instance())
            return;
        DeliveryCounter counter;
        QCoreApplication::instance()->installEventFilter(&counter);
        do {
            counter.delivered = 0;
            QCoreApplication::sendPostedEvents();
        } while (counter.delivered > 0 && !m_engine.isInterrupted());
        QCoreApplication::instance()->removeEventFilter(&counter);
    }

    // Runs under the watchdog: an object's text conversion may run script code.
    Variant ToVariant(const QJSValue& value) {
        if (value.isUndefined())
            return {};
        if (value.isNull())
            return {Variant::Kind::Null, 0, 0, false, {}, true};
        if (value.isBool())
            return Variant::Boolean(value.toBool());
        if (value.isNumber()) {
            const double d = value.toNumber();
            if (std::isfinite(d) && d == std::trunc(d) && d >= INT32_MIN && d <= INT32_MAX &&
                !(d == 0 && std::signbit(d)))
                return Variant::Integer(static_cast<int32_t>(d));
            return Variant::Double(d);
        }
        if (value.isString())
            return Variant::Text(value.toString());
        Variant object{Variant::Kind::Object, 0, 0, false, {}, true};
        const QJSValue text = m_toText.call({value});
        if (text.isArray())
            object.text = text.property(0).toString();
        else
            object.convertible = false;
        return object;
    }

    QJSEngine m_engine;
    QJSValue m_toText;
    QString m_language;
    bool m_exhausted = false;
    Watchdog m_watchdog;
};

} // namespace

std::unique_ptr<InProcessEngine> CreateInProcessEngine(ScriptLimits limits) {
    return std::make_unique<JsScriptControl>(limits);
}
