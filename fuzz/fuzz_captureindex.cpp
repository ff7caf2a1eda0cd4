// The recording-folder source on an arbitrary recorder's index, in a folder that also holds a raw
// payload and a JPEG file the index may name: open, then every frame (up to a bound), its
// picture and its status. It must give frames or an error text, never crash, hang, read out of
// bounds or open a file outside the folder.
//
// Input: the index file's bytes.

#include "RecordingFolderSource.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {
constexpr qint64 MaxFramesRead = 64;

QTemporaryDir &folder()
{
    static QTemporaryDir dir;
    static const bool filled = [] {
        QFile raw(dir.filePath(QStringLiteral("f_0.bvt")));
        raw.open(QIODevice::WriteOnly);
        raw.write(QByteArray(64, '\x40'));
        QFile jpeg(dir.filePath(QStringLiteral("f_1.jpg")));
        jpeg.open(QIODevice::WriteOnly);
        jpeg.write(QByteArray("\xff\xd8\xff\xe0", 4));
        return true;
    }();
    Q_UNUSED(filled);
    return dir;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString indexPath = folder().filePath(QStringLiteral("f_index.csv"));
    QFile index(indexPath);
    if (!index.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    index.write(reinterpret_cast<const char *>(data), qint64(size));
    index.close();

    RecordingFolderSource source(indexPath);
    if (source.open()) {
        FrameSlot frame;
        for (qint64 i = 0; i < source.count() && i < MaxFramesRead; ++i) {
            source.header(i, frame);
            source.frame(i, frame);
            source.picture(i);
            source.recordedStatus(i);
        }
    }
    return 0;
}
