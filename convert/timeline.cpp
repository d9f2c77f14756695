#include "convert/timeline.h"

#include <algorithm>
#include <cmath>
#include <functional>

void Timeline::StartAtRate(uint32_t scale, uint32_t fpsNum, uint32_t fpsDen, bool fixedRate) {
    *this = Timeline();
    timeScale = scale;
    fixed = fixedRate;
    BeginRun(0, fpsNum, fpsDen);
}

void Timeline::StartWithTimes(uint32_t scale, std::vector<uint64_t> listed, uint64_t interval) {
    *this = Timeline();
    timeScale = scale;
    times = std::move(listed);
    fallback = times.size() >= 2 ? times[times.size() - 1] - times[times.size() - 2] : interval;
}

void Timeline::StartWithComingTimes(uint32_t scale, uint64_t interval, size_t reorder,
                                    uint64_t ms) {
    *this = Timeline();
    timeScale = scale;
    fallback = interval;
    window = std::max<size_t>(reorder, 1);
    millisecond = ms;
}

void Timeline::Come(uint64_t ticks) {
    coming.push_back(ticks);
    std::push_heap(coming.begin(), coming.end(), std::greater<uint64_t>());
    if (coming.size() > window) Settle();
}

// The smallest coming time takes the next place.
void Timeline::Settle() {
    std::pop_heap(coming.begin(), coming.end(), std::greater<uint64_t>());
    uint64_t t = coming.back();
    coming.pop_back();
    if (times.empty()) origin = t;
    t = t > origin ? t - origin : 0;
    if (!times.empty() && t <= times.back()) t = times.back() + millisecond;
    times.push_back(t);
}

void Timeline::EndComing() {
    while (!coming.empty()) Settle();
    window = 0;
    if (times.size() >= 2) fallback = times[times.size() - 1] - times[times.size() - 2];
}

void Timeline::PlanRate(uint64_t first, uint32_t fpsNum, uint32_t fpsDen) {
    planned.push_back(Run{first, 0, 0, fpsNum, fpsDen, false, 0, 0});
}

void Timeline::BeginRun(uint64_t first, uint32_t fpsNum, uint32_t fpsDen) {
    long double start = 0;
    if (!runs.empty()) {
        const Run& r = runs.back();
        start = r.start + (long double)(first - r.first) * r.step;
    }
    const uint64_t scaled = uint64_t(timeScale) * fpsDen;
    const bool whole =
        fpsNum != 0 && scaled % fpsNum == 0 && start == std::floor(start) && start < 0x1p62L;
    runs.push_back(Run{first, start, (long double)timeScale * fpsDen / fpsNum, fpsNum, fpsDen,
                       whole, whole ? uint64_t(start) : 0, whole ? scaled / fpsNum : 0});
}

const Timeline::Run& Timeline::RunOf(uint64_t place) const {
    // Places are asked for in order, mostly: the run of the last answer, or the one after it,
    // before a search.
    for (size_t i = hint; i < runs.size() && i <= hint + 1; ++i)
        if (runs[i].first <= place && (i + 1 == runs.size() || place < runs[i + 1].first))
            return runs[hint = i];
    auto it = std::upper_bound(runs.begin(), runs.end(), place,
                               [](uint64_t p, const Run& r) { return p < r.first; });
    hint = size_t(it - runs.begin()) - 1;
    return *(it - 1);
}

uint64_t Timeline::TimeAt(uint64_t place) const {
    if (runs.empty()) {
        if (place < times.size()) return times[place];
        const uint64_t last = times.empty() ? 0 : times.back();
        const uint64_t beyond = place - (times.empty() ? 0 : times.size() - 1);
        return last + beyond * fallback;
    }
    const Run& r = RunOf(place);
    if (r.whole) return r.startTicks + (place - r.first) * r.stepTicks;
    return uint64_t(std::floor(r.start + (long double)(place - r.first) * r.step + 0.5L));
}

uint64_t Timeline::Next(uint32_t fpsNum, uint32_t fpsDen) {
    // Coming times: those this place and the next need settle now.
    while (!coming.empty() && times.size() < places + 2) Settle();
    if (!runs.empty()) {
        if (nextPlanned < planned.size() && planned[nextPlanned].first == places) {
            BeginRun(places, planned[nextPlanned].fpsNum, planned[nextPlanned].fpsDen);
            ++nextPlanned;
        } else if (!fixed && fpsNum && fpsDen &&
                   uint64_t(fpsNum) * runs.back().fpsDen != uint64_t(fpsDen) * runs.back().fpsNum) {
            BeginRun(places, fpsNum, fpsDen);
        }
    }
    if (places == 0) placeTime = TimeAt(0);
    const uint64_t next = TimeAt(places + 1);
    const uint64_t duration = next - placeTime;
    placeTime = next;
    if (places > 0 && duration != lastDuration) variable = true;
    lastDuration = duration;
    ++places;
    end += duration;
    return duration;
}

uint64_t Timeline::SettleLast() {
    if (!runs.empty() || places < 2 || places >= times.size()) return 0;
    const uint64_t before = times[places - 1] - times[places - 2];
    if (before == lastDuration) return 0;
    end = times[places - 1] + before;
    lastDuration = before;
    return before;
}
