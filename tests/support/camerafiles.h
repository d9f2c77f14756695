// Camera and DVR files made from a raw stream and raw sound, as the recorders write them: HXVS
// and HXVT (a record per NAL unit, A-law every 20 ms about 100 ms behind the pictures, an index
// at the end) and DHAV (with or without the DAHUA header, a frame per picture and per sound
// frame, the millisecond counter going round), with damage made on purpose. Each file comes with
// what a reader must find in it. Plain C++, for the fuzzers' seeds as well as the tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "demux/demuxer.h"
#include "demux/dhav.h"

namespace camerafiles {

using Bytes = std::vector<uint8_t>;

struct Sound {
    enum class Kind { None, ALaw, ULaw, Pcm16, Aac } kind = Kind::None;
    Bytes bytes;  // raw samples, or an ADTS stream
    uint32_t rate = 8000;
    int channels = 1;
};

struct Damage {
    enum class Kind {
        Cut,        // the record keeps its first `bytes` bytes, its header its length
        Garbage,    // `bytes` bytes that are no record, in front of the record
        BadLength,  // the record's length field says 1000 bytes more
        CutEnd,     // the file loses its last `bytes` bytes
    } kind;
    size_t record = 0;  // the record's place among all records of the file, from 0
    size_t bytes = 0;
};

struct Options {
    ContainerKind kind = ContainerKind::Hxvs;
    bool h265 = false;            // the stream's codec (DHAV's extension says it)
    bool dahuaHeader = false;     // DHAV: the 0x400-byte header in front
    bool wideSoundField = false;  // DHAV: the sound's extension field 0x8C, not 0x83
    std::vector<int> durationsMs = {33, 34, 33, 40, 68};  // each picture's, round and round
    // Instead: each picture's time, in decoding order (with B-frames not ascending).
    std::vector<int64_t> pictureMs;
    int64_t soundStartMs = 0;       // the first sound frame's time after the first picture's
    int64_t soundLagMs = 100;       // how far behind the pictures the sound records are written
    uint32_t clockStart = 1000000;  // the recorder's clock at the first picture (DHAV: mod 65536)
    CivilTime date{2026, 12, 7, 14, 3, 59};  // DHAV: the first picture's date
    bool index = true;                       // HXVS: the index at the end
    int aacFramesPerRecord = 2;              // DHAV
    std::vector<Damage> damage;
};

struct Packet {
    bool video = true;
    Bytes bytes;
    int64_t ms = 0;
    bool key = false;
    bool picture = false;  // holds a picture's first slice
};

struct File {
    Bytes bytes;
    std::vector<Packet> video, sound;  // what a reader gives, each in file order
    uint64_t damagedRecords = 0;
    uint64_t skippedBytes = 0;
    // DHAV: the whole frames of each kind, as FFmpeg's reader counts them.
    size_t videoFrames = 0, soundFrames = 0;
};

inline void Le32(Bytes* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back(uint8_t(v >> (8 * i)));
}
inline void Le16(Bytes* b, uint16_t v) {
    b->push_back(uint8_t(v));
    b->push_back(uint8_t(v >> 8));
}

// The access units of an Annex B stream, each its NAL units with 4-byte start codes.
struct AccessUnit {
    std::vector<Bytes> units;
    bool key = false;
    size_t firstSlice = 0;  // the first slice's place among the units
};
inline std::vector<AccessUnit> SplitAccessUnits(const Bytes& s, bool h265) {
    std::vector<Bytes> nals;
    const size_t none = size_t(-1);
    size_t i = 0, start = none;
    auto close = [&](size_t endAt) {
        if (start == none) return;
        size_t e = endAt;
        while (e > start && s[e - 1] == 0) --e;  // trailing zero bytes belong to the next code
        if (e > start) {
            Bytes u = {0, 0, 0, 1};
            u.insert(u.end(), s.begin() + long(start), s.begin() + long(e));
            nals.push_back(u);
        }
    };
    while (i + 3 <= s.size()) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            close(i);
            start = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    close(s.size());
    std::vector<AccessUnit> aus;
    bool vclSeen = false;
    for (const Bytes& u : nals) {
        if (u.size() < 6) continue;
        const int type = h265 ? (u[4] >> 1) & 0x3F : u[4] & 0x1F;
        const bool vcl = h265 ? type < 32 : type >= 1 && type <= 5;
        const bool first = h265 ? (u[6] & 0x80) != 0 : (u[5] & 0x80) != 0;
        const bool opens = h265 ? (type >= 32 && type <= 35) || type == 39
                                : type == 6 || type == 7 || type == 8 || type == 9;
        if (aus.empty() || (vclSeen && ((vcl && first) || opens))) {
            aus.push_back({});
            vclSeen = false;
        }
        if (vcl && !vclSeen) aus.back().firstSlice = aus.back().units.size();
        aus.back().units.push_back(u);
        vclSeen = vclSeen || vcl;
        if (h265 ? type >= 16 && type <= 23 : type == 5) aus.back().key = true;
    }
    return aus;
}

// The ADTS frames of a stream, whole with their headers.
inline std::vector<Bytes> SplitAdts(const Bytes& s) {
    std::vector<Bytes> frames;
    size_t off = 0;
    while (off + 7 <= s.size() && s[off] == 0xFF && (s[off + 1] & 0xF0) == 0xF0) {
        const size_t n = size_t(s[off + 3] & 3) << 11 | size_t(s[off + 4]) << 3 | s[off + 5] >> 5;
        if (n < 7 || off + n > s.size()) break;
        frames.emplace_back(s.begin() + long(off), s.begin() + long(off + n));
        off += n;
    }
    return frames;
}

// The clock time of seconds since 1970 (the inverse of CivilSeconds).
inline CivilTime FromSeconds(int64_t s) {
    const int64_t z = s / 86400 + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    CivilTime c;
    c.day = int(doy - (153 * mp + 2) / 5 + 1);
    c.month = int(mp < 10 ? mp + 3 : mp - 9);
    c.year = int(yoe + era * 400 + (c.month <= 2));
    c.hour = int(s % 86400 / 3600);
    c.minute = int(s % 3600 / 60);
    c.second = int(s % 60);
    return c;
}

inline File Make(const Bytes& annexB, const Sound& sound, const Options& o) {
    struct Record {
        Bytes bytes;
        int64_t writeAt;  // when the recorder writes it, for their order
        std::vector<Packet> packets;
        bool media = true;  // not the index
    };
    std::vector<Record> records;
    const bool dhav = o.kind == ContainerKind::Dhav;
    uint32_t frameNumber = 0;

    // DHAV's frame around a payload; `t` the time after the first picture.
    auto dhavFrame = [&](uint8_t type, const Bytes& ext, const Bytes& payload, int64_t t) {
        Bytes f = {'D', 'H', 'A', 'V', type, 0, 0, 0};
        Le32(&f, frameNumber++);
        const uint32_t length = uint32_t(24 + ext.size() + payload.size() + 8);
        Le32(&f, length);
        // The date moves with the counter: the first picture is 400 ms into its second.
        const int64_t ms = t + 400;
        const CivilTime d =
            FromSeconds(CivilSeconds(o.date) + (ms >= 0 ? ms / 1000 : (ms - 999) / 1000));
        Le32(&f, uint32_t(d.second) | uint32_t(d.minute) << 6 | uint32_t(d.hour) << 12 |
                     uint32_t(d.day) << 17 | uint32_t(d.month) << 22 |
                     uint32_t(d.year - 2000) << 26);
        Le16(&f, uint16_t(o.clockStart + t));
        f.push_back(uint8_t(ext.size()));
        uint8_t sum = 0;
        for (uint8_t c : f) sum = uint8_t(sum + c);
        f.push_back(sum);
        f.insert(f.end(), ext.begin(), ext.end());
        f.insert(f.end(), payload.begin(), payload.end());
        f.insert(f.end(), {'d', 'h', 'a', 'v'});
        Le32(&f, length);
        return f;
    };
    auto hxvsRecord = [&](const char* tag, const Bytes& payload, int64_t t, uint32_t flags) {
        Bytes r(tag, tag + 4);
        Le32(&r, uint32_t(payload.size()));
        Le32(&r, uint32_t(o.clockStart + t));
        Le32(&r, flags);
        r.insert(r.end(), payload.begin(), payload.end());
        return r;
    };

    // Pictures.
    int64_t t = 0, written = 0;
    size_t n = 0;
    for (const AccessUnit& au : SplitAccessUnits(annexB, o.h265)) {
        if (n < o.pictureMs.size()) t = o.pictureMs[n];
        written = std::max(written, t);  // in decoding order, whatever the times
        if (dhav) {
            Bytes payload;
            for (const Bytes& u : au.units) payload.insert(payload.end(), u.begin(), u.end());
            Bytes ext;
            if (au.key) {
                ext = {0x80, 0, 160 / 8, 120 / 8, 0x81, 0, uint8_t(o.h265 ? 0x0C : 2), 25, 0x88, 0,
                       0,    0, 0,       0,       0,    0};
            }
            records.push_back({dhavFrame(au.key ? 0xFD : 0xFC, ext, payload, t),
                               written,
                               {{true, payload, t, au.key, true}}});
        } else {
            for (size_t k = 0; k < au.units.size(); ++k)
                records.push_back({hxvsRecord("HXVF", au.units[k], t, au.key ? 1 : 2),
                                   written,
                                   {{true, au.units[k], t, au.key, k == au.firstSlice}}});
        }
        t += o.durationsMs[n++ % o.durationsMs.size()];
    }

    // Sound, written behind the pictures of its time.
    if (sound.kind == Sound::Kind::Aac) {
        const std::vector<Bytes> frames = SplitAdts(sound.bytes);
        const int per = std::max(1, o.aacFramesPerRecord);
        for (size_t j = 0; j < frames.size(); j += size_t(per)) {
            const int64_t at =
                o.soundStartMs + (int64_t(j) * 1024 * 1000 + sound.rate / 2) / sound.rate;
            Bytes payload;
            std::vector<Packet> ps;
            for (size_t k = j; k < frames.size() && k < j + size_t(per); ++k) {
                payload.insert(payload.end(), frames[k].begin(), frames[k].end());
                const size_t h = (frames[k][1] & 1) ? 7 : 9;
                ps.push_back({false, Bytes(frames[k].begin() + long(h), frames[k].end()),
                              at + (int64_t(k - j) * 1024 * 1000 + sound.rate / 2) / sound.rate,
                              false});
            }
            const Bytes ext = {0x83, 1, 0x1A, 0};
            records.push_back({dhavFrame(0xF0, ext, payload, at), at + o.soundLagMs, ps});
        }
    } else if (sound.kind != Sound::Kind::None) {
        const size_t sampleBytes = sound.kind == Sound::Kind::Pcm16 ? 2 : 1;
        const size_t chunk = sound.rate / 50 * sampleBytes * size_t(sound.channels);
        const uint8_t codec = sound.kind == Sound::Kind::ALaw   ? 0x0E
                              : sound.kind == Sound::Kind::ULaw ? 0x16
                                                                : 0x10;
        const uint8_t rateIndex = sound.rate == 8000    ? 0
                                  : sound.rate == 16000 ? 4
                                  : sound.rate == 48000 ? 9
                                                        : 0;
        for (size_t j = 0; j * chunk < sound.bytes.size(); ++j) {
            const int64_t at = o.soundStartMs + int64_t(j) * 20;
            const size_t end = std::min(sound.bytes.size(), (j + 1) * chunk);
            const Bytes payload(sound.bytes.begin() + long(j * chunk),
                                sound.bytes.begin() + long(end));
            if (dhav) {
                const Bytes ext =
                    o.wideSoundField
                        ? Bytes{0x8C, 0, uint8_t(sound.channels), codec, rateIndex, 0, 0, 0}
                        : Bytes{0x83, uint8_t(sound.channels), codec, rateIndex};
                records.push_back({dhavFrame(0xF0, ext, payload, at),
                                   at + o.soundLagMs,
                                   {{false, payload, at, false}}});
            } else {
                Bytes p = {0x00, 0x01, 0x50, 0x00};
                p.insert(p.end(), payload.begin(), payload.end());
                records.push_back({hxvsRecord("HXAF", p, at, 0),
                                   at + o.soundLagMs,
                                   {{false, payload, at, false}}});
            }
        }
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return a.writeAt < b.writeAt; });
    if (!dhav && o.index) {
        Bytes entries;
        for (size_t k = 0; k < 16; ++k) Le32(&entries, uint32_t(k * 4096));
        Record index{hxvsRecord("HXFI", entries, 0, 0), 0, {}};
        index.media = false;
        records.push_back(index);
    }

