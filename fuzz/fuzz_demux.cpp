// The camera and DVR file readers on any bytes: the first byte picks the reader and the size of
// the pieces the rest is fed in. Read in pieces, a file gives what it gives read at once; every
// packet has bytes, the first picture is at time 0, and a file without one says why. The
// recording-date parsers take the same bytes as a name and as a typed date.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "demux/demuxer.h"
#include "demux/recordingdate.h"
#include "fuzz/fuzz_check.h"

namespace {

struct Out {
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<int64_t> ms;
    std::vector<int> kinds;
    uint64_t damaged = 0, skipped = 0, leftOut = 0;
    std::string failure;
};

Out Read(ContainerKind kind, const uint8_t* data, size_t size, size_t piece) {
    std::unique_ptr<Demuxer> d = MakeDemuxer(kind);
    Out o;
    bool video = false;
    auto drain = [&] {
        DemuxPacket p;
        while (d->Next(&p)) {
            CHECK(p.size > 0 && p.data != nullptr);
            if (p.kind == DemuxPacket::Kind::Video && !video) {
                CHECK(p.ms == 0);
                video = true;
            }
            o.bytes.emplace_back(p.data, p.data + p.size);
            o.ms.push_back(p.ms);
            o.kinds.push_back(int(p.kind));
        }
    };
    for (size_t off = 0; off < size; off += piece) {
        d->Feed(data + off, std::min(piece, size - off));
        drain();
    }
    d->Finish();
    drain();
    o.damaged = d->DamagedRecords();
    o.skipped = d->SkippedBytes();
    o.leftOut = d->SoundFramesLeftOut();
    o.failure = d->FailureReason();
    CHECK(o.skipped <= size);
    CHECK(o.failure.empty() == video);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const ContainerKind kinds[] = {ContainerKind::Hxvs, ContainerKind::Hxvt, ContainerKind::Dhav};
    const ContainerKind kind = kinds[data[0] % 3];
    const size_t piece = 1 + size_t(data[0] / 3) * 7;
    ++data;
    --size;

    const Out whole = Read(kind, data, size, size ? size : 1);
    const Out pieces = Read(kind, data, size, piece);
    CHECK(whole.bytes == pieces.bytes && whole.ms == pieces.ms && whole.kinds == pieces.kinds);
    CHECK(whole.damaged == pieces.damaged && whole.skipped == pieces.skipped);
    CHECK(whole.leftOut == pieces.leftOut && whole.failure == pieces.failure);

    const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 64));
    CivilTime t;
    bool camera = false;
    if (DateInFileName(text, &t, &camera)) CHECK(IsValidCivilTime(t));
    int64_t seconds = 0;
    ParseDateText(text, &seconds);
    return 0;
}
