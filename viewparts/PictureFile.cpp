#include "PictureFile.h"

#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>
#include <QSaveFile>

QString PictureFile::write(const QString &fileName, const QImage &picture)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    const QByteArray format = suffix == QLatin1String("bmp") ? "bmp"
        : (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg")) ? "jpeg"
                                                                              : "png";
    // Written beside the name and moved there only when whole: a failure leaves no partial file.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    QImageWriter writer(&file, format);
    if (!writer.write(picture)) {
        file.cancelWriting();
        return writer.errorString();
    }
    return file.commit() ? QString() : file.errorString();
}

void PictureFile::copyToClipboard(const QImage &picture)
{
    if (!picture.isNull())
        QGuiApplication::clipboard()->setImage(picture);
}
