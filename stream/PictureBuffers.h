#pragma once

#include <QImage>

#include <vector>

// Buffers for Format_RGB32 pictures that pixmaps share instead of copying; one pool per kind of
// picture (colour, JPEG, widened grey, scaled view). A buffer is handed out again only once every
// image and pixmap sharing it is gone, so a picture still on screen is never overwritten; while
// all are taken, another is allocated. Used from the GUI thread only.
class PictureBuffers
{
public:
    PictureBuffers() = default;
    ~PictureBuffers();
    PictureBuffers(const PictureBuffers &) = delete;
    PictureBuffers &operator=(const PictureBuffers &) = delete;

    // Pictures of this size from now on. True when their byte count changed: buffers of the old
    // byte count are then let go, each once nothing shares it; a new shape of the same area keeps
    // them. False also when the size is impossible; acquire() then gives null pictures.
    bool setPictureSize(int width, int height);
    // Bytes of one picture of the set size; 0 before a size is set.
    qsizetype pictureBytes() const { return qsizetype(pictureWidth) * pictureHeight * 4; }
    // A picture of the set size in a buffer nothing else shares, its pixels as the buffer's last
    // user left them; null when no size is set or memory ran out.
    QImage acquire();

private:
    struct Buffer
    {
        uchar *data;
        bool shared;  // some image refers to it
        bool retired; // no longer in the pool: freed by its last image
    };
    static void release(void *buffer);
    void retireAll();

    std::vector<Buffer *> buffers;
    int pictureWidth = 0;
    int pictureHeight = 0;
};
