#pragma once

#include <QImage>
#include <QString>

// A picture as the windows save and copy it: the format follows the file name's extension, PNG
// when it names none of BMP or JPEG; the file is whole or not there at all.
class PictureFile
{
public:
    // An empty string, or why the picture could not be written.
    static QString write(const QString &fileName, const QImage &picture);
    static void copyToClipboard(const QImage &picture); // a null picture leaves the clipboard
};
