// How a frame rate becomes a track time scale and a sample duration.
#pragma once

#include <cstdint>

struct TrackTiming {
    uint32_t timeScale = 90000;     // track ticks per second
    uint32_t frameDuration = 3600;  // ticks per frame
};

// 90000 ticks a second when a frame lasts a whole number of them; otherwise the rate's own
// tick: num/den frames per second (reduced) gives a time scale of num and a duration of den.
TrackTiming ChooseTrackTiming(uint32_t fpsNum, uint32_t fpsDen);

// The frame rate an SPS's timing information gives, time_scale / (ticksPerFrame x
// num_units_in_tick), as num/den; false when it gives none that is usable (no timing, zeros,
// or over 1000 fps). An H.264 frame lasts two ticks, an H.265 picture one.
bool FrameRateFromTiming(uint32_t numUnitsInTick, uint32_t timeScale, uint32_t* fpsNum,
                         uint32_t* fpsDen, uint32_t ticksPerFrame = 2);
