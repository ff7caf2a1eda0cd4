#pragma once

#include <QString>

#include <optional>

// What went wrong with a frame or the stream, in the order troubles of one place happen: what went
// before the record, then what befell it. Hidden frames are no trouble.
enum class TroubleKind { ConnectionLost, Lost, Dropped, LateAtBoard, LateOnTheWay, Damaged, Failed };

// The word a summary or a clip's trouble list names it by: "connection_lost", "lost", ...
QString troubleKindWord(TroubleKind kind);
std::optional<TroubleKind> troubleKindOf(const QString &word);
