#include "Errors.h"

QString StatusMessage(uint32_t status) {
    switch (status) {
    case Status::ExceptionOccurred:
        return QStringLiteral("Exception occurred");
    case Status::InvalidClassString:
        return QStringLiteral("Invalid class string");
    case Status::ClassNotRegistered:
        return QStringLiteral("Class not registered");
    case Status::Aborted:
        return QStringLiteral("Operation aborted");
    case Status::OutOfMemory:
        return QStringLiteral("Not enough storage is available to complete this operation");
    case Status::InvalidArgument:
        return QStringLiteral("The parameter is incorrect");
    case Status::UnknownName:
        return QStringLiteral("Unknown name");
    case Status::ServerFault:
        return QStringLiteral("The server threw an exception");
    default:
        return QStringLiteral("OLE error ") +
               QString::number(status, 16).toUpper().rightJustified(8, QLatin1Char('0'));
    }
}

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}
