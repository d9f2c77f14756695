#include "convert/picturereader.h"

#include "convert/h264reader.h"
#include "convert/h265reader.h"

std::unique_ptr<PictureReader> MakePictureReader(Codec codec) {
    if (codec == Codec::H265) return std::make_unique<H265PictureReader>();
    return std::make_unique<H264PictureReader>();
}
