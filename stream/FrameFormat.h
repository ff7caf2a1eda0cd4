#pragma once

#include <QString>
#include <QStringList>

// Pixel-format code of a frame; also the index into the list of format names.
enum FrameFormat {
    FormatJpg = 0,
    FormatGray = 1,
    FormatUyvy = 2,
    FormatYuv420 = 3,
    FormatNv12 = 4,
};

// Codes 5 to 9 carry a payload that is read but not shown; 10 and above carry none.
constexpr quint32 FirstHeaderOnlyFormat = 10;

inline QStringList frameFormatNames()
{
    return { QStringLiteral("JPG"), QStringLiteral("Gray"), QStringLiteral("UYVY"),
             QStringLiteral("YUV420"), QStringLiteral("NV12") };
}
