#include "mp4/sampletable.h"

#include <algorithm>

void SampleTable::AddRun(uint32_t size, uint32_t duration, uint32_t n, bool isSync) {
    if (n == 0) return;
    if (count == 0) uniformSize = size;
    if (sizes.empty() && size != uniformSize) sizes.assign(count, uniformSize);
    if (!sizes.empty()) sizes.insert(sizes.end(), n, size);
    if (!offsets.empty()) offsets.insert(offsets.end(), n, 0);
    if (!durations.empty() && durations.back().value == duration)
        durations.back().count += n;
    else
        durations.push_back({n, duration});
    if (!isSync && allSync) ListSync();
    const uint32_t first = count + 1;
    count += n;
    if (isSync && !allSync)
        for (uint32_t k = first; k <= count; ++k) sync.push_back(k);
    mediaDuration += uint64_t(duration) * n;
    dataSize += uint64_t(size) * n;
}

// From here on the sync samples are listed one by one.
void SampleTable::ListSync() {
    allSync = false;
    sync.resize(count);
    for (uint32_t k = 0; k < count; ++k) sync[k] = k + 1;
}

uint32_t SampleTable::LastSyncBefore(uint32_t number) const {
    if (allSync) return number > 1 ? number - 1 : 0;
    auto it = std::lower_bound(sync.begin(), sync.end(), number);
    return it == sync.begin() ? 0 : *(it - 1);
}

uint64_t SampleTable::ChunksEnd() const {
    if (chunks.empty()) return 0;
    uint64_t bytes = 0;
    const uint32_t first = chunks.back().firstSample;
    if (sizes.empty())
        bytes = uint64_t(uniformSize) * (count - first);
    else
        for (uint32_t i = first; i < count; ++i) bytes += sizes[i];
    return chunks.back().offset + bytes;
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
    if (index >= count) return false;
    if (offsets.empty()) {
        if (offset == 0) return true;
        offsets.resize(count, 0);
    }
    offsets[index] = offset;
    return true;
}

bool SampleTable::SetSync(uint32_t index, bool isSync) {
    if (index >= count) return false;
    if (allSync && isSync) return true;
    if (allSync) ListSync();
    const uint32_t number = index + 1;
    auto it = std::lower_bound(sync.begin(), sync.end(), number);
    const bool listed = it != sync.end() && *it == number;
    if (isSync && !listed) sync.insert(it, number);
    if (!isSync && listed) sync.erase(it);
    return true;
}

bool SampleTable::SetRandomAccess(uint32_t index, uint8_t entry) {
    if (index >= count) return false;
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
    if (offsets.empty()) return mediaDuration;
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
