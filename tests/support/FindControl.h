#pragma once

#include "Controls.h"

#include <QAnyStringView>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <memory>

inline const QObject* ObjectOf(const QObject* object) {
    return object;
}
inline const QObject* ObjectOf(const QObject& object) {
    return &object;
}
template <class T> const QObject* ObjectOf(const std::unique_ptr<T>& object) {
    return object.get();
}

// Whether `object` belongs to the window `top` itself, not to another window that `top` owns.
// A menu is a window of its own to Qt, but part of the window whose menu it is.
inline bool InWindow(const QObject* object, const QObject* top) {
    for (const QObject* o = object; o && o != top; o = o->parent())
        if (const auto* widget = qobject_cast<const QWidget*>(o);
            widget && widget->isWindow() && !qobject_cast<const QMenu*>(widget))
            return false;
    return true;
}

// The control of `window` named `name`, as a T. Controls of other windows that `window` owns (an
// About box open on it) are not looked at. A name that is missing, taken twice or names something
// that is not a T ends the test program at once, saying which: no test goes on without it.
template <class T, class Window> T* Find(const Window& window, QAnyStringView nameView) {
    const QObject* top = ObjectOf(window);
    const QString name = nameView.toString();
    QList<QObject*> found;
    for (QObject* object : top->findChildren<QObject*>(name))
        if (InWindow(object, top))
            found << object;
    const char* problem = nullptr;
    T* control = nullptr;
    if (found.isEmpty())
        problem = "there is none";
    else if (found.size() > 1)
        problem = "there are several";
    else if (!(control = dynamic_cast<T*>(found.first())))
        problem = "it is of another kind";
    if (problem) {
        std::fprintf(stderr, "FAIL: looking for the control \"%s\" in %s: %s\n", qPrintable(name),
                     top->metaObject()->className(), problem);
        std::fflush(stderr);
        std::abort();
    }
    return control;
}

// The controls of the main window's expression rows; `row` counts from 0 (row 1).
template <class Window> TEdit* EditExp(const Window& window, int row) {
    return Find<TEdit>(window, QStringLiteral("editExp%1").arg(row + 1));
}
template <class Window> TEdit* EditResult(const Window& window, int row) {
    return Find<TEdit>(window, QStringLiteral("editResult%1").arg(row + 1));
}
template <class Window> TSpeedButton* BtnEqual(const Window& window, int row) {
    return Find<TSpeedButton>(window, QStringLiteral("btnEqual%1").arg(row + 1));
}
template <class Window> QLabel* RowLabel(const Window& window, int row) {
    return Find<QLabel>(window, QStringLiteral("Label%1").arg(row + 1));
}
