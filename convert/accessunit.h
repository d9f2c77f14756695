// Gathers the NAL units of a stream into access units and writes each as one MP4 sample, in
// decoding order, as soon as it is complete. What fixes each picture's output place is kept
// (compactly) until the end, when the output order, the composition offsets and the edit list
// that starts the presentation at its first decodable picture are derived.
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
    // Writes the last access unit, then gives the samples their composition offsets and the
    // track its edit list. False when a sample could not be written.
    bool Finish();

    uint64_t Pictures() const { return pictures; }
    uint64_t SyncPictures() const { return syncPictures; }
    // Pictures in the presentation: all but those ahead of the first decodable one (known after
    // Finish).
    uint64_t PresentedPictures() const { return pictures - hiddenPictures; }

private:
    struct ParameterSet {
        bool sps;
        std::vector<uint8_t> bytes;
    };
    // Non-VCL units on their way into the next picture's sample.
    struct Pending {
        std::vector<uint8_t> bytes;  // length-prefixed NAL units
        std::vector<ParameterSet> parameterSets;
        bool recoveryPoint = false;  // a recovery point SEI with recovery_frame_cnt 0
    };
    // The picture whose sample is being written.
    struct Picture {
        bool hasSlice = false;
        bool written = false;  // its sample is open in the track
        bool idr = false;
        bool intraOnly = true;
        bool recoveryPoint = false;
        bool resetsOrder = false;  // IDR or memory_management_control_operation 5
        bool headerKnown = false;  // every slice header so far could be read
        bool field = false;
        bool paired = false;
        SliceHeader last{};  // header of the latest slice
        int64_t order = 0;   // picture order count
    };

    bool AddSlice(const NalUnit& nal);
    void QueueParameterSet(bool sps, const NalUnit& nal);
    void StartPicture(const NalUnit& nal, const SliceHeader& sh, bool headerKnown);
    bool SecondFieldOfCurrent(const SliceHeader& sh) const;
    bool TakePending();
    bool WriteUnit(const NalUnit& nal);
    bool FinishPicture();
    void PresentInOutputOrder();

    MP4FileHandle file;
    MP4TrackId track = MP4_INVALID_TRACK_ID;
    MP4Duration frameDuration = 0;
    ParameterSets parameterSets;
    PocCalculator poc;
    Picture current;
    Pending pending;      // non-VCL units behind the current picture's slices
    bool closed = false;  // the current picture got no more slices
    // Per written sample, its picture order count; at the end, its output place less its
    // decoding place.
    std::deque<int32_t> orders;
    // Samples that begin a run of pictures output in order of their counts: after an IDR
    // picture or MMCO 5, and around a picture whose header could not be read.
    std::vector<uint32_t> orderStarts;
    bool lastHeaderUnknown = false;
    int64_t firstDecodable = -1;  // the first IDR, intra or recovery point picture written
    uint64_t pictures = 0;
    uint64_t syncPictures = 0;
    uint64_t hiddenPictures = 0;
};
