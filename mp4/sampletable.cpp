#include "mp4/sampletable.h"

#include <algorithm>

void SampleTable::Add(uint32_t size, uint32_t duration, bool isSync) {
    sizes.push_back(size);
    if (!offsets.empty()) offsets.push_back(0);
    if (!durations.empty() && durations.back().value == duration)
        ++durations.back().count;
    else
        durations.push_back({1, duration});
    if (isSync) sync.push_back(uint32_t(sizes.size()));
    mediaDuration += duration;
    dataSize += size;
}

bool SampleTable::SetLastDuration(uint32_t duration) {
    if (durations.empty()) return false;
    Run& last = durations.back();
    mediaDuration = mediaDuration - last.value + duration;
    if (last.value == duration) return true;
    if (--last.count == 0) durations.pop_back();
    if (!durations.empty() && durations.back().value == duration)
        ++durations.back().count;
    else
        durations.push_back({1, duration});
    return true;
}

bool SampleTable::SetCompositionOffset(uint32_t index, uint32_t offset) {
    if (index >= sizes.size()) return false;
    if (offsets.empty()) {
        if (offset == 0) return true;
        offsets.resize(sizes.size(), 0);
    }
    offsets[index] = offset;
    return true;
}

bool SampleTable::SetSync(uint32_t index, bool isSync) {
    if (index >= sizes.size()) return false;
    const uint32_t number = index + 1;
    auto it = std::lower_bound(sync.begin(), sync.end(), number);
    const bool listed = it != sync.end() && *it == number;
    if (isSync && !listed) sync.insert(it, number);
    if (!isSync && listed) sync.erase(it);
    return true;
}

bool SampleTable::SetRandomAccess(uint32_t index, uint8_t entry) {
    if (index >= sizes.size()) return false;
    randomAccess[index + 1] = entry;
    return true;
}

bool SampleTable::HasCompositionOffsets() const {
    return std::any_of(offsets.begin(), offsets.end(), [](uint32_t o) { return o != 0; });
}

uint64_t SampleTable::DecodeEnd(uint32_t count) const {
    uint64_t end = 0;
    for (const Run& r : durations) {
        const uint32_t n = std::min(count, r.count);
        end += uint64_t(n) * r.value;
        count -= n;
        if (count == 0) break;
    }
    return end;
}

uint64_t SampleTable::PresentationEnd() const {
    uint64_t decodeTime = 0, end = 0;
    uint32_t i = 0;
    for (const Run& r : durations) {
        for (uint32_t k = 0; k < r.count; ++k, ++i) {
            end = std::max(end, decodeTime + CompositionOffset(i) + r.value);
            decodeTime += r.value;
        }
    }
    return end;
}
