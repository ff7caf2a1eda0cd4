#include "CaptureWriter.h"

#include "StreamStatistics.h"

#include <QDataStream>
#include <QDebug>
#include <QFile>
#include <QImage>
#include <QPixmap>

namespace {
constexpr int PictureQuality = 100;
}

void CaptureWriter::start(const QString &folder, const QString &prefix, const QString &extension,
                          bool raw)
{
    captureCounter = 0;
    captureFolder = folder;
    capturePrefix = prefix;
    captureExtension = extension;
    captureEnabled = true;
    saveRawData = raw;
}

void CaptureWriter::stop()
{
    captureEnabled = false;
}

QString CaptureWriter::fileName(int number) const
{
    return captureFolder + QLatin1Char('/') + capturePrefix + QString::number(number)
           + QLatin1Char('.') + captureExtension;
}

int CaptureWriter::save_image_jpg(const QByteArray &payload)
{
    QFile file(fileName(captureCounter));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return writeFailed();

    QDataStream stream(&file);
    const int written = stream.writeRawData(payload.constData(), int(payload.size()));
    stream.setDevice(nullptr);
    file.close();
    if (written != payload.size()) {
        qDebug("%s: can not write all data %d", "save_image_jpg", int(payload.size()));
        file.remove(); // a cut-off file is no capture
        return writeFailed();
    }
    return fileWritten();
}

int CaptureWriter::save_image(const QPixmap &picture, const QByteArray &payload)
{
    return savePicture(picture, payload);
}

int CaptureWriter::save_image(const QImage &picture, const QByteArray &payload)
{
    return savePicture(picture, payload);
}

template<typename Picture>
int CaptureWriter::savePicture(const Picture &picture, const QByteArray &payload)
{
    if (saveRawData)
        return save_image_jpg(payload);

    // Opened here rather than by QPixmap::save, so that a file is removed only if this call made it.
    QFile file(fileName(captureCounter));
    if (!file.open(QIODevice::WriteOnly))
        return writeFailed();
    const QByteArray format = captureExtension.toLatin1();
    const bool saved = picture.save(&file, format.constData(), PictureQuality) && file.flush();
    file.close();
    if (!saved) {
        qDebug("%s: can not write picture %s", "save_image", qPrintable(file.fileName()));
        file.remove();
        return writeFailed();
    }
    return fileWritten();
}

int CaptureWriter::fileWritten()
{
    if (statistics)
        statistics->captureWritten();
    return captureCounter++;
}

int CaptureWriter::writeFailed()
{
    if (statistics)
        statistics->captureFailed();
    return -1;
}
