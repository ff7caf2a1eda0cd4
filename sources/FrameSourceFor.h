#pragma once

#include "FrameSource.h"

#include <memory>

// The source a path names: a folder, a frame's file, an index (.csv), or a Matroska file that an
// index beside it names, is a recording's folder; any other Matroska file is read alone; any
// other file is read as a wire dump.
std::unique_ptr<FrameSource> frameSourceFor(const QString &path);
