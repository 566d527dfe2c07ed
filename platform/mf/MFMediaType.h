#pragma once

#include "platform/mf/MFAttributes.h"

#include <memory>

// The format of one stream: its attributes (MF_MT_MAJOR_TYPE, MF_MT_SUBTYPE, MF_MT_FRAME_SIZE,
// ...). Shared by reference between the caller and the transform it is set on.
class MFMediaType : public MFAttributes
{
public:
    static std::shared_ptr<MFMediaType> create() { return std::make_shared<MFMediaType>(); }
};
