// The sound readers on any bytes, told by content or (the first byte chooses) by a raw name: fed
// whole and fed in pieces, they must give the same frames, warnings and reason; every frame
// lasts what its coding says and holds no more bytes than came in.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audioreader.h"
#include "fuzz/fuzz_check.h"

namespace {

struct Outcome {
    std::vector<AudioFrame> frames;
    std::vector<std::string> warnings;
    std::string error;
    AudioSampleEntry format;
    uint32_t leading = 0, trailing = 0;
};

void Take(AudioReader& r, Outcome& o) {
    AudioFrame f;
    while (r.Next(f)) {
        CHECK(r.HasFormat() && !r.Failed());
        o.frames.push_back(f);
    }
    for (std::string& w : r.TakeWarnings()) o.warnings.push_back(w);
}

// Feeds `size` bytes in pieces of `piece` bytes (all at once for 0), taking frames in between;
// every other piece read into the reader's room for more, as a file is.
Outcome Run(const std::string& name, const uint8_t* data, size_t size, size_t piece) {
    AudioOptions options;
    std::unique_ptr<AudioReader> r = OpenAudioReader(name, options);
    Outcome o;
    for (size_t at = 0; at < size;) {
        const size_t n = piece == 0 ? size : std::min(piece, size - at);
        if ((at / std::max<size_t>(piece, 1)) % 2) {
            memcpy(r->FeedSpace(n + 1), data + at, n);
            r->Fed(n);
        } else {
            r->Feed(data + at, n);
        }
        at += n;
        Take(*r, o);
    }
    r->Finish();
    Take(*r, o);
    CHECK(r->AtEnd());
    CHECK(r->Failed() == !r->Error().empty());
    o.error = r->Error();
    if (r->HasFormat()) o.format = r->Format();
    o.leading = r->LeadingSampleTimes();
    o.trailing = r->TrailingSampleTimes();
    AudioFrame f;
    CHECK(!r->Next(f));  // nothing after the end
    return o;
}

void CheckFrames(const Outcome& o, size_t size) {
    size_t bytes = 0;
    const AudioSampleEntry& f = o.format;
    for (const AudioFrame& fr : o.frames) {
        CHECK(!fr.data.empty() && fr.sampleTimes > 0);
        bytes += fr.data.size();
        switch (f.kind) {
            case AudioSampleEntry::Kind::kAac:
                CHECK(fr.sampleTimes == 1024 && fr.data.size() < 8192);
                CHECK(f.decoderSpecificInfo.size() == 2);
                break;
            case AudioSampleEntry::Kind::kMp3:
                CHECK(fr.sampleTimes == (f.sampleRate >= 32000 ? 1152u : 576u));
                CHECK(fr.data.size() >= 4 && fr.data.size() <= 1441 && fr.data[0] == 0xFF);
                break;
            default:
                CHECK(f.bitsPerSample % 8 == 0 && f.channels > 0);
                CHECK(fr.data.size() == size_t(fr.sampleTimes) * f.channels * f.bitsPerSample / 8);
                CHECK(fr.sampleTimes <= std::max<uint32_t>(f.sampleRate / 10, 1));
        }
    }
    CHECK(bytes <= size);
    CHECK(f.sampleRate > 0 || o.frames.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1 << 20)) return 0;
    static const char* const kNames[4] = {"s.aac", "s.alaw", "s.ulaw", "s.pcm"};
    const std::string name = kNames[data[0] % 4];
    const size_t piece = data[0] / 4 + 1;
    ++data;
    --size;
    const Outcome whole = Run(name, data, size, 0);
    CheckFrames(whole, size);
    const Outcome pieces = Run(name, data, size, piece);
    CHECK(pieces.error == whole.error);
    CHECK(pieces.warnings == whole.warnings);
    CHECK(pieces.leading == whole.leading && pieces.trailing == whole.trailing);
    CHECK(pieces.frames.size() == whole.frames.size());
    for (size_t i = 0; i < whole.frames.size(); ++i) {
        CHECK(pieces.frames[i].data == whole.frames[i].data);
        CHECK(pieces.frames[i].sampleTimes == whole.frames[i].sampleTimes);
    }
    return 0;
}
