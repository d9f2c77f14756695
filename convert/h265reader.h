// The H.265 side of access-unit assembly: NAL unit types and the order of units in an access
// unit (H.265 7.4.2.4.4), the first slice segment of a picture, picture order count (8.3.1) with
// NoRaslOutputFlag, and random access by IRAP pictures (ISO/IEC 14496-15 8.4.3). Units of layers
// above the base layer stay inside the access unit they come in.
#pragma once

#include "convert/picturereader.h"
#include "h265/nal.h"
#include "h265/poc.h"
#include "h265/slice.h"

class H265PictureReader : public PictureReader {
public:
    UnitPlan Plan(const NalUnit& nal) override;
    bool BeginsPicture(const NalUnit& nal, bool pictureOpen, bool closed) override;
    void StartPicture(const NalUnit& nal) override;
    void ContinuePicture(const NalUnit& nal) override;
    PictureFacts FinishPicture() override;
    void AddToTrack(MP4FileHandle file, MP4TrackId track, uint32_t key, const uint8_t* nal,
                    uint16_t length) override;

private:
    void FrameRateOf(const H265SpsInfo& sps, uint32_t* num, uint32_t* den) const;

    H265ParameterSets parameterSets;
    H265PocCalculator poc;
    H265SliceHeader slice{};  // the slice segment read last
    bool sliceKnown = false;
    PictureFacts current;
    bool irapSeen = false;  // an IRAP picture came: the first one starts a coded video sequence
    bool afterEos = false;  // an end of sequence came since the last picture
};
