#include "mp4/paramsets.h"

ParameterSetStore::ParameterSetStore(std::vector<size_t> room) : kinds(room.size()) {
    for (size_t k = 0; k < room.size(); ++k) kinds[k].room = room[k];
}

void ParameterSetStore::Add(size_t kind, uint32_t id, const uint8_t* nal, uint16_t len,
                            bool samplesStarted, Bytes* inband) {
    Kind& k = kinds[kind];
    Bytes bytes(nal, nal + len);
    auto known = k.record.find(id);
    // A set beyond what the record can count can only travel in band.
    if (known == k.record.end() && k.record.size() < k.room && !frozen) {
        k.record[id] = bytes;
        k.active[id] = std::move(bytes);
        return;
    }
    if (!samplesStarted && known != k.record.end()) {
        known->second = bytes;  // the decoder has not begun: the latest one configures it
        k.active[id] = std::move(bytes);
        return;
    }
    // A set the decoder holds already, and that the record holds too, is dropped. One that
    // differs from the record travels in band each time the stream repeats it, so that a player
    // that seeks past its first appearance still gets it.
    auto held = k.active.find(id);
    const bool decoderHasIt = held != k.active.end() && held->second == bytes;
    if (decoderHasIt && known != k.record.end() && known->second == bytes) return;
    const size_t n = bytes.size();
    const uint8_t prefix[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    inband->insert(inband->end(), prefix, prefix + 4);
    inband->insert(inband->end(), bytes.begin(), bytes.end());
    anyInBand = true;
    k.active[id] = std::move(bytes);
    // A decoder drops the sets that refer to a set that changes (and one that seeks here meets
    // this set as a change): the sets of the kinds above that follow are sent too, even when they
    // repeat.
    for (size_t above = kind + 1; above < kinds.size(); ++above) kinds[above].active.clear();
}

void AppendRecordSets(std::vector<uint8_t>& out,
                      const std::map<uint32_t, std::vector<uint8_t>>& sets) {
    for (const auto& [id, nal] : sets) {
        out.push_back(uint8_t(nal.size() >> 8));
        out.push_back(uint8_t(nal.size()));
        out.insert(out.end(), nal.begin(), nal.end());
    }
}
