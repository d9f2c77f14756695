// Which codec a stream is, and what its first sequence parameter set says about the track:
// the displayed picture size, the frame rate and the sample aspect ratio.
#pragma once

#include <cstdint>

#include "convert/nalunit.h"
#include "convert/picturereader.h"
#include "h265/vps.h"

// The codec that the unit proves the stream to be: a readable H.265 video or sequence
// parameter set of the base layer, or an H.264 SPS with its profile and level bytes. Unknown
// for every other unit.
Codec CodecOfUnit(const NalUnit& nal);

// Whether the unit is a parameter set of `codec` (H.264 types for Unknown).
bool IsParameterSetUnit(Codec codec, const NalUnit& nal);
// Whether the unit is a sequence parameter set (of the base layer), by its header alone.
bool IsSpsUnit(Codec codec, const NalUnit& nal);
// Whether the unit is the SPS that describes the track: for H.264 any SPS with its profile and
// level bytes (parsed or not), for H.265 a readable SPS of the base layer.
bool IsTrackSps(Codec codec, const NalUnit& nal);

// The VUI's video signal type: whether the SPS has one, and its colour description (2,
// unspecified, for each code point it leaves out) and range.
struct SignalType {
    bool present = false;
    uint8_t colourPrimaries = 2;
    uint8_t transferCharacteristics = 2;
    uint8_t matrixCoefficients = 2;
    bool fullRange = false;
    bool operator==(const SignalType& o) const {
        return present == o.present && colourPrimaries == o.colourPrimaries &&
               transferCharacteristics == o.transferCharacteristics &&
               matrixCoefficients == o.matrixCoefficients && fullRange == o.fullRange;
    }
    bool operator!=(const SignalType& o) const { return !(*this == o); }
};

struct TrackFormat {
    bool parsed = false;                   // the SPS could be read
    uint32_t width = 0, height = 0;        // displayed size in luma samples
    uint32_t fpsNum = 0, fpsDen = 0;       // pictures per second; 0/0 when the stream does not say
    uint32_t sarWidth = 0, sarHeight = 0;  // 0 when not given
    SignalType signal;
};

// Reads a stream's units up to its first SPS: which codec it is, and what that SPS says.
class StreamProbe {
public:
    // Takes the next unit of the stream.
    void Take(const NalUnit& nal);
    Codec StreamCodec() const { return codec; }
    // What the SPS says: for H.264 the VUI timing, time_scale / (2 x num_units_in_tick); for
    // H.265 one picture a tick, time_scale / num_units_in_tick, from the VUI or else from the
    // video parameter set it refers to.
    TrackFormat FormatOf(const NalUnit& sps) const;

private:
    Codec codec = Codec::Unknown;
    H265VpsInfo vps[16] = {};  // H.265 video parameter sets by id
    bool hasVps[16] = {};
};
