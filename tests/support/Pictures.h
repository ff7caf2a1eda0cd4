#pragma once

#include <QDir>
#include <QImage>
#include <QTest>

// A drawing compared whole with its approved picture, tests/pictures/NAME.png (NAME@2x.png at twice
// the density), in fonts pinned before the application reads any. After an intended change: run the
// test with BREVANT_APPROVE_PICTURES=1, look at the pictures it wrote, commit them.
inline const bool fontsPinned = qputenv("FONTCONFIG_FILE", BREVANT_PICTURES_DIR "/fonts.conf");

inline QString unlikeApproved(const QImage &drawn, QString name)
{
    name.replace(QLatin1Char(' '), QLatin1Char('-')) += drawn.devicePixelRatio() == 1 ? QString() : QStringLiteral("@2x");
    const QString approved = QStringLiteral(BREVANT_PICTURES_DIR "/%1.png").arg(name);
    const QImage got = drawn.convertToFormat(QImage::Format_RGB32);
    if (qEnvironmentVariableIsSet("BREVANT_APPROVE_PICTURES"))
        return got.save(approved) ? QString() : QStringLiteral("cannot write ") + approved;
    if (got == QImage(approved).convertToFormat(QImage::Format_RGB32))
        return {};
    const QString left = QDir::temp().filePath(name + QStringLiteral(".drawn.png"));
    got.save(left);
    return QStringLiteral("%1 is not drawn as approved in %2; drawn: %3").arg(name, approved, left);
}

#define COMPARE_WITH_APPROVED(drawn, name) \
    do { const QString unlike = unlikeApproved((drawn), (name)); QVERIFY2(unlike.isEmpty(), qPrintable(unlike)); } while (false)
