// The presentation times of a track's output places, T[k] in track ticks for place k = 0, 1, ...
// They come from a list of times (a timestamp file's, sorted) or from frame rates: each coded
// video sequence at the rate its SPS gives, or rates planned by picture number. Sample i, in
// decoding order, is decoded at T[i] and lasts T[i+1] - T[i]; its picture is presented at
// T[its output place] plus the shift that keeps every composition offset at or above zero.
// Only what the times themselves take is kept: the list, or one entry per change of rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class Timeline {
public:
    // Places at fpsNum/fpsDen a second, each `timeScale` / rate ticks long. Unless `fixed`,
    // a picture whose sequence gives another rate begins a run at that rate (see Next).
    void StartAtRate(uint32_t timeScale, uint32_t fpsNum, uint32_t fpsDen, bool fixed);
    // Places at the given times (ticks, ascending, the first 0). Places beyond them continue at
    // the last interval, or at `fallback` ticks when there are fewer than two times.
    void StartWithTimes(uint32_t timeScale, std::vector<uint64_t> times, uint64_t fallback);
    // Places at times that come while the pictures are read (a camera's records), in decoding
    // order, each by Come: taken as the listed times, sorted, the first 0, are. A time settles
    // once `window` later ones have come (the pictures' reordering is shorter than that), or
    // when a place needs it; one that comes below a settled time, or equal to it, is moved a
    // millisecond (`millisecond` ticks) past it, as no two pictures can be shown at once.
    // Until the times end, places beyond them continue at `fallback` ticks.
    void StartWithComingTimes(uint32_t timeScale, uint64_t fallback, size_t window,
                              uint64_t millisecond);
    void Come(uint64_t ticks);
    // No more times come: all settle, and places beyond them continue at the last interval.
    void EndComing();
    // T[1] - T[0] as far as settled; 0 before.
    uint64_t FirstInterval() const { return times.size() >= 2 ? times[1] - times[0] : 0; }

    // Runs planned by place: from place `first` on, `fpsNum`/`fpsDen` a second. Called in
    // ascending order after StartAtRate(..., true).
    void PlanRate(uint64_t first, uint32_t fpsNum, uint32_t fpsDen);

    // Takes the next place, whose picture's sequence gives fpsNum/fpsDen (0/0 when it does not
    // say), and returns how long it lasts.
    uint64_t Next(uint32_t fpsNum, uint32_t fpsDen);
    // The last place lasts as long as the one before it, also when a listed time followed it.
    // Returns its duration when that changed it; 0 when it stays.
    uint64_t SettleLast();

    uint32_t TimeScale() const { return timeScale; }
    // T[place]; places past those taken continue as Next would time them at the current rate.
    uint64_t TimeAt(uint64_t place) const;
    // The end of the places taken: T[Places()].
    uint64_t End() const { return end; }
    uint64_t Places() const { return places; }
    // Whether the places taken do not all last the same.
    bool Variable() const { return variable; }
    // The listed times (0 when timed by rates).
    uint64_t ListedTimes() const { return times.size(); }

private:
    void Settle();
    struct Run {
        uint64_t first;     // its first place
        long double start;  // T[first], unrounded: rounding never accumulates
        long double step;   // ticks a place
        uint32_t fpsNum, fpsDen;
        // Both whole numbers of ticks (the common rates at the usual time scales): the times
        // are counted, not rounded.
        bool whole;
        uint64_t startTicks, stepTicks;
    };
    const Run& RunOf(uint64_t place) const;
    void BeginRun(uint64_t first, uint32_t fpsNum, uint32_t fpsDen);

    uint32_t timeScale = 90000;
    std::vector<uint64_t> times;
    uint64_t fallback = 0;
    // Coming times not settled yet (a heap, the smallest first), how many may wait, and the
    // first one settled, which all are counted from.
    std::vector<uint64_t> coming;
    size_t window = 0;
    uint64_t millisecond = 0;
    uint64_t origin = 0;
    std::vector<Run> runs;
    mutable size_t hint = 0;   // the run RunOf found last
    std::vector<Run> planned;  // runs planned by place
    size_t nextPlanned = 0;    // the first of them not begun yet
    bool fixed = false;
    uint64_t places = 0;
    uint64_t placeTime = 0;  // T[places], once a place is taken
    uint64_t end = 0;
    uint64_t lastDuration = 0;
    bool variable = false;
};
