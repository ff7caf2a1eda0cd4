#pragma once

#include <QByteArray>
#include <QString>

class QImage;
class QPixmap;
class StreamStatistics;

// Writes captured frames, one file per frame, named folder/prefix + number + "." + extension.
// A file is counted only once it is wholly on disk: after a failure the number stays, so the
// next frame tries the same name again.
class CaptureWriter
{
public:
    // Numbering starts again at 0; the settings hold until the next start.
    void start(const QString &folder, const QString &prefix, const QString &extension, bool raw);
    void stop();
    // For the files to come; the numbering goes on.
    void setExtension(const QString &extension) { captureExtension = extension; }
    // Counts files written and failed writes from now on; null stops counting.
    void setStatistics(StreamStatistics *statistics) { this->statistics = statistics; }

    bool isEnabled() const { return captureEnabled; }
    bool savesRawData() const { return saveRawData; }
    int counter() const { return captureCounter; }
    QString fileName(int number) const;

    // Each returns the number of the file just written, or -1 when nothing was written.
    // The payload exactly as received, in one write.
    int save_image_jpg(const QByteArray &payload);
    // The picture encoded by the extension's format (or, with raw data chosen, the payload). A
    // null picture, from a frame that could not be converted, is not written: it fails.
    int save_image(const QPixmap &picture, const QByteArray &payload);
    // The same from an image, for programs without a screen; the file's bytes are the same.
    int save_image(const QImage &picture, const QByteArray &payload);

private:
    template<typename Picture>
    int savePicture(const Picture &picture, const QByteArray &payload);
    int fileWritten();
    int writeFailed();

    QString captureFolder = QStringLiteral(".");
    QString capturePrefix = QStringLiteral("bvtgrab_");
    QString captureExtension = QStringLiteral("jpg");
    bool captureEnabled = false;
    bool saveRawData = false;
    int captureCounter = 0;
    StreamStatistics *statistics = nullptr;
};
