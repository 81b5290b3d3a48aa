#pragma once

#include "ErrorReporter.h"
#include "Errors.h"
#include "ScriptEngine.h"
#include "ShellOpen.h"

#include <utility>
#include <vector>

#include <QStringList>

// Records the messages that would have been shown in the error box.
class RecordingErrorReporter final : public ErrorReporter {
public:
    void ShowException(const QString& message) override { messages.append(message); }
    QStringList messages;
};

// An engine that fails on demand, at creation, at "Language" or at "Eval".
struct FailingEngine {
    uint32_t createStatus = 0;
    uint32_t languageStatus = 0;
    uint32_t evalStatus = 0;

    ScriptControlFactory Factory() const {
        return [*this](const QString& progId) -> std::unique_ptr<ScriptControl> {
            if (createStatus)
                throw EOleSysError(createStatus);
            auto real = CreateOleObject(progId);
            return std::make_unique<Engine>(std::move(real), languageStatus, evalStatus);
        };
    }

private:
    class Engine final : public ScriptControl {
    public:
        Engine(std::unique_ptr<ScriptControl> real, uint32_t language, uint32_t eval)
            : m_real(std::move(real)), m_language(language), m_eval(eval) {}
        void SetLanguage(const QString& language) override {
            if (m_language)
                throw EOleSysError(m_language);
            m_real->SetLanguage(language);
        }
        Variant Eval(const QString& text) override {
            if (m_eval)
                throw EOleSysError(m_eval);
            return m_real->Eval(text);
        }

    private:
        std::unique_ptr<ScriptControl> m_real;
        uint32_t m_language, m_eval;
    };
};

// Records the addresses handed to the desktop.
class RecordingShellOpen final : public ShellOpen {
public:
    void Open(const QString& address, ShowState show) override {
        opened.emplace_back(address, show);
    }
    std::vector<std::pair<QString, ShowState>> opened;
};
