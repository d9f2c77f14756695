// The sample tables of one track, kept compact while the media data is written: four bytes a
// sample for its size (nothing while every sample has the same size), four more only once a
// composition offset is set, run lengths for the durations, the numbers of the sync samples
// (nothing while every sample is one), and where each chunk begins.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

class SampleTable {
public:
    struct Run {
        uint32_t count;
        uint32_t value;
    };

    // A chunk (8.7.4): samples that lie one after the other in the file from `offset` on.
    struct Chunk {
        uint64_t offset;
        uint32_t firstSample;  // 0-based
    };

    void Add(uint32_t size, uint32_t duration, bool sync) { AddRun(size, duration, 1, sync); }
    // `count` samples of the same size and duration at once.
    void AddRun(uint32_t size, uint32_t duration, uint32_t count, bool sync);
    // Begins a chunk at `offset` in the file whose first sample is `firstSample` (0-based): the
    // next sample to come, or the first of the latest ones added.
    void AddChunk(uint64_t offset, uint32_t firstSample) {
        chunks.push_back({offset, firstSample});
    }
    const std::vector<Chunk>& Chunks() const { return chunks; }
    void DropLastChunk() {
        if (!chunks.empty()) chunks.pop_back();
    }
    // The end in the file of the last chunk's data (0 without chunks).
    uint64_t ChunksEnd() const;
    // Changes the duration of the last sample; false when there is none.
    bool SetLastDuration(uint32_t duration);
    // Composition offset (ctts) of sample `index` (0-based); false when there is no such sample.
    bool SetCompositionOffset(uint32_t index, uint32_t offset);

    // Revises whether sample `index` (0-based) is a sync sample; false when there is no such
    // sample. Cheap for the latest samples.
    bool SetSync(uint32_t index, bool isSync);
    // Puts sample `index` into the random access point group ('rap ', ISO/IEC 14496-12 10.4)
    // with the VisualRandomAccessEntry byte that describes it; again for the same sample
    // replaces its entry. False when there is no such sample.
    bool SetRandomAccess(uint32_t index, uint8_t entry);
    // The group's members: 1-based sample number to entry byte.
    const std::map<uint32_t, uint8_t>& RandomAccessSamples() const { return randomAccess; }

    uint32_t Count() const { return count; }
    uint32_t Size(uint32_t index) const { return sizes.empty() ? uniformSize : sizes[index]; }
    // Whether every sample has the same size (then UniformSize() is it).
    bool SameSizes() const { return sizes.empty(); }
    uint32_t UniformSize() const { return uniformSize; }
    uint32_t CompositionOffset(uint32_t index) const {
        return offsets.empty() ? 0 : offsets[index];
    }
    bool HasCompositionOffsets() const;
    // Sample durations as (count, duration) runs, in decoding order (stts).
    const std::vector<Run>& Durations() const { return durations; }
    // Calls f(Run) for each run of equal composition offsets, in decoding order (ctts), without
    // building the runs in memory; returns the number of runs.
    template <typename F>
    uint32_t ForEachCompositionOffsetRun(F&& f) const {
        uint32_t runs = 0;
        Run run{0, 0};
        for (uint32_t o : offsets) {
            if (run.count > 0 && run.value != o) {
                f(run);
                ++runs;
                run.count = 0;
            }
            run.value = o;
            ++run.count;
        }
        if (run.count > 0) {
            f(run);
            ++runs;
        }
        return runs;
    }
    // 1-based numbers of the sync samples (stss) unless AllSync().
    const std::vector<uint32_t>& SyncSamples() const { return sync; }
    bool AllSync() const { return allSync || sync.size() == count; }
    // The number (1-based) of the last sync sample before sample number `number`; 0 for none.
    uint32_t LastSyncBefore(uint32_t number) const;
    // The decode time at which sample `count` (1-based) ends: the durations of the first
    // `count` samples.
    uint64_t DecodeEnd(uint32_t count) const;
    // The sum of the sample durations.
    uint64_t MediaDuration() const { return mediaDuration; }
    // The latest composition time at which a sample ends: the end of the presentation.
    uint64_t PresentationEnd() const;
    uint64_t DataSize() const { return dataSize; }

private:
    // The sizes once they differ; before, every one of the `count` samples is `uniformSize`.
    std::deque<uint32_t> sizes;
    uint32_t uniformSize = 0;
    uint32_t count = 0;
    bool allSync = true;           // `sync` is filled in once a sample is not
    std::deque<uint32_t> offsets;  // empty while every offset is 0
    std::vector<Run> durations;
    std::vector<uint32_t> sync;
    std::map<uint32_t, uint8_t> randomAccess;
    std::vector<Chunk> chunks;
    uint64_t mediaDuration = 0;
    uint64_t dataSize = 0;

    void ListSync();
};
