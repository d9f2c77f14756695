// What the parameter sets of a track become: the decoder configuration record's sets, and the
// ones that must travel in band, in front of the sample they precede. Shared by the H.264 and
// H.265 tracks, whose sets differ only in their kinds and how their ids are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class ParameterSetStore {
public:
    using Bytes = std::vector<uint8_t>;

    // `room[k]`: how many sets of kind k the record can hold. Kinds are numbered in the order in
    // which they refer to one another (a set refers only to kinds below its own).
    explicit ParameterSetStore(std::vector<size_t> room);

    // Takes a set of kind `kind` with id `id` (a whole NAL unit). A set with an id not seen
    // before goes into the record, however late it comes; before the first sample
    // (`samplesStarted` false) the latest set of an id replaces the earlier one there. After it,
    // a set that differs from the record's set of its id, or from what the decoder holds, is
    // appended to `inband` as a 4-byte length and the unit; a plain repeat is dropped.
    void Add(size_t kind, uint32_t id, const uint8_t* nal, uint16_t length, bool samplesStarted,
             Bytes* inband);

    // Ends the record: from now on a set with an id not seen before travels in band too (the
    // record of a fragmented file is written before the media).
    void Freeze() { frozen = true; }

    // The record's sets of a kind, by id.
    const std::map<uint32_t, Bytes>& Record(size_t kind) const { return kinds[kind].record; }
    // Whether any set had to travel in band.
    bool AnyInBand() const { return anyInBand; }

private:
    struct Kind {
        size_t room = 0;
        std::map<uint32_t, Bytes> record;  // the first of each id
        std::map<uint32_t, Bytes> active;  // what the decoder holds now
    };
    std::vector<Kind> kinds;
    bool anyInBand = false;
    bool frozen = false;
};

// Appends the sets of a record's array, each behind its 16-bit length (ISO/IEC 14496-15 5.3.3.1,
// 8.3.3.1).
void AppendRecordSets(std::vector<uint8_t>& out,
                      const std::map<uint32_t, std::vector<uint8_t>>& sets);