    // Damage, then the file.
    File f;
    std::vector<bool> lost(records.size(), false);
    std::vector<Bytes> before(records.size());
    size_t cutEnd = 0;
    for (const Damage& d : o.damage) {
        if (d.kind == Damage::Kind::CutEnd) {
            cutEnd = d.bytes;
            continue;
        }
        Record& r = records[d.record];
        ++f.damagedRecords;
        switch (d.kind) {
            case Damage::Kind::Cut:
                r.bytes.resize(std::min(d.bytes, r.bytes.size() - 1));
                lost[d.record] = true;
                f.skippedBytes += r.bytes.size();
                break;
            case Damage::Kind::Garbage:
                before[d.record].assign(d.bytes, 0x5A);
                f.skippedBytes += d.bytes;
                break;
            case Damage::Kind::BadLength: {
                const size_t at = dhav ? 12 : 4;
                uint32_t v = 0;
                for (int i = 0; i < 4; ++i) v |= uint32_t(r.bytes[at + size_t(i)]) << (8 * i);
                v += 1000;
                for (int i = 0; i < 4; ++i) r.bytes[at + size_t(i)] = uint8_t(v >> (8 * i));
                lost[d.record] = true;
                f.skippedBytes += r.bytes.size();
                break;
            }
            case Damage::Kind::CutEnd:
                break;
        }
    }
    if (dhav && o.dahuaHeader) {
        f.bytes = {'D', 'A', 'H', 'U', 'A'};
        f.bytes.resize(DhavReader::kFileHeaderBytes, 0);
    } else if (!dhav) {
        f.bytes = {'H', 'X', 'V', o.kind == ContainerKind::Hxvt ? uint8_t('T') : uint8_t('S')};
        Le32(&f.bytes, 160);
        Le32(&f.bytes, 120);
        Le32(&f.bytes, 0);
    }
    std::vector<size_t> starts;
    for (size_t k = 0; k < records.size(); ++k) {
        f.bytes.insert(f.bytes.end(), before[k].begin(), before[k].end());
        starts.push_back(f.bytes.size());
        f.bytes.insert(f.bytes.end(), records[k].bytes.begin(), records[k].bytes.end());
    }
    if (cutEnd > 0) {
        const size_t size = f.bytes.size() - cutEnd;
        f.bytes.resize(size);
        for (size_t k = 0; k < records.size(); ++k) {
            if (starts[k] + records[k].bytes.size() <= size) continue;
            if (starts[k] < size && records[k].media) {
                ++f.damagedRecords;
                f.skippedBytes += size - starts[k];
            }
            lost[k] = true;
        }
    }
    for (size_t k = 0; k < records.size(); ++k) {
        if (lost[k]) continue;
        for (const Packet& p : records[k].packets) (p.video ? f.video : f.sound).push_back(p);
        if (dhav && !records[k].packets.empty()) {
            if (records[k].packets[0].video)
                ++f.videoFrames;
            else
                ++f.soundFrames;
        }
    }
    return f;
}

}  // namespace camerafiles
