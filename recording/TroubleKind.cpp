#include "TroubleKind.h"

#include <array>

namespace {
const std::array<QString, 7> &words()
{
    static const std::array<QString, 7> names{
        QStringLiteral("connection_lost"), QStringLiteral("lost"),          QStringLiteral("dropped"),
        QStringLiteral("late_at_board"),   QStringLiteral("late_on_arrival"), QStringLiteral("damaged"),
        QStringLiteral("failed")};
    return names;
}
} // namespace

QString troubleKindWord(TroubleKind kind)
{
    return words()[size_t(kind)];
}

std::optional<TroubleKind> troubleKindOf(const QString &word)
{
    for (size_t i = 0; i < words().size(); ++i)
        if (words()[i] == word)
            return TroubleKind(i);
    return std::nullopt;
}
