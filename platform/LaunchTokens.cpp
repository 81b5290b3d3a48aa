#include "LaunchTokens.h"

namespace {

QString AcceptableOrEmpty(const QByteArray& token) {
    return IsAcceptableLaunchToken(token) ? QString::fromLatin1(token) : QString();
}

} // namespace

LaunchTokens LaunchTokens::FromEnvironment() {
    return {AcceptableOrEmpty(qgetenv("XDG_ACTIVATION_TOKEN")),
            AcceptableOrEmpty(qgetenv("DESKTOP_STARTUP_ID"))};
}

bool IsAcceptableLaunchToken(const QByteArray& token) {
    if (token.isEmpty() || token.size() > kMaxLaunchTokenBytes)
        return false;
    for (const char c : token)
        if (c <= ' ' || c > '~' || c == '"' || c == '\'' || c == '\\')
            return false;
    return true;
}

std::optional<quint32> StartupIdTime(const QString& startupId) {
    const qsizetype at = startupId.lastIndexOf(QLatin1String("_TIME"));
    if (at < 0)
        return std::nullopt;
    const QString digits = startupId.mid(at + 5);
    if (digits.isEmpty() || digits.size() > 10)
        return std::nullopt;
    for (const QChar c : digits)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    const qulonglong time = digits.toULongLong();
    if (time == 0 || time > 0xffffffffULL)
        return std::nullopt;
    return quint32(time);
}
