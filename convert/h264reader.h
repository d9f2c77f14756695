// The H.264 side of access-unit assembly: NAL unit types (H.264 7.4.1.2.3), the first slice of
// a new primary coded picture (7.4.1.2.4), complementary field pairs, picture order count
// (8.2.1) and random access by IDR pictures and recovery points (D.2.8).
#pragma once

#include "convert/picturereader.h"
#include "h264/poc.h"
#include "h264/slice.h"

class H264PictureReader : public PictureReader {
public:
    UnitPlan Plan(const NalUnit& nal) override;
    bool BeginsPicture(const NalUnit& nal, bool pictureOpen, bool closed) override;
    void StartPicture(const NalUnit& nal) override;
    void ContinuePicture(const NalUnit& nal) override;
    PictureFacts FinishPicture() override;
    void AddToTrack(MP4FileHandle file, MP4TrackId track, uint32_t key, const uint8_t* nal,
                    uint16_t length) override;

private:
    struct Picture {
        bool idr = false;
        bool intraOnly = true;
        bool recoveryPoint = false;
        bool resetsOrder = false;  // IDR or memory_management_control_operation 5
        bool headerKnown = false;  // every slice header so far could be read
        bool field = false;
        bool paired = false;
        SliceHeader last{};                // header of the latest slice
        int64_t order = 0;                 // picture order count
        uint32_t fpsNum = 0, fpsDen = 0;   // its SPS's frame rate
        uint32_t maxReorder = UINT32_MAX;  // max_num_reorder_frames, or what stands for it
    };

    ParameterSets parameterSets;
    PocCalculator poc;
    Picture current;
    SliceHeader slice{};  // the slice read last
    bool sliceKnown = false;
    bool secondField = false;      // it completes the current picture's field pair
    bool pendingRecovery = false;  // a recovery point SEI with recovery_frame_cnt 0 came
    bool afterPartitionA = false;  // the latest slice unit is a partition A
};
