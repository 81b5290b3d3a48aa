#include "KeypadPanel.h"

#include "Controls.h"

namespace {

struct Key {
    const char* name;
    const char* caption;
    int row, column, columns;
    int pixels;
    bool bold;
    const char* hint;
    const char* spoken;
};

// In grid order, which is also the order of the keys among the panel's children.
constexpr Key kKeys[] = {
    {"SpeedButton6", "7", 1, 1, 1, 13, true, nullptr, "Seven"},
    {"SpeedButton7", "8", 1, 2, 1, 13, true, nullptr, "Eight"},
    {"SpeedButton8", "9", 1, 3, 1, 13, true, nullptr, "Nine"},
    {"SpeedButton18", "+", 1, 4, 1, 24, false, nullptr, "Plus"},
    {"SpeedButton9", "4", 2, 1, 1, 13, true, nullptr, "Four"},
    {"SpeedButton10", "5", 2, 2, 1, 13, true, nullptr, "Five"},
    {"SpeedButton11", "6", 2, 3, 1, 13, true, nullptr, "Six"},
    {"SpeedButton19", "-", 2, 4, 1, 24, false, nullptr, "Minus"},
    {"SpeedButton12", "1", 3, 1, 1, 13, true, nullptr, "One"},
    {"SpeedButton13", "2", 3, 2, 1, 13, true, nullptr, "Two"},
    {"SpeedButton14", "3", 3, 3, 1, 13, true, nullptr, "Three"},
    {"SpeedButton20", "*", 3, 4, 1, 24, false, nullptr, "Times"},
    {"SpeedButton15", "0", 4, 1, 1, 13, true, nullptr, "Zero"},
    {"SpeedButton16", ".", 4, 2, 1, 32, true, nullptr, "Decimal point"},
    {"SpeedButton23", "+/-", 4, 3, 1, 13, true, nullptr, "Change sign"},
    {"SpeedButton17", "/", 4, 4, 1, 24, false, nullptr, "Divided by"},
    {"SpeedButton21", "(", 5, 1, 1, 13, true, nullptr, "Open parenthesis"},
    {"SpeedButton22", ")", 5, 2, 1, 13, true, nullptr, "Close parenthesis"},
    {"SpeedButton25", "%", 5, 3, 1, 13, true, nullptr, "Percent"},
    {"SpeedButton24", "=", 5, 4, 1, 24, false, nullptr, "Equals"},
    {"SpeedButton28", "Clear All", 6, 1, 2, 13, false, "Clear all expressions and results.",
     "Clear all"},
    {"SpeedButton27", "Clear", 6, 3, 1, 16, false, "Clear current expression and result.", "Clear"},
    {"SpeedButton26", "<--", 6, 4, 1, 24, false, "Back Space", "Back space"},
};
constexpr int kColumnX[] = {8, 112, 216, 320};
constexpr int kRowY[] = {8, 58, 107, 157, 206, 256};
constexpr int kKeyWidth = 65;
constexpr int kWideKeyWidth = 169;
constexpr int kKeyHeight = 33;

} // namespace

TKeypadPanel::TKeypadPanel(QWidget* parent) : QWidget(parent) {
    for (const Key& key : kKeys) {
        auto* button = new TSpeedButton(this, QLatin1String(key.caption));
        button->setObjectName(QLatin1String(key.name));
        button->setAccessibleName(QLatin1String(key.spoken));
        button->setFont(PixelFont(key.pixels, key.bold));
        button->setGeometry(kColumnX[key.column - 1], kRowY[key.row - 1],
                            key.columns == 2 ? kWideKeyWidth : kKeyWidth, kKeyHeight);
        if (key.hint)
            button->setToolTip(QLatin1String(key.hint));
        connect(button, &QAbstractButton::clicked, this, [this, button] { KeyClicked(button); });
    }
    auto* Label7 = new QWidget(this);
    Label7->setObjectName(QStringLiteral("Label7"));
    Label7->setGeometry(8, 248, 377, 2);
    Label7->setAutoFillBackground(true);
    QPalette line = Label7->palette();
    line.setColor(QPalette::Window, Qt::black);
    Label7->setPalette(line);
    // From the corner to the last key and its margin, clear of the controls beside the keypad.
    resize(kColumnX[3] + kKeyWidth + kColumnX[0], kRowY[5] + kKeyHeight + kRowY[0]);
}
