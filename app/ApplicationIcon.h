#pragma once

#include <QIcon>

// The program's icon "MAINICON": a calculator, 32x32 pixels in colours of the 16-colour palette
// (resources/quantoria.png, drawn in resources/quantoria.xpm), compiled into the program.
QIcon ApplicationIcon();
