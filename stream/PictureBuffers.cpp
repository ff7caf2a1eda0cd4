#include "PictureBuffers.h"

#include <climits>
#include <cstdlib>

PictureBuffers::~PictureBuffers()
{
    retireAll();
}

bool PictureBuffers::setPictureSize(int width, int height)
{
    if (width <= 0 || height <= 0 || qint64(width) * height > INT_MAX / 4) {
        retireAll();
        pictureWidth = pictureHeight = 0;
        return false;
    }
    const bool resized = qint64(width) * height != qint64(pictureWidth) * pictureHeight;
    if (resized)
        retireAll();
    pictureWidth = width;
    pictureHeight = height;
    return resized;
}

QImage PictureBuffers::acquire()
{
    if (pictureWidth <= 0)
        return QImage();
    Buffer *free = nullptr;
    for (Buffer *buffer : buffers)
        if (!buffer->shared) {
            free = buffer;
            break;
        }
    if (!free) {
        auto *data = static_cast<uchar *>(std::malloc(size_t(pictureBytes())));
        if (!data)
            return QImage();
        free = new Buffer{data, false, false};
        buffers.push_back(free);
    }
    free->shared = true;
    return QImage(free->data, pictureWidth, pictureHeight, 4 * pictureWidth, QImage::Format_RGB32,
                  release, free);
}

void PictureBuffers::release(void *info)
{
    auto *buffer = static_cast<Buffer *>(info);
    if (buffer->retired) {
        std::free(buffer->data);
        delete buffer;
    } else {
        buffer->shared = false;
    }
}

void PictureBuffers::retireAll()
{
    for (Buffer *buffer : buffers) {
        if (buffer->shared) {
            buffer->retired = true;
        } else {
            std::free(buffer->data);
            delete buffer;
        }
    }
    buffers.clear();
}
