// Each picture's time in a camera or DVR file, from the video packets its reader hands out: the
// time of the packet that holds the picture's first slice. Pictures are told by their slices'
// headers (H.264 first_mb_in_slice 0, 7.4.3; H.265 first_slice_segment_in_pic_flag, 7.4.7.1), so
// records that hold one NAL unit each and frames that hold a whole picture count alike. A packet
// is looked through up to its first slice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum class VideoCoding : uint8_t { Unknown, H264, H265 };

class PictureTimes {
public:
    // Takes a video packet (Annex B bytes, whole NAL units) with its time; whether it holds a
    // picture's first slice. `coding` is what the file says; while it says nothing, the first
    // parameter set tells.
    bool Take(VideoCoding coding, const uint8_t* data, size_t size, int64_t ms);
    // The pictures' times in milliseconds, in decoding order, of those taken since the last
    // Clear.
    const std::vector<int64_t>& Times() const { return times; }
    void Clear() { times.clear(); }

private:
    std::vector<int64_t> times;
    VideoCoding seen = VideoCoding::Unknown;  // told by a parameter set
};
