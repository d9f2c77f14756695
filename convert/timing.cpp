#include "convert/timing.h"

#include <numeric>

TrackTiming ChooseTrackTiming(uint32_t fpsNum, uint32_t fpsDen) {
    TrackTiming t;
    if (fpsNum == 0 || fpsDen == 0) return t;
    const uint64_t ticks = uint64_t(90000) * fpsDen;
    if (ticks % fpsNum == 0 && ticks / fpsNum <= UINT32_MAX) {
        t.frameDuration = uint32_t(ticks / fpsNum);
        return t;
    }
    const uint32_t g = std::gcd(fpsNum, fpsDen);
    t.timeScale = fpsNum / g;
    t.frameDuration = fpsDen / g;
    return t;
}

bool FrameRateFromTiming(uint32_t numUnitsInTick, uint32_t timeScale, uint32_t* fpsNum,
                         uint32_t* fpsDen, uint32_t ticksPerFrame) {
    if (numUnitsInTick == 0 || timeScale == 0 || timeScale > INT32_MAX) return false;
    const uint64_t den = uint64_t(ticksPerFrame) * numUnitsInTick;
    if (den > INT32_MAX || uint64_t(timeScale) > den * 1000) return false;
    const uint64_t g = std::gcd(uint64_t(timeScale), den);
    *fpsNum = uint32_t(timeScale / g);
    *fpsDen = uint32_t(den / g);
    return true;
}
