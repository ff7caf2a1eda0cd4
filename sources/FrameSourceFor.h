#pragma once

#include "FrameSource.h"

#include <memory>

// The source a path names: a folder, a captured frame or a recorder's index is a capture folder;
// a file that starts as Matroska does is a recording; any other file is read as a wire dump.
std::unique_ptr<FrameSource> frameSourceFor(const QString &path);
