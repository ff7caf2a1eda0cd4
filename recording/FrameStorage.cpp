#include "FrameStorage.h"

#include "FrameFilesStorage.h"
#include "MatroskaStorage.h"

std::unique_ptr<FrameStorage> FrameStorage::make(Kind kind, const RecordingNames &names)
{
    switch (kind) {
    case Kind::Matroska:
        return std::make_unique<MatroskaStorage>(names);
    case Kind::Payloads:
        return std::make_unique<FrameFilesStorage>(names, FrameFilesStorage::Form::Payloads);
    case Kind::Pictures:
        break;
    }
    return std::make_unique<FrameFilesStorage>(names, FrameFilesStorage::Form::Pictures);
}
