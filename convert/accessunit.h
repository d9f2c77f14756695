// Gathers the NAL units of a stream into access units and writes each as one MP4 sample, in
// decoding order, as soon as it is complete. What fixes each picture's output place is kept
// (compactly) until the end, when the output order, the composition offsets and the edit list
// that starts the presentation at its first decodable picture are derived. What only the codec
// knows comes from a PictureReader.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "convert/nalunit.h"
#include "convert/picturereader.h"
#include "convert/timeline.h"
#include "mp4/mp4v2.h"

class AccessUnitWriter {
public:
    AccessUnitWriter(MP4FileHandle file, std::unique_ptr<PictureReader> reader);

    // Starts writing samples into `track`, timed by `timeline` (see timeline.h).
    void SetTrack(MP4TrackId track, Timeline timeline);
    // Writes the track in fragments (into a file made by MP4CreateFragmentedFd) of at least
    // `ticks` each, every one beginning at a sync picture: a fragment ends at the first sync
    // picture that comes when it has lasted that long, so that what the pictures before it need
    // for their output places is known. Pictures ahead of the first decodable one are left out
    // of the file, and the presentation starts at 0.
    void SetFragments(MP4Duration ticks);
    // Called before each fragment is written with the time (seconds) at which it ends: the
    // other tracks' samples up to then go into it.
    void SetFragmentHook(std::function<void(double)> hook) { beforeFragment = std::move(hook); }

    // Takes the next NAL unit of the stream, in stream order. Parameter sets are handed to the
    // track in front of the access unit they precede. False when a sample could not be written
    // or the stream breaks a limit (Failure() then says which).
    bool Add(const NalUnit& nal);
    // Writes the last access unit, then gives the samples their composition offsets and the
    // track its edit list. False when a sample could not be written.
    bool Finish();
    // The input stalls: the whole pictures held for the fragment being gathered go out now as
    // a fragment of their own, as far as no picture still to come can be output before them
    // (the picture being read is not whole until the next begins). It need not begin at a sync
    // picture. False when the fragment could not be written.
    bool WriteHeld();

    // Why Add failed when the stream, not the file, is the cause; empty otherwise.
    const std::string& Failure() const { return failure; }

    uint64_t Pictures() const { return pictures; }
    // Slices taken so far, written or not: whether a stretch of input held any picture.
    uint64_t Slices() const { return slices; }
    uint64_t SyncPictures() const { return syncPictures; }
    // Units skipped since the track began because no decoder could use them, and their bytes.
    uint64_t SkippedUnits() const { return skippedUnits; }
    uint64_t SkippedBytes() const { return skippedBytes; }
    // Pictures in the presentation: all but those ahead of the first decodable one (known after
    // Finish).
    uint64_t PresentedPictures() const { return pictures - hiddenPictures; }
    // Pictures ahead of the first decodable one left out of a fragmented file.
    uint64_t DroppedPictures() const { return droppedPictures + hiddenPictures; }
    // Fragments ended so far; after Finish, with the last one that the file's close writes.
    uint64_t FragmentsWritten() const { return fragments; }
    // Pictures shown from the fragments the file took whole so far (not the last one, which
    // the file's close writes).
    uint64_t PicturesInFragments() const { return picturesInFragments; }
    // Whether any picture went to the track, finished or not.
    bool HasSamples() const { return pictures > 0 || written; }
    // The samples' times, and how long the presentation lasts in track ticks (after Finish).
    const Timeline& Times() const { return timeline; }
    // A timeline of coming times (Timeline::StartWithComingTimes) takes the next, or their end.
    void TimeCame(uint64_t ticks) { timeline.Come(ticks); }
    void TimesEnded() { timeline.EndComing(); }
    uint64_t PresentedTicks() const { return presentedTicks; }

private:
    // Units on their way into the next picture's sample.
    struct Pending {
        std::vector<uint8_t> bytes;                              // length-prefixed NAL units
        std::map<uint32_t, std::vector<uint8_t>> parameterSets;  // the latest of each key
    };

    bool AddSlice(const NalUnit& nal);
    bool TakePending();
    bool Append(const uint8_t* bytes, uint32_t count);
    bool WriteUnit(const NalUnit& nal);
    bool FinishPicture();
    void SettleRandomAccess(const PictureFacts& next);
    void PresentInOutputOrder();
    bool EndFragment(const PictureFacts& p, uint32_t index);
    uint32_t HeldEnd() const;
    void PlaceFragment(uint32_t end);

    MP4FileHandle file;
    std::unique_ptr<PictureReader> reader;
    MP4TrackId track = MP4_INVALID_TRACK_ID;
    Timeline timeline;
    uint64_t presentedTicks = 0;
    Pending pending;           // units behind the current picture's slices
    bool pictureOpen = false;  // a picture has slices
    bool written = false;      // its sample is open in the track
    bool closed = false;       // the current picture got no more slices
    uint64_t sampleBytes = 0;  // of the open sample
    std::string failure;
    // Per written sample, its picture order count; at the end, its output place less its
    // decoding place.
    std::deque<int32_t> orders;
    // Samples that begin a run of pictures output in order of their counts: where the count
    // restarts, and around a picture whose header could not be read.
    std::vector<uint32_t> orderStarts;
    bool lastHeaderUnknown = false;
    int64_t firstDecodable = -1;  // the first picture a decoder can start from
    // Leading pictures of that one that are shown, and whether a picture that is not leading
    // came after it.
    std::vector<uint32_t> shownLeading;
    bool trailingSeen = false;
    // A random access point whose kind waits for its leading pictures, and how many of them
    // are skipped from it.
    int64_t unsettled = -1;
    uint32_t skippedLeading = 0;
    uint64_t pictures = 0;
    uint64_t slices = 0;
    uint64_t syncPictures = 0;
    uint64_t hiddenPictures = 0;
    uint64_t skippedUnits = 0;
    uint64_t skippedBytes = 0;
    // A fragmented track: its length, where the fragment being gathered begins, the number of
    // the picture whose count is orders[0], the highest count since the fragment or the run
    // began, and where the presentation starts (-1: not known yet).
    MP4Duration fragmentTicks = 0;
    std::function<void(double)> beforeFragment;
    uint32_t fragmentStart = 0;
    uint32_t orderBase = 0;
    int64_t runMaxOrder = 0;
    int64_t startPlace = -1;
    int64_t fragmentShift = -1;  // ticks every composition offset is shifted by
    uint64_t hiddenTicks = 0;    // the durations of the pictures left out
    uint64_t droppedPictures = 0;
    uint64_t fragments = 0;
    uint64_t picturesInFragments = 0;
    uint32_t maxReorder = UINT32_MAX;  // of the latest picture's sequence
};
