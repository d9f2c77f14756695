// Gathers the NAL units of a stream into access units and writes each as one MP4 sample.
#pragma once

#include <QString>
#include <cstdint>
#include <deque>
#include <vector>

#include "convert/nalunit.h"
#include "mp4/mp4v2.h"

class AccessUnitWriter {
public:
    explicit AccessUnitWriter(MP4FileHandle file);

    // Starts writing samples into `track`, each `frameDuration` ticks long.
    void SetTrack(MP4TrackId track, MP4Duration frameDuration);

    // Takes the next NAL unit of the stream, in stream order. Parameter sets are handed to the
    // track in front of the access unit they precede. False when a sample could not be written.
    bool Add(const NalUnit& nal);
    // Writes the access unit still being gathered. False when a sample could not be written.
    bool Finish();

    uint64_t Pictures() const { return pictures; }
    uint64_t SyncPictures() const { return syncPictures; }
    // Pictures passed over because no track existed yet.
    uint64_t Dropped() const { return dropped; }
    MP4Duration FrameDuration() const { return frameDuration; }

private:
    struct ParameterSet {
        bool sps;
        std::vector<uint8_t> bytes;
    };
    struct AccessUnit {
        std::vector<uint8_t> sample;  // length-prefixed NAL units
        std::vector<ParameterSet> parameterSets;
        bool hasSlice = false;
        bool idr = false;
    };

    bool StartsNewAccessUnit(const NalUnit& nal) const;
    bool Flush();
    bool WriteAccessUnit(AccessUnit& au);

    MP4FileHandle file;
    MP4TrackId track = MP4_INVALID_TRACK_ID;
    MP4Duration frameDuration = 0;
    AccessUnit current;
    uint64_t pictures = 0;
    uint64_t syncPictures = 0;
    uint64_t dropped = 0;
};
