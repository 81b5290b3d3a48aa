#pragma once

#include "MessageBoxes.h"

#include <QList>
#include <QQueue>

// Answers message boxes from a script and records what was asked. A box nobody scripted an
// answer for is answered Cancel (the answer that changes nothing) and counted in `unanswered`.
class ScriptedMessageBoxes final : public MessageBoxes {
public:
    struct Box {
        QWidget* owner;
        QString text;
        QString caption;
        unsigned flags;
    };

    int Show(QWidget* owner, const QString& text, const QString& caption, unsigned flags) override {
        asked.append(Box{owner, text, caption, flags});
        if (answers.isEmpty()) {
            ++unanswered;
            return IdCancel;
        }
        return answers.dequeue();
    }

    QQueue<int> answers;
    QList<Box> asked;
    int unanswered = 0;
};
