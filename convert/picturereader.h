// What the access-unit writer asks of a codec: where each NAL unit of the stream goes, where
// pictures begin, what fixes a picture's place in output order and whether a decoder can start
// at it. The writer keeps what both codecs share (pending units, samples, output order, edit
// list); a reader per codec (h264reader.*, h265reader.*) knows the syntax.
#pragma once

#include <cstdint>
#include <memory>

#include "convert/nalunit.h"
#include "mp4/mp4v2.h"

enum class Codec { Unknown, H264, H265 };

// Where one NAL unit goes.
struct UnitPlan {
    enum Place : uint8_t {
        Drop,          // not written
        ParameterSet,  // to the track's configuration (in band when it changes), by `setKey`
        Slice,         // a coded slice of a picture
        Ahead,         // into the next picture's sample (SEI in front of a picture)
        Behind,        // into the current picture's sample (what follows its slices)
    };
    Place place = Drop;
    // After a picture's slices, the unit begins the next access unit.
    bool endsPicture = false;
    // ParameterSet: its kind and id, unique within the codec; the track receives the sets
    // waiting for a picture in the order of their keys.
    uint32_t setKey = 0;
    // No decoder can use it: its NAL unit header is invalid (forbidden_zero_bit, a reserved
    // type), or it is a slice whose header does not parse against the parameter sets in force,
    // or a parameter set that does not parse. Bytes that merely look like a unit, such as
    // garbage with start codes in it, are skipped and counted rather than made a picture.
    bool unusable = false;
};

// What the writer keeps of a picture once its last slice has come.
struct PictureFacts {
    bool headerKnown = false;     // every slice header could be read
    int64_t order = 0;            // picture order count
    bool resetsOrder = false;     // output after everything decoded before it; counts restart
    bool sync = false;            // a sync sample
    bool startsDecoding = false;  // a decoder that starts here shows it and what follows it
    // A random access point whose leading pictures decide its kind: a sync sample when none of
    // the pictures after it are skipped leading pictures, else a random access point with them.
    bool syncWithoutSkipped = false;
    enum Leading : uint8_t {
        NotLeading,
        Skipped,    // leading picture that a decoder starting at the point before drops
        Decodable,  // leading picture that such a decoder shows
    };
    Leading leading = NotLeading;
    // The frame rate its sequence parameter set gives; 0/0 when it says none.
    uint32_t fpsNum = 0, fpsDen = 0;
    // The most pictures that may come before any picture in decoding order and after it in
    // output order, as its sequence parameter set says; UINT32_MAX when it does not say.
    uint32_t maxReorder = UINT32_MAX;
};

class PictureReader {
public:
    virtual ~PictureReader() = default;

    // Reads the unit (a parameter set goes into the reader's tables) and says where it goes.
    virtual UnitPlan Plan(const NalUnit& nal) = 0;
    // For a slice (Plan said Slice, having read its header): tells whether it begins a new picture
    // (always true when no picture is open); `closed`: units that end a picture came since the
    // current picture's last slice.
    virtual bool BeginsPicture(const NalUnit& nal, bool pictureOpen, bool closed) = 0;
    // The slice read last begins a new picture, or continues the current one.
    virtual void StartPicture(const NalUnit& nal) = 0;
    virtual void ContinuePicture(const NalUnit& nal) = 0;
    // The current picture is complete: its facts.
    virtual PictureFacts FinishPicture() = 0;

    // Hands a parameter set of key `key` to the track.
    virtual void AddToTrack(MP4FileHandle file, MP4TrackId track, uint32_t key, const uint8_t* nal,
                            uint16_t length) = 0;
};

// The picture reader for `codec` (H264 or H265).
std::unique_ptr<PictureReader> MakePictureReader(Codec codec);
