#include "ApplicationIcon.h"

// Outside any namespace, as Q_INIT_RESOURCE requires. The call also makes the linker take the
// resource data out of the static library.
static void InitIconResource() {
    Q_INIT_RESOURCE(quantoria);
}

QIcon ApplicationIcon() {
    static const bool initialized = (InitIconResource(), true);
    Q_UNUSED(initialized);
    return QIcon(QStringLiteral(":/icons/MAINICON.png"));
}
