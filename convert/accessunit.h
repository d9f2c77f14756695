// Gathers the NAL units of a stream into access units and writes each as one MP4 sample, in
// decoding order, with the rendering offset that presents the pictures in their output order.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "convert/nalunit.h"
#include "h264/poc.h"
#include "h264/slice.h"
#include "mp4/mp4v2.h"

class AccessUnitWriter {
public:
    explicit AccessUnitWriter(MP4FileHandle file);

    // Starts writing samples into `track`, each `frameDuration` ticks long.
    void SetTrack(MP4TrackId track, MP4Duration frameDuration);

    // Takes the next NAL unit of the stream, in stream order. Parameter sets are handed to the
    // track in front of the access unit they precede. False when a sample could not be written.
    bool Add(const NalUnit& nal);
    // Writes everything still held. False when a sample could not be written.
    bool Finish();

    uint64_t Pictures() const { return pictures; }
    uint64_t SyncPictures() const { return syncPictures; }

private:
    struct ParameterSet {
        bool sps;
        std::vector<uint8_t> bytes;
    };
    // NAL units on their way into one sample.
    struct Units {
        std::vector<uint8_t> sample;  // length-prefixed NAL units
        std::vector<ParameterSet> parameterSets;
        bool recoveryPoint = false;  // a recovery point SEI with recovery_frame_cnt 0
        void Clear();
        void Append(const Units& other);
    };
    struct Picture : Units {
        bool hasSlice = false;
        bool idr = false;
        bool intraOnly = true;
        bool resetsOrder = false;  // IDR or memory_management_control_operation 5
        bool headerKnown = false;  // every slice header so far could be read
        bool field = false;
        bool paired = false;
        SliceHeader last{};  // header of the latest slice
        int64_t order = 0;   // picture order count
        uint64_t decodeIndex = 0;
        int64_t outputIndex = -1;
    };

    bool AddSlice(const NalUnit& nal);
    void QueueParameterSet(bool sps, const NalUnit& nal);
    void AppendUnit(Units& to, const NalUnit& nal);
    void StartPicture(const NalUnit& nal, const SliceHeader& sh, bool headerKnown);
    bool SecondFieldOfCurrent(const SliceHeader& sh) const;
    bool FinishPicture();
    void Output(Picture* p);
    void OutputAll();
    bool WriteOutputPictures();
    bool WritePicture(Picture& p);

    MP4FileHandle file;
    MP4TrackId track = MP4_INVALID_TRACK_ID;
    MP4Duration frameDuration = 0;
    ParameterSets parameterSets;
    PocCalculator poc;
    Picture current;
    Units pending;                  // non-VCL units behind the current picture's slices
    bool closed = false;            // the current picture got no more slices
    std::deque<Picture> queue;      // finished pictures in decoding order, not yet written
    std::vector<Picture*> waiting;  // of those, the ones whose output place is not yet known
    uint32_t reorderDepth = 0;
    bool depthKnown = false;
    uint64_t decoded = 0;
    int64_t output = 0;
    uint64_t pictures = 0;
    uint64_t syncPictures = 0;
};
