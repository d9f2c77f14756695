// The libmp4v2 calls of mp4v2.h and mp4check.h over our own writer of a file of tracks: an H.264
// or H.265 one, and others beside it.
//
// Layout of the file: ftyp, a free box of 8 bytes, then the media data box (mdat), which
// receives every sample as it comes, and at close the movie box (moov) behind it. The only track
// writes its chunks straight into the media data; with several, each track's chunk of about half
// a second waits in memory until it is complete, so that the chunks alternate in time order. When
// the media data passes 4 GiB, its header takes the free box's 8 bytes for a 64-bit size. The ftyp
// is written for H.264 before the track is known; an H.265 file's, one brand shorter, is
// written over it at close, and the free box (or the 64-bit header) grows back by the brand.
// With fast start, everything behind the ftyp moves up by the moov's size at close and the moov
// takes the room in front: ftyp, moov, free (or the 64-bit header), mdat.
//
// A fragmented file instead gathers the samples of each fragment in memory and writes them as a
// movie fragment (moof) and its media data, whole, behind ftyp and a moov with empty tables and
// mvex, which go out with the first fragment. The video track decides where fragments end; each
// other track puts into a fragment the samples that begin within the time the video's cover.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <deque>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "mp4/avcconfig.h"
#include "mp4/boxes.h"
#include "mp4/boxwriter.h"
#include "mp4/filesink.h"
#include "mp4/hevcconfig.h"
#include "mp4/moovwriter.h"
#include "mp4/mp4check.h"
#include "mp4/mp4v2.h"
#include "mp4/sampletable.h"
#include "mp4/soundentry.h"

namespace {

// Writes leave in pieces of 1 MiB: large enough to be few, small enough that what was just
// copied in is still in the cache when the kernel copies it out.
constexpr size_t kWriteBuffer = 1u << 20;
// The disk writes the media data out behind the conversion, a window of this many bytes at a
// time (see FileSink), so that the fsync at the end has little left to wait for.
constexpr uint64_t kWriteBackWindow = 16u << 20;
constexpr uint32_t kMaxSamplesPerChunk = 64;
// Bytes moved at a time when the media data makes room for the movie box in front of it.
constexpr size_t kMoveBuffer = 8u << 20;

// A fragmented file's gathered sample: its size, duration, composition offset, whether it is a
// sync sample and whether it is left out. A sound track's samples come in runs of `count` equal
// ones; a video track's one by one, each reachable by its number.
struct FragmentSample {
    uint32_t size;
    uint32_t duration;
    int32_t offset;  // composition offset
    bool sync;
    bool hidden = false;  // left out of the file
    uint32_t count = 1;
};
struct FragmentEntry {
    uint64_t time;  // presentation time of its first sample
    uint64_t moofOffset;
};

// One track: what its boxes say, its sample table, its open sample and chunk, and the fragment
// being gathered.
struct TrackState {
    Track box;
    bool audio = false;
    MP4Duration fixedDuration = MP4_INVALID_DURATION;
    uint8_t profile = 0, compat = 0, level = 0, lengthSizeMinusOne = 3;
    AvcParameterSets parameterSets;
    HevcParameterSets hevcSets;
    Mp4HevcFields hevcFields;
    std::vector<uint8_t> inband;  // parameter sets for the front of the next sample data
    SampleTable samples;
    bool sampleOpen = false;
    bool samplesStarted = false;
    uint64_t sampleStart = 0;
    uint32_t sampleInband = 0;  // parameter sets at the front of the open sample

    // The chunk being filled: its samples, their duration and its decode time, and whether its
    // bytes go straight into the file (the only track) or wait in memory for their turn; then
    // the complete chunks that wait for the other tracks to reach their time. A chunk that
    // waits holds its bytes in parts: the samples handed over whole (MP4WriteSamplesTaken) as
    // they came, the bytes copied in between them gathered in `chunkData`, the last part.
    uint32_t samplesPerChunk = 1;  // the only track's chunks
    bool chunkOpen = false;
    bool chunkDirect = false;
    bool chunkAlone = false;  // opened while the track was the file's only one
    uint32_t chunkSamples = 0;
    uint64_t chunkTicks = 0;
    uint64_t chunkStart = 0;
    std::vector<std::vector<uint8_t>> chunkParts;  // in front of chunkData
    uint64_t chunkPartBytes = 0;
    std::vector<uint8_t> chunkData;
    struct WaitingChunk {
        std::vector<std::vector<uint8_t>> parts;
        uint64_t bytes;
        uint32_t firstSample;
        uint64_t start;  // decode time
    };
    std::deque<WaitingChunk> waiting;
    bool ended = false;  // no more samples come: the others need not wait for it

    // A fragmented file: the samples of the fragment being gathered, their media data, and
    // where each written fragment's moof is, for the random access index.
    bool runs = false;  // samples gathered in runs
    std::vector<uint8_t> fragmentData;
    std::deque<FragmentSample> fragmentSamples;
    uint64_t fragmentFirst = 0;  // 0-based number of fragmentSamples[0]
    uint64_t fragmentBase = 0;   // its decoding time
    std::vector<FragmentEntry> fragmentIndex;
};

struct Mp4File {
    explicit Mp4File(int fd) : fd(fd), sink(fd, kWriteBuffer), boxes(sink) {}

    int fd;
    FileSink sink;
    BoxWriter boxes;
    uint64_t fileTypeEnd = 0;  // where the free box begins
    uint64_t mdatHeader = 0;   // offset of the media data box's 8-byte header
    uint32_t movieTimeScale = 90000;
    int visualProfileLevel = -1;
    uint64_t creationTime = 0;  // seconds since 1904; 0 unknown
    bool fastStart = false;
    std::vector<std::unique_ptr<TrackState>> tracks;  // track id i + 1 is tracks[i]

    bool fragmented = false;
    bool seekable = false;
    // Each fragment reaches the disk before the next is written (a recording under its final
    // name); else the file is made durable by its owner once it is whole.
    bool durable = false;
    // Each fragment goes to the descriptor as soon as it is complete; else in large writes.
    bool live = true;
    bool movieWritten = false;
    uint32_t fragmentCount = 0;  // fragments begun
    // Fragments written whole (and, for a durable file, on the disk), where the last one ends,
    // and the caller's copy of what they hold.
    uint32_t wholeFragments = 0;
    uint64_t wholeEnd = 0;
    Mp4FragmentReport* report = nullptr;
    MovieExtends extends;
    int syncError = 0;  // errno of a failed fdatasync

    // The first video track; the file type and the fragments' lengths follow it.
    TrackState* Video() const {
        for (const auto& t : tracks)
            if (!t->audio) return t.get();
        return nullptr;
    }
};

TrackState* FindTrack(MP4FileHandle h, MP4TrackId trackId) {
    Mp4File* f = static_cast<Mp4File*>(h);
    return f && trackId >= 1 && trackId <= f->tracks.size() ? f->tracks[trackId - 1].get()
                                                            : nullptr;
}

TrackState* HevcTrack(MP4FileHandle h, MP4TrackId trackId) {
    TrackState* t = FindTrack(h, trackId);
    return t && t->box.codec == VideoCodec::kH265 ? t : nullptr;
}

TrackState* AvcTrack(MP4FileHandle h, MP4TrackId trackId) {
    TrackState* t = FindTrack(h, trackId);
    return t && t->box.codec == VideoCodec::kH264 ? t : nullptr;
}

uint64_t Rescale(uint64_t ticks, uint32_t to, uint32_t from) {
    return uint64_t((unsigned __int128)ticks * to / from);
}

// Where the next sample byte goes: the file, the chunk waiting for its turn, or a fragmented
// file's gathered media data.
uint64_t DataPosition(const Mp4File* f, const TrackState* t) {
    if (f->fragmented) return t->fragmentData.size();
    return t->chunkOpen && !t->chunkDirect ? t->chunkPartBytes + t->chunkData.size()
                                           : f->sink.Position();
}

void PutData(Mp4File* f, TrackState* t, const uint8_t* p, size_t n) {
    if (f->fragmented)
        t->fragmentData.insert(t->fragmentData.end(), p, p + n);
    else if (!t->chunkDirect)
        t->chunkData.insert(t->chunkData.end(), p, p + n);
    else
        f->sink.Write(p, n);
}

// Whole samples' bytes handed over: a chunk that waits keeps them as they are, behind what it
// holds already.
void TakeData(Mp4File* f, TrackState* t, std::vector<uint8_t>&& bytes) {
    if (f->fragmented || t->chunkDirect) {
        PutData(f, t, bytes.data(), bytes.size());
        return;
    }
    if (!t->chunkData.empty()) {
        t->chunkPartBytes += t->chunkData.size();
        t->chunkParts.push_back(std::move(t->chunkData));
        t->chunkData = std::vector<uint8_t>();
    }
    t->chunkPartBytes += bytes.size();
    t->chunkParts.push_back(std::move(bytes));
}

void Interleave(Mp4File* f, bool all);
bool Earlier(uint64_t a, const TrackState* ta, uint64_t b, const TrackState* tb);

// A chunk begins with the track's next sample. The only track of the file writes its chunks
// straight into it; with several, each chunk waits in memory until it is complete and the other
// tracks have reached its time, and then goes out whole: the chunks alternate in time order.
void OpenChunk(Mp4File* f, TrackState* t) {
    if (f->fragmented || t->chunkOpen) return;
    t->chunkOpen = true;
    t->chunkAlone = f->tracks.size() == 1;
    // The pictures' chunks, the bulk of the data, go straight into the file too unless another
    // track's chunk is being written there; the others' complete chunks wait for them. They must
    // also have reached its time, or nearly: what they bring later belongs behind it, but a track
    // that comes a little late (a camera writes its sound behind its pictures) is let follow,
    // rather than the pictures held in memory for it.
    bool busy = false;
    for (const auto& o : f->tracks)
        if (o.get() != t)
            busy = busy || (o->chunkOpen && o->chunkDirect) ||
                   (!o->ended && Earlier(o->samples.MediaDuration() + o->box.timeScale, o.get(),
                                         t->samples.MediaDuration(), t));
    t->chunkDirect = false;
    if (!t->chunkAlone && !t->audio && !busy) Interleave(f, false);  // what is ready goes first
    t->chunkDirect = t->chunkAlone || (!t->audio && !busy);
    t->chunkSamples = 0;
    t->chunkTicks = 0;
    t->chunkStart = t->samples.MediaDuration();
    if (t->chunkDirect) t->samples.AddChunk(f->sink.Position(), t->samples.Count());
}

// Whether decode time `a` of track `ta` comes before `b` of `tb`.
bool Earlier(uint64_t a, const TrackState* ta, uint64_t b, const TrackState* tb) {
    return (unsigned __int128)a * tb->box.timeScale < (unsigned __int128)b * ta->box.timeScale;
}

// Complete chunks held, at most, before the earliest goes out whatever the others do.
constexpr uint64_t kMaxWaitingBytes = 8u << 20;

// Writes the waiting chunks in time order, each once no other track can still bring an earlier
// one: every other track has ended or has reached its time. With `all`, every one (the end).
void Interleave(Mp4File* f, bool all) {
    for (;;) {
        TrackState* first = nullptr;
        uint64_t waitingBytes = 0;
        for (auto& t : f->tracks) {
            // A chunk written straight into the file holds the media data's end.
            if (t->chunkOpen && t->chunkDirect) return;
            for (const TrackState::WaitingChunk& c : t->waiting) waitingBytes += c.bytes;
            if (!t->waiting.empty() && (!first || Earlier(t->waiting.front().start, t.get(),
                                                          first->waiting.front().start, first)))
                first = t.get();
        }
        if (!first) return;
        const TrackState::WaitingChunk& c = first->waiting.front();
        bool ready = all || waitingBytes > kMaxWaitingBytes;
        if (!ready) {
            ready = true;
            for (auto& t : f->tracks) {
                if (t.get() == first || t->ended || !t->waiting.empty()) continue;
                const uint64_t reached = t->chunkOpen ? t->chunkStart : t->samples.MediaDuration();
                if (Earlier(reached, t.get(), c.start, first)) ready = false;
            }
        }
        if (!ready) return;
        first->samples.AddChunk(f->sink.Position(), c.firstSample);
        for (const std::vector<uint8_t>& part : c.parts) f->sink.Write(part.data(), part.size());
        first->waiting.pop_front();
    }
}

void CloseChunk(Mp4File* f, TrackState* t) {
    if (!t->chunkOpen) return;
    t->chunkOpen = false;
    if (t->chunkSamples == 0) {  // nothing was finished in it: no chunk
        if (t->chunkDirect) t->samples.DropLastChunk();
        t->chunkData.clear();
        t->chunkParts.clear();
        t->chunkPartBytes = 0;
    } else if (!t->chunkDirect) {
        // A sample never finished (the file is closing) is not written. Its bytes are all
        // copied ones: nothing is handed over while a sample is open.
        if (t->sampleOpen) t->chunkData.resize(size_t(t->sampleStart - t->chunkPartBytes));
        const uint64_t bytes = t->chunkPartBytes + t->chunkData.size();
        if (!t->chunkData.empty()) t->chunkParts.push_back(std::move(t->chunkData));
        t->waiting.push_back(
            {std::move(t->chunkParts), bytes, t->samples.Count() - t->chunkSamples, t->chunkStart});
        t->chunkParts = std::vector<std::vector<uint8_t>>();
        t->chunkPartBytes = 0;
        t->chunkData = std::vector<uint8_t>();
    }
    Interleave(f, false);
}

// About a second of pictures in a chunk of the only track (which, when a track is added, ends
// with its open sample); about half a second of media, and not too many bytes to hold, when
// the tracks alternate.
constexpr uint64_t kMaxChunkBytes = 8u << 20;
bool ChunkFull(const Mp4File* f, const TrackState* t) {
    if (t->chunkAlone && !t->audio)
        return f->tracks.size() > 1 || t->chunkSamples >= t->samplesPerChunk;
    return t->chunkTicks * 2 >= t->box.timeScale ||
           (!t->chunkDirect && t->chunkPartBytes + t->chunkData.size() >= kMaxChunkBytes);
}

void OpenSample(Mp4File* f, TrackState* t) {
    if (t->sampleOpen) return;
    OpenChunk(f, t);
    t->sampleOpen = true;
    t->samplesStarted = true;
    t->sampleStart = DataPosition(f, t);
    t->sampleInband = 0;
}

// A sample of the fragment being gathered, by its 1-based id; null when it is not there.
FragmentSample* GatheredSample(Mp4File* f, TrackState* t, MP4SampleId sampleId) {
    if (!f || !t || t->runs || !f->fragmented || sampleId == 0 || sampleId - 1 < t->fragmentFirst)
        return nullptr;
    const uint64_t i = sampleId - 1 - t->fragmentFirst;
    return i < t->fragmentSamples.size() ? &t->fragmentSamples[size_t(i)] : nullptr;
}

// The bytes from the end of the file type box to the media data's 8-byte header: a free box,
// or, when the media data needs a 64-bit size, the start of its header.
void WriteMediaDataHeader(Mp4File* f) {
    const uint64_t end = f->sink.Position();
    const uint64_t size = end - f->mdatHeader;
    const uint32_t gap = uint32_t(f->mdatHeader - f->fileTypeEnd);  // 8 or 12
    if (size <= UINT32_MAX) {
        const uint8_t h[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8),
                              uint8_t(size)};
        f->sink.Patch(f->mdatHeader, h, 4);
        if (gap != 8) {
            uint8_t free[12] = {0, 0, 0, uint8_t(gap), 'f', 'r', 'e', 'e'};
            f->sink.Patch(f->fileTypeEnd, free, gap);
        }
        return;
    }
    // A 64-bit size (ISO/IEC 14496-12 4.2) over the free box: size 1, the type, then the size
    // in 8 bytes. What is left of the 32-bit header is zeros at the start of the media data.
    const uint64_t wide = end - f->fileTypeEnd;
    uint8_t h[20] = {0, 0, 0, 1, 'm', 'd', 'a', 't'};
    for (int i = 0; i < 8; ++i) h[8 + i] = uint8_t(wide >> (56 - 8 * i));
    f->sink.Patch(f->fileTypeEnd, h, gap + 8);
}

// The file type box for the track's codec, over the one MP4Create wrote.
void WriteFileType(Mp4File* f) {
    const TrackState* video = f->Video();
    if (!video || video->box.codec == VideoCodec::kH264) return;
    const std::vector<uint8_t> box = FileTypeBox(video->box.codec);
    f->sink.Patch(0, box.data(), box.size());
    f->fileTypeEnd = box.size();
}

// The btrt values: the largest sample, the most bytes whose decode times fall within one second
// of a sample's (a window that begins at each sample in turn), and the whole track's rate.
BitRate TrackBitRate(const SampleTable& s, uint32_t timeScale) {
    BitRate r;
    const uint32_t n = s.Count();
    if (n == 0 || timeScale == 0) return r;
    if (s.SameSizes() && s.Durations().size() == 1) {
        // Samples of one size and one duration (PCM): as many in any second as fit in it.
        const uint32_t d = std::max<uint32_t>(s.Durations()[0].value, 1);
        const uint64_t inSecond = std::min<uint64_t>((uint64_t(timeScale) + d - 1) / d, n);
        r.bufferSizeDB = s.UniformSize();
        r.maxBitrate = uint32_t(std::min<uint64_t>(inSecond * s.UniformSize() * 8, UINT32_MAX));
        if (s.MediaDuration() > 0)
            r.avgBitrate = uint32_t(std::min<unsigned __int128>(
                (unsigned __int128)s.DataSize() * 8 * timeScale / s.MediaDuration(), UINT32_MAX));
        return r;
    }
    // A sample's decode time, walked forward through the duration runs.
    struct Cursor {
        const std::vector<SampleTable::Run>& runs;
        size_t run = 0;
        uint32_t inRun = 0;
        uint32_t index = 0;
        uint64_t time = 0;
        void Step() {
            time += runs[run].value;
            ++index;
            if (++inRun == runs[run].count) {
                ++run;
                inRun = 0;
            }
        }
    };
    Cursor head{s.Durations()}, tail{s.Durations()};
    uint64_t window = 0, most = 0;
    for (; tail.index < n; tail.Step()) {
        while (head.index < n && head.time < tail.time + timeScale) {
            window += s.Size(head.index);
            head.Step();
        }
        most = std::max(most, window);
        window -= s.Size(tail.index);
        r.bufferSizeDB = std::max(r.bufferSizeDB, s.Size(tail.index));
    }
    r.maxBitrate = uint32_t(std::min<uint64_t>(most * 8, UINT32_MAX));
    if (s.MediaDuration() > 0) {
        const unsigned __int128 avg =
            (unsigned __int128)s.DataSize() * 8 * timeScale / s.MediaDuration();
        r.avgBitrate = uint32_t(std::min<unsigned __int128>(avg, UINT32_MAX));
    }
    return r;
}

// Fills in what only the end knows: durations, the edit list's open ends, the configuration.
void CompleteTrack(Mp4File* f, TrackState* ts) {
    Track& t = ts->box;
    t.samples = &ts->samples;
    t.mediaDuration = ts->samples.MediaDuration();
    t.hasBitRate = true;
    t.bitRate = TrackBitRate(ts->samples, t.timeScale);
    if (ts->audio) {
    } else if (t.codec == VideoCodec::kH265) {
        // hvc1 holds every parameter set in its record; hev1 allows them in band too.
        const bool complete = !ts->hevcSets.AnyInBand();
        t.sampleEntry = complete ? "hvc1" : "hev1";
        t.configBox = "hvcC";
        t.config =
            ts->hevcSets.ConfigurationRecord(ts->hevcFields, complete, ts->lengthSizeMinusOne);
    } else {
        t.config = ts->parameterSets.ConfigurationRecord(ts->profile, ts->compat, ts->level,
                                                         ts->lengthSizeMinusOne);
    }
    if (t.edits.empty()) {
        t.movieDuration = Rescale(t.mediaDuration, f->movieTimeScale, t.timeScale);
        return;
    }
    const uint64_t end = ts->samples.PresentationEnd();
    t.movieDuration = 0;
    for (EditEntry& e : t.edits) {
        if (e.duration == 0 && e.mediaTime >= 0 && uint64_t(e.mediaTime) < end)
            e.duration = Rescale(end - uint64_t(e.mediaTime), f->movieTimeScale, t.timeScale);
        t.movieDuration += e.duration;
    }
}

// Firefox (153) reads the duration of an empty edit in an unfragmented file in the track's media
// time scale, not the movie's (ISO/IEC 14496-12 8.6.6), and so delays the sound of a positive
// offset by the ratio of the two: 0.94 s for 0.5 s at 48000 Hz. When a sound track starts with an
// empty edit, the movie takes that track's time scale, in which both readings agree, and the edits
// already given move to it; any other file keeps its time scale.
void SoundDelayTimeScale(Mp4File* f) {
    uint32_t to = 0;
    for (const auto& ts : f->tracks)
        if (ts->audio && !ts->box.edits.empty() && ts->box.edits.front().mediaTime < 0) {
            to = ts->box.timeScale;
            break;
        }
    if (to == 0 || to == f->movieTimeScale) return;
    for (auto& ts : f->tracks)
        for (EditEntry& e : ts->box.edits)
            if (e.duration != 0)
                e.duration = std::max<uint64_t>(1, Rescale(e.duration, to, f->movieTimeScale));
    f->movieTimeScale = to;
}

// The movie header's duration: the longest track's, but for GStreamer's qtdemux (1.22), which
// ends the presentation after the first sync sample whose end, in media time without the edit's
// start, reaches the movie's duration. When pictures ahead of the edit are kept out of the
// presentation, a sync sample near the end would cut the pictures behind it; the movie then lasts
// a tick beyond the last such sample's end.
uint64_t MovieDuration(const Mp4File& f) {
    uint64_t duration = 0;
    for (const auto& ts : f.tracks) {
        const Track& t = ts->box;
        const SampleTable& s = ts->samples;
        duration = std::max(duration, t.movieDuration);
        if (t.edits.empty() || ts->audio) continue;
        // The last sync sample but the last sample (after which nothing is left to cut).
        const uint32_t last = s.LastSyncBefore(s.Count());
        if (last == 0) continue;
        const uint64_t end = s.DecodeEnd(last);
        duration = std::max(duration, Rescale(end, f.movieTimeScale, t.timeScale) + 1);
    }
    return duration;
}

// pread and pwrite of all n bytes; the errno value of a failure, or 0.
int ReadAt(int fd, uint8_t* p, size_t n, uint64_t pos) {
    while (n > 0) {
        const ssize_t r = ::pread(fd, p, n, off_t(pos));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return r < 0 ? errno : EIO;
        p += r;
        pos += uint64_t(r);
        n -= size_t(r);
    }
    return 0;
}

int WriteAt(int fd, const uint8_t* p, size_t n, uint64_t pos) {
    while (n > 0) {
        const ssize_t r = ::pwrite(fd, p, n, off_t(pos));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return r < 0 ? errno : ENOSPC;
        p += r;
        pos += uint64_t(r);
        n -= size_t(r);
    }
    return 0;
}

// Builds the movie box in the memory file `mem`, with the chunk offsets of media data that
// begins `shift` bytes later than it does now; returns its size, or 0 with *err set.
uint64_t BuildMovie(int mem, Mp4File* f, Movie& movie, uint64_t shift, int* err) {
    for (auto& t : f->tracks) t->box.chunkShift = shift;
    if (::ftruncate(mem, 0) != 0 || ::lseek(mem, 0, SEEK_SET) != 0) {
        *err = errno;
        return 0;
    }
    FileSink sink(mem, kWriteBuffer);
    BoxWriter w(sink);
    WriteMovie(w, movie);
    if (!sink.Flush()) *err = sink.Error();
    return *err ? 0 : sink.Position();
}

// Fast start where the file system inserts whole blocks at the start of a file (ext4, XFS): the
// data stays where it is on the disk and only the file's map changes. The new blocks take the file
// type box, the movie box (built, as below, until its size no longer changes with the offsets it
// gives) and a free box over the rest of them and the old file type box; behind it the file goes
// on as it was. False, with nothing changed, where the file system cannot; *err tells of a
// failure after the blocks went in.
bool InsertMovieInFront(Mp4File* f, Movie& movie, int mem, int* err) {
    struct statfs fs;
    if (::fstatfs(f->fd, &fs) != 0 || fs.f_bsize <= 0 || fs.f_bsize > (1 << 20)) return false;
    const uint64_t block = uint64_t(fs.f_bsize);
    uint64_t room = 0, size = 0;
    bool stable = false;
    for (int pass = 0; pass < 4 && !stable; ++pass) {
        size = BuildMovie(mem, f, movie, room, err);
        if (*err) return false;
        const uint64_t need = (f->fileTypeEnd + size + 8 + block - 1) / block * block;
        stable = need == room;
        room = need;
    }
    if (!stable || room - size > UINT32_MAX) return false;
    // Inserted blocks pass the file size limit by: the process's limit is kept all the same.
    struct stat st;
    struct rlimit limit;
    if (::fstat(f->fd, &st) != 0 || ::getrlimit(RLIMIT_FSIZE, &limit) != 0 ||
        (limit.rlim_cur != RLIM_INFINITY && uint64_t(st.st_size) + room > limit.rlim_cur))
        return false;
    if (::fallocate(f->fd, FALLOC_FL_INSERT_RANGE, 0, off_t(room)) != 0) return false;
    const size_t head = size_t(f->fileTypeEnd);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[std::max<uint64_t>(head, 8)]);
    *err = ReadAt(f->fd, buffer.get(), head, room);  // the file type box, as it was
    if (!*err) *err = WriteAt(f->fd, buffer.get(), head, 0);
    std::unique_ptr<uint8_t[]> moov(new uint8_t[size]);
    if (!*err) *err = ReadAt(mem, moov.get(), size_t(size), 0);
    if (!*err) *err = WriteAt(f->fd, moov.get(), size_t(size), head);
    const uint32_t freeSize = uint32_t(room - size);  // up to the old box's end
    const uint8_t free[8] = {uint8_t(freeSize >> 24),
                             uint8_t(freeSize >> 16),
                             uint8_t(freeSize >> 8),
                             uint8_t(freeSize),
                             'f',
                             'r',
                             'e',
                             'e'};
    if (!*err) *err = WriteAt(f->fd, free, 8, head + size);
    return true;
}

// Fast start: the movie box goes in front of the media data, in inserted blocks where the file
// system can (above); elsewhere it is built in memory until its size no longer changes with the
// offsets it gives (they may need co64 once moved), then everything behind the file type box
// moves up by that size, from the back, each byte read and written once while it is likely still
// in the page cache, and the box is copied into the room. Returns the errno value of a failure,
// or 0.
int WriteMovieInFront(Mp4File* f, Movie& movie) {
    if (!f->sink.Flush()) return f->sink.Error();
    struct MemoryFile {
        int fd = ::memfd_create("moov", MFD_CLOEXEC);
        ~MemoryFile() {
            if (fd >= 0) ::close(fd);
        }
    } memory;
    const int mem = memory.fd;
    if (mem < 0) return errno;
    const uint64_t end = f->sink.Position();
    int err = 0;
    // The syncs under way end before the file's map changes.
    f->sink.SetWriteBack(0);
    if (InsertMovieInFront(f, movie, mem, &err)) return err;
    if (err) return err;
    uint64_t size = 0;
    bool stable = false;
    for (int pass = 0; pass < 4 && !err && !stable; ++pass) {
        const uint64_t built = BuildMovie(mem, f, movie, size, &err);
        stable = built == size;
        size = built;
    }
    if (!err && !stable) err = EOVERFLOW;
    std::unique_ptr<uint8_t[]> buffer;
    if (!err) buffer.reset(new uint8_t[kMoveBuffer]);
    for (uint64_t at = end; !err && at > f->fileTypeEnd;) {
        const size_t n = size_t(std::min<uint64_t>(kMoveBuffer, at - f->fileTypeEnd));
        at -= n;
        err = ReadAt(f->fd, buffer.get(), n, at);
        if (!err) err = WriteAt(f->fd, buffer.get(), n, at + size);
    }
    for (uint64_t done = 0; !err && done < size;) {
        const size_t n = size_t(std::min<uint64_t>(kMoveBuffer, size - done));
        err = ReadAt(mem, buffer.get(), n, done);
        if (!err) err = WriteAt(f->fd, buffer.get(), n, f->fileTypeEnd + done);
        done += n;
    }
    return err;
}

}  // namespace

MP4FileHandle MP4Create(const char* fileName, uint32_t /*flags*/) {
    if (!fileName || !*fileName) {
        errno = EINVAL;
        return MP4_INVALID_FILE_HANDLE;
    }
    const int fd = ::open(fileName, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return MP4_INVALID_FILE_HANDLE;  // errno tells why
    return MP4CreateFd(fd);
}

MP4FileHandle MP4CreateFd(int fd) {
    if (fd < 0) {
        errno = EBADF;
        return MP4_INVALID_FILE_HANDLE;
    }
    Mp4File* f = nullptr;
    try {
        f = new Mp4File(fd);
    } catch (...) {
        ::close(fd);  // taken over, even when there is no memory for the handle
        throw;
    }
    const std::vector<uint8_t> fileType = FileTypeBox(VideoCodec::kH264);
    f->sink.Write(fileType.data(), fileType.size());
    f->fileTypeEnd = f->sink.Position();
    const uint8_t headers[16] = {0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 'm', 'd', 'a', 't'};
    f->sink.Write(headers, sizeof headers);
    f->mdatHeader = f->fileTypeEnd + 8;
    f->sink.SetWriteBack(kWriteBackWindow);
    return f;
}

void MP4WriteBackNow(MP4FileHandle hFile) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (f) f->sink.WriteBackNow();
}

bool MP4SetTimeScale(MP4FileHandle hFile, uint32_t value) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (!f || value == 0) return false;
    f->movieTimeScale = value;
    return true;
}

namespace {

// A new track of the file, numbered after those before it; null when the file has begun its
// fragments, whose movie box names every track.
TrackState* NewTrack(Mp4File* f, uint32_t timeScale) {
    if (!f || timeScale == 0 || f->movieWritten || f->tracks.size() >= 16) return nullptr;
    // The chunk of the only track so far, written straight into the file, ends here, or with
    // its open sample.
    for (auto& t : f->tracks)
        if (!t->sampleOpen) CloseChunk(f, t.get());
    f->tracks.push_back(std::make_unique<TrackState>());
    TrackState* t = f->tracks.back().get();
    t->box.trackId = uint32_t(f->tracks.size());
    t->box.timeScale = timeScale;
    return t;
}

TrackState* AddVideoTrack(MP4FileHandle hFile, VideoCodec codec, uint32_t timeScale,
                          MP4Duration sampleDuration, uint16_t width, uint16_t height,
                          uint8_t sampleLenFieldSizeMinusOne) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (!f || f->Video() || sampleLenFieldSizeMinusOne != 3) return nullptr;
    TrackState* ts = NewTrack(f, timeScale);
    if (!ts) return nullptr;
    Track& t = ts->box;
    t.codec = codec;
    t.width = width;
    t.height = height;
    t.displayWidth = uint32_t(width) << 16;
    t.displayHeight = uint32_t(height) << 16;
    // About a second of pictures to a chunk.
    ts->samplesPerChunk = 16;
    if (sampleDuration != MP4_INVALID_DURATION && sampleDuration > 0) {
        const uint64_t perSecond = (timeScale + sampleDuration / 2) / sampleDuration;
        ts->samplesPerChunk = uint32_t(std::clamp<uint64_t>(perSecond, 1, kMaxSamplesPerChunk));
    }
    ts->fixedDuration = sampleDuration;
    ts->lengthSizeMinusOne = sampleLenFieldSizeMinusOne;
    return ts;
}

}  // namespace

MP4TrackId MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height, uint8_t AVCProfileIndication,
                                uint8_t profile_compat, uint8_t AVCLevelIndication,
                                uint8_t sampleLenFieldSizeMinusOne) {
    TrackState* t = AddVideoTrack(hFile, VideoCodec::kH264, timeScale, sampleDuration, width,
                                  height, sampleLenFieldSizeMinusOne);
    if (!t) return MP4_INVALID_TRACK_ID;
    t->profile = AVCProfileIndication;
    t->compat = profile_compat;
    t->level = AVCLevelIndication;
    return t->box.trackId;
}

MP4TrackId MP4AddH265VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height,
                                uint8_t sampleLenFieldSizeMinusOne) {
    TrackState* t = AddVideoTrack(hFile, VideoCodec::kH265, timeScale, sampleDuration, width,
                                  height, sampleLenFieldSizeMinusOne);
    return t ? t->box.trackId : MP4_INVALID_TRACK_ID;
}

MP4TrackId MP4AddSoundTrack(MP4FileHandle hFile, const AudioSampleEntry& entry) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (!f || entry.channels == 0 || entry.bitsPerSample == 0) return MP4_INVALID_TRACK_ID;
    TrackState* t = NewTrack(f, entry.sampleRate);
    if (!t) return MP4_INVALID_TRACK_ID;
    t->audio = true;
    t->box.sound = true;
    t->box.audio = entry;
    t->runs = SoundSamplesUniform(entry);
    t->fixedDuration = entry.kind == AudioSampleEntry::Kind::kAac ? 1024 : 1;
    return t->box.trackId;
}

namespace {

// A sound track of libmp4v2's calls: what they do not say is taken as they take it (two
// channels, 16 bits), the AudioSpecificConfig telling the channels once given.
MP4TrackId AddSoundTrack(MP4FileHandle hFile, AudioSampleEntry::Kind kind, uint32_t timeScale,
                         uint16_t channels) {
    AudioSampleEntry e;
    e.kind = kind;
    e.sampleRate = timeScale;
    e.channels = channels;
    e.bitsPerSample =
        kind == AudioSampleEntry::Kind::kALaw || kind == AudioSampleEntry::Kind::kULaw ? 8 : 16;
    return MP4AddSoundTrack(hFile, e);
}

}  // namespace

MP4TrackId MP4AddAudioTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                            uint8_t audioType) {
    AudioSampleEntry::Kind kind;
    if (audioType == MP4_MPEG4_AUDIO_TYPE)
        kind = AudioSampleEntry::Kind::kAac;
    else if (audioType == MP4_MPEG1_AUDIO_TYPE || audioType == MP4_MPEG2_AUDIO_TYPE)
        kind = AudioSampleEntry::Kind::kMp3;
    else
        return MP4_INVALID_TRACK_ID;
    const MP4TrackId id = AddSoundTrack(hFile, kind, timeScale, 2);
    if (TrackState* t = FindTrack(hFile, id))
        if (sampleDuration != MP4_INVALID_DURATION) t->fixedDuration = sampleDuration;
    return id;
}

MP4TrackId MP4AddALawAudioTrack(MP4FileHandle hFile, uint32_t timeScale) {
    return AddSoundTrack(hFile, AudioSampleEntry::Kind::kALaw, timeScale, 1);
}

MP4TrackId MP4AddULawAudioTrack(MP4FileHandle hFile, uint32_t timeScale) {
    return AddSoundTrack(hFile, AudioSampleEntry::Kind::kULaw, timeScale, 1);
}

bool MP4SetTrackESConfiguration(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pConfig,
                                uint32_t configSize) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || !t->audio || f->movieWritten || (!pConfig && configSize)) return false;
    t->box.audio.decoderSpecificInfo.assign(pConfig, pConfig + configSize);
    // AudioSpecificConfig (ISO/IEC 14496-3 1.6.2.1): audioObjectType (5 bits, 31 escapes 6
    // more), samplingFrequencyIndex (4 bits, 15 is followed by the rate in 24), then the
    // channelConfiguration in 4 bits.
    uint64_t bits = 0;
    for (uint32_t i = 0; i < std::min<uint32_t>(configSize, 8); ++i)
        bits |= uint64_t(pConfig[i]) << (56 - 8 * i);
    int at = (bits >> 59) == 31 ? 11 : 5;
    at += ((bits << at) >> 60) == 15 ? 28 : 4;
    const uint16_t channels = uint16_t((bits << at) >> 60);
    if (configSize * 8 >= uint32_t(at + 4) && channels >= 1 && channels <= 7)
        t->box.audio.channels = channels == 7 ? 8 : channels;
    return true;
}

void MP4SetVideoProfileLevel(MP4FileHandle hFile, uint8_t value) {
    if (Mp4File* f = static_cast<Mp4File*>(hFile)) f->visualProfileLevel = value;
}

void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId,
                                    const uint8_t* pSequence, uint16_t sequenceLen) {
    if (TrackState* t = AvcTrack(hFile, trackId))
        t->parameterSets.Add(true, pSequence, sequenceLen, t->samplesStarted, &t->inband);
}

void MP4AddH264PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pPict,
                                   uint16_t pictLen) {
    if (TrackState* t = AvcTrack(hFile, trackId))
        t->parameterSets.Add(false, pPict, pictLen, t->samplesStarted, &t->inband);
}

void MP4AddH265VideoParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                 uint16_t len) {
    if (TrackState* t = HevcTrack(hFile, trackId))
        t->hevcSets.Add(HevcParameterSets::kVps, nal, len, t->samplesStarted, &t->inband);
}

void MP4AddH265SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                    uint16_t len) {
    if (TrackState* t = HevcTrack(hFile, trackId))
        t->hevcSets.Add(HevcParameterSets::kSps, nal, len, t->samplesStarted, &t->inband);
}

void MP4AddH265PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                   uint16_t len) {
    if (TrackState* t = HevcTrack(hFile, trackId))
        t->hevcSets.Add(HevcParameterSets::kPps, nal, len, t->samplesStarted, &t->inband);
}

void MP4SetH265Fields(MP4FileHandle hFile, MP4TrackId trackId, const Mp4HevcFields& fields) {
    if (TrackState* t = HevcTrack(hFile, trackId)) t->hevcFields = fields;
}

bool MP4AppendSampleBytes(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                          uint32_t numBytes) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || (!pBytes && numBytes) || f->sink.Error()) return false;
    // The sample's size is a 32-bit field (stsz): a larger sample is refused, not cut, and the
    // bytes that would pass the limit are not written, so that the sample can still be ended.
    const uint64_t written = t->sampleOpen ? DataPosition(f, t) - t->sampleStart : 0;
    if (written + t->inband.size() + numBytes > UINT32_MAX) {
        errno = EFBIG;
        return false;
    }
    OpenSample(f, t);
    if (!t->inband.empty()) {
        PutData(f, t, t->inband.data(), t->inband.size());
        t->sampleInband += uint32_t(t->inband.size());
        t->inband.clear();
    }
    if (numBytes) PutData(f, t, pBytes, numBytes);
    return true;
}

namespace {

// Whether a sample with this duration and offset can go into the tables (32-bit fields; signed
// offsets in ctts version 1 readers). The fixed duration stands for MP4_INVALID_DURATION.
bool SampleFits(const TrackState* t, MP4Duration* duration, MP4Duration renderingOffset) {
    if (*duration == MP4_INVALID_DURATION) *duration = t->fixedDuration;
    return *duration <= UINT32_MAX && renderingOffset <= INT32_MAX &&
           t->samples.Count() < UINT32_MAX;
}

// A run of `count` samples of `size` bytes and `duration` ticks each, ended: into the fragment
// being gathered, or into the sample table and the open chunk, which ends when it is full.
void EnterSamples(Mp4File* f, TrackState* t, uint32_t size, uint32_t duration, uint32_t count,
                  int32_t offset, bool sync) {
    if (f->fragmented) {
        FragmentSample* last = t->fragmentSamples.empty() ? nullptr : &t->fragmentSamples.back();
        if (t->runs && last && last->size == size && last->duration == duration &&
            last->offset == offset && last->sync == sync && !last->hidden &&
            last->count <= UINT32_MAX - count)
            last->count += count;
        else
            t->fragmentSamples.push_back({size, duration, offset, sync, false, count});
        return;
    }
    t->samples.AddRun(size, duration, count, sync);
    if (offset) t->samples.SetCompositionOffset(t->samples.Count() - 1, uint32_t(offset));
    t->chunkSamples += count;
    t->chunkTicks += uint64_t(duration) * count;
    if (ChunkFull(f, t)) CloseChunk(f, t);
}

}  // namespace

bool MP4FinishSample(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration duration,
                     MP4Duration renderingOffset, bool isSyncSample) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    // A sample that cannot be entered stays open: its bytes are in the media data already, and
    // closing it without an entry would shift every later sample's place.
    if (!t || !SampleFits(t, &duration, renderingOffset) ||
        !MP4AppendSampleBytes(hFile, trackId, nullptr, 0))
        return false;
    t->sampleOpen = false;
    const uint64_t size = DataPosition(f, t) - t->sampleStart;
    EnterSamples(f, t, uint32_t(size), uint32_t(duration), 1, int32_t(renderingOffset),
                 isSyncSample);
    return f->sink.Error() == 0;
}

bool MP4SetLastSampleDuration(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration duration) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (t && f->fragmented) {  // the last sample is in the fragment still gathered
        if (t->sampleOpen || duration > UINT32_MAX || t->fragmentSamples.empty() ||
            t->fragmentSamples.back().count != 1)
            return false;
        t->fragmentSamples.back().duration = uint32_t(duration);
        return true;
    }
    return t && !t->sampleOpen && duration <= UINT32_MAX &&
           t->samples.SetLastDuration(uint32_t(duration));
}

bool MP4WriteSample(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                    uint32_t numBytes, MP4Duration duration, MP4Duration renderingOffset,
                    bool isSyncSample) {
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || t->sampleOpen || !SampleFits(t, &duration, renderingOffset)) return false;
    return MP4AppendSampleBytes(hFile, trackId, pBytes, numBytes) &&
           MP4FinishSample(hFile, trackId, duration, renderingOffset, isSyncSample);
}

bool MP4WriteSampleRun(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* bytes,
                       uint32_t sampleSize, uint32_t count, MP4Duration duration) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || t->sampleOpen || !bytes || sampleSize == 0 || count == 0 || f->sink.Error() ||
        !SampleFits(t, &duration, 0) || t->samples.Count() > UINT32_MAX - count ||
        uint64_t(sampleSize) * count > UINT32_MAX)
        return false;
    OpenChunk(f, t);
    PutData(f, t, bytes, size_t(sampleSize) * count);
    EnterSamples(f, t, sampleSize, uint32_t(duration), count, 0, true);
    return f->sink.Error() == 0;
}

bool MP4WriteSamplesTaken(MP4FileHandle hFile, MP4TrackId trackId, std::vector<uint8_t>&& bytes,
                          uint32_t count, MP4Duration duration) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || t->sampleOpen || count == 0 || bytes.size() % count != 0 ||
        bytes.size() > UINT32_MAX || f->sink.Error() || !SampleFits(t, &duration, 0) ||
        t->samples.Count() > UINT32_MAX - count)
        return false;
    OpenChunk(f, t);
    const uint32_t size = uint32_t(bytes.size() / count);
    TakeData(f, t, std::move(bytes));
    EnterSamples(f, t, size, uint32_t(duration), count, 0, true);
    return f->sink.Error() == 0;
}

bool MP4EndTrack(MP4FileHandle hFile, MP4TrackId trackId) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || t->sampleOpen) return false;
    t->ended = true;
    CloseChunk(f, t);
    Interleave(f, false);
    return true;
}

bool MP4SetSampleRenderingOffset(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                                 MP4Duration renderingOffset) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || sampleId == 0 || renderingOffset > INT32_MAX) return false;
    if (f->fragmented)
        return MP4SetSampleCompositionOffset(hFile, trackId, sampleId, int32_t(renderingOffset));
    return t->samples.SetCompositionOffset(sampleId - 1, uint32_t(renderingOffset));
}

bool MP4SetSampleSync(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId, bool isSync) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (t && f->fragmented) {
        FragmentSample* s = GatheredSample(f, t, sampleId);
        if (s) s->sync = isSync;
        return s != nullptr;
    }
    return t && sampleId != 0 && t->samples.SetSync(sampleId - 1, isSync);
}

bool MP4AddRandomAccessSample(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                              int numLeading) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    // A fragment's random access points are its sync samples only.
    if (!t || f->fragmented || sampleId == 0 || numLeading < -1) return false;
    // VisualRandomAccessEntry (ISO/IEC 14496-12 10.4.2): num_leading_samples_known, then the
    // count in 7 bits; a larger count can only be given as unknown.
    const uint8_t entry = numLeading >= 0 && numLeading <= 127 ? uint8_t(0x80 | numLeading) : 0;
    return t->samples.SetRandomAccess(sampleId - 1, entry);
}

MP4EditId MP4AddTrackEdit(MP4FileHandle hFile, MP4TrackId trackId, MP4EditId editId,
                          MP4Timestamp startTime, MP4Duration duration, bool dwell) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    // A fragmented file's edit goes out with its movie box, in front of the first fragment. An
    // empty edit (no media for `duration`) has no start time.
    const bool empty = startTime == MP4_INVALID_TIMESTAMP;
    if (!t || (f->fragmented && f->movieWritten) || editId != MP4_INVALID_EDIT_ID || dwell ||
        (startTime > INT64_MAX && !empty) || (empty && duration == 0))
        return MP4_INVALID_EDIT_ID;
    t->box.edits.push_back({duration, empty ? -1 : int64_t(startTime)});
    return MP4EditId(t->box.edits.size());
}

bool MP4AddPixelAspectRatio(MP4FileHandle hFile, MP4TrackId trackId, uint32_t hSpacing,
                            uint32_t vSpacing) {
    TrackState* ts = FindTrack(hFile, trackId);
    if (!ts || ts->audio || hSpacing == 0 || vSpacing == 0) return false;
    Track& t = ts->box;
    const uint64_t display = ((uint64_t(t.width) << 16) * hSpacing + vSpacing / 2) / vSpacing;
    if (display > UINT32_MAX) return false;
    t.paspH = hSpacing;
    t.paspV = vSpacing;
    t.displayWidth = uint32_t(display);
    return true;
}

bool MP4SetColour(MP4FileHandle hFile, MP4TrackId trackId, uint16_t primaries, uint16_t transfer,
                  uint16_t matrix, bool fullRange) {
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || t->audio) return false;
    t->box.hasColour = true;
    t->box.colour = {primaries, transfer, matrix, fullRange};
    return true;
}

bool MP4SetMasteringDisplay(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* payload,
                            uint32_t size) {
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || t->audio || !payload || size != 24) return false;
    t->box.masteringDisplay.assign(payload, payload + size);
    return true;
}

bool MP4SetContentLightLevel(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* payload,
                             uint32_t size) {
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || t->audio || !payload || size != 4) return false;
    t->box.contentLightLevel.assign(payload, payload + size);
    return true;
}

bool MP4SetCreationTime(MP4FileHandle hFile, int64_t unixSeconds) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (!f || unixSeconds < 0) return false;
    // The box fields count from 1904-01-01 00:00:00 UTC.
    f->creationTime = unixSeconds == 0 ? 0 : uint64_t(unixSeconds) + 2082844800u;
    return true;
}

bool MP4SetFastStart(MP4FileHandle hFile, bool on) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (!f) return false;
    f->fastStart = on;
    return true;
}

namespace {

void PatchU64(FileSink& sink, uint64_t pos, uint64_t v) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (56 - 8 * i));
    sink.Patch(pos, b, 8);
}

void PatchHeader(FileSink& sink, uint64_t pos, uint32_t size, const char* type) {
    const uint8_t b[8] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8),
                          uint8_t(size),       uint8_t(type[0]),    uint8_t(type[1]),
                          uint8_t(type[2]),    uint8_t(type[3])};
    sink.Patch(pos, b, 8);
}

// Everything written so far through to the disk, for a durable file.
void Sync(Mp4File* f) {
    if (f->durable && f->sink.Error() == 0 && !f->syncError && ::fdatasync(f->fd) != 0)
        f->syncError = errno;
}

// A fragment written as a free box at `pos` through to the disk, then made a movie fragment and
// that through to the disk too: a moof never reaches the disk ahead of its media data.
void CommitFragment(Mp4File* f, uint64_t pos, uint32_t moofSize) {
    Sync(f);
    PatchHeader(f->sink, pos, moofSize, "moof");
    Sync(f);
}

// The file type and movie boxes of a fragmented file, with the parameter sets known now.
void WriteFragmentedMovie(Mp4File* f) {
    f->movieWritten = true;
    const TrackState* video = f->Video();
    const std::vector<uint8_t> fileType = FileTypeBox(video ? video->box.codec : VideoCodec::kH264);
    f->sink.Write(fileType.data(), fileType.size());
    Movie movie;
    movie.timeScale = f->movieTimeScale;
    movie.visualProfileLevel = f->visualProfileLevel;
    movie.creationTime = f->creationTime;
    SampleTable none;
    f->extends.withDuration = f->seekable;
    for (auto& ts : f->tracks) {
        Track& t = ts->box;
        t.samples = &none;
        // A set that changed before the first fragment was written is in band: the sample entry
        // says so (avc3, hev1). Later ones travel in band whatever it says.
        if (ts->audio) {
        } else if (t.codec == VideoCodec::kH265) {
            const bool complete = !ts->hevcSets.AnyInBand();
            t.sampleEntry = complete ? "hvc1" : "hev1";
            t.configBox = "hvcC";
            t.config =
                ts->hevcSets.ConfigurationRecord(ts->hevcFields, complete, ts->lengthSizeMinusOne);
            ts->hevcSets.Freeze();
        } else {
            t.sampleEntry = ts->parameterSets.AnyInBand() ? "avc3" : "avc1";
            t.config = ts->parameterSets.ConfigurationRecord(ts->profile, ts->compat, ts->level,
                                                             ts->lengthSizeMinusOne);
            ts->parameterSets.Freeze();
        }
        movie.tracks.push_back(&t);
        movie.extends = &f->extends;
    }
    f->sink.Flush();  // the boxes' sizes are patched in the buffer, never in a pipe
    WriteMovie(f->boxes, movie);
    for (auto& ts : f->tracks) ts->box.samples = nullptr;
}

// What one track puts into a fragment: its first `entries` gathered entries, of which `shown`
// samples (`bytes` of media data, `duration` ticks) are not left out, `gathered` bytes in all.
struct TrackRun {
    TrackState* t;
    size_t entries = 0;
    uint64_t shown = 0, bytes = 0, duration = 0, gathered = 0;
    const FragmentSample* first = nullptr;  // the first shown
    // A sound track's samples share what they can in the track fragment header.
    bool sameSize = true, sameDuration = true;
    // PCM and G.711, a sample each sample time, go as samples of `group` sample times each (the
    // last one shorter): `samples` of them.
    uint32_t group = 1;
    uint64_t samples = 0;
    uint32_t trafSize = 0;
};

// The sample times a fragment's sound sample holds when the track has a sample each sample time
// (PCM, G.711), as FFmpeg's writer packs them: readers that make a packet of each sample would
// otherwise make tens of thousands a second, which Chromium does not play without pausing.
constexpr uint32_t kSoundGroup = 1024;

// The gathered entries of a track gathered in runs that begin before `end` ticks of a track of
// time scale `scale`: a run that straddles it is split there.
size_t EntriesBefore(TrackState* t, uint64_t end, uint32_t scale) {
    const unsigned __int128 limit = (unsigned __int128)end * t->box.timeScale;
    uint64_t time = t->fragmentBase;
    size_t i = 0;
    for (; i < t->fragmentSamples.size(); ++i) {
        FragmentSample& s = t->fragmentSamples[i];
        if ((unsigned __int128)time * scale >= limit) break;
        const unsigned __int128 runEnd = (unsigned __int128)(time + uint64_t(s.duration) * s.count);
        if (s.duration > 0 && runEnd * scale > limit) {
            // The samples that begin before the end stay in this fragment.
            const unsigned __int128 room = limit - (unsigned __int128)time * scale;
            const unsigned __int128 per = (unsigned __int128)s.duration * scale;
            const uint32_t before = uint32_t((room + per - 1) / per);
            if (before < s.count) {
                FragmentSample rest = s;
                rest.count = s.count - before;
                s.count = before;
                t->fragmentSamples.insert(t->fragmentSamples.begin() + ptrdiff_t(i) + 1, rest);
            }
            ++i;
            break;
        }
        time += uint64_t(s.duration) * s.count;
    }
    return i;
}

void MeasureRun(TrackRun& r) {
    for (size_t i = 0; i < r.entries; ++i) {
        const FragmentSample& s = r.t->fragmentSamples[i];
        r.gathered += uint64_t(s.size) * s.count;
        if (s.hidden) continue;
        if (!r.first) r.first = &s;
        r.sameSize = r.sameSize && s.size == r.first->size;
        r.sameDuration = r.sameDuration && s.duration == r.first->duration;
        r.shown += s.count;
        r.bytes += uint64_t(s.size) * s.count;
        r.duration += uint64_t(s.duration) * s.count;
    }
    if (r.t->audio) {
        r.samples = r.shown;
        if (r.shown > 1 && r.sameSize && r.sameDuration && r.first->duration == 1 &&
            r.bytes == r.gathered) {
            r.group = kSoundGroup;
            r.samples = (r.shown + r.group - 1) / r.group;
            if (r.shown % r.group != 0) r.sameSize = r.sameDuration = false;
        }
        // tfhd with the default flags and the shared size or duration; trun with a row of what
        // differs.
        const uint32_t row = (r.sameSize ? 0 : 4) + (r.sameDuration ? 0 : 4);
        r.trafSize = 8 + 20 + (r.sameSize ? 4 : 0) + (r.sameDuration ? 4 : 0) + 20 + 20 +
                     row * uint32_t(r.samples);
    } else {
        r.trafSize = 64 + 16 * uint32_t(r.shown);
    }
}

// 8.8.7 and 8.8.8: a track's traf. A video track's samples each say their duration, size, flags
// and composition offset; a sound track's are all sync samples, and share their size or duration
// when they can.
void WriteTrackFragment(BoxWriter& w, const TrackRun& r, uint64_t dataOffset) {
    TrackState* t = r.t;
    w.U32(r.trafSize);
    w.Fourcc("traf");
    if (t->audio) {
        const uint32_t flags =
            0x020000 | 0x20 | (r.sameSize ? 0x10 : 0) | (r.sameDuration ? 0x08 : 0);
        w.U32(20 + (r.sameSize ? 4 : 0) + (r.sameDuration ? 4 : 0));
        w.Fourcc("tfhd");
        w.U32(flags);  // version 0
        w.U32(t->box.trackId);
        if (r.sameDuration) w.U32(r.first->duration * r.group);
        if (r.sameSize) w.U32(r.first->size * r.group);
        w.U32(0x02000000);  // default_sample_flags: depends on no other sample
    } else {
        w.U32(16);
        w.Fourcc("tfhd");
        w.U32(0x020000);  // version 0, default-base-is-moof
        w.U32(t->box.trackId);
    }
    w.U32(20);
    w.Fourcc("tfdt");
    w.U32(0x01000000);  // version 1
    w.U64(t->fragmentBase);
    if (t->audio) {
        const uint32_t row = (r.sameSize ? 0 : 4) + (r.sameDuration ? 0 : 4);
        w.U32(20 + row * uint32_t(r.samples));
        w.Fourcc("trun");
        w.U32(0x000001 | (r.sameDuration ? 0 : 0x100) | (r.sameSize ? 0 : 0x200));
        w.U32(uint32_t(r.samples));
        w.U32(uint32_t(dataOffset));
        for (uint64_t from = 0; r.group > 1 && row && from < r.shown; from += r.group) {
            const uint32_t n = uint32_t(std::min<uint64_t>(r.group, r.shown - from));
            w.U32(n);  // duration, and size
            w.U32(n * r.first->size);
        }
        for (size_t i = 0; i < r.entries && row && r.group == 1; ++i) {
            const FragmentSample& s = t->fragmentSamples[i];
            for (uint32_t k = 0; k < s.count; ++k) {
                if (!r.sameDuration) w.U32(s.duration);
                if (!r.sameSize) w.U32(s.size);
            }
        }
        return;
    }
    // data offset, and per sample its duration, size, flags and signed composition offset
    w.U32(20 + 16 * uint32_t(r.shown));
    w.Fourcc("trun");
    w.U32(0x01000F01);  // version 1
    w.U32(uint32_t(r.shown));
    w.U32(uint32_t(dataOffset));  // data_offset: from the moof to the first sample
    for (size_t i = 0; i < r.entries; ++i) {
        const FragmentSample& s = t->fragmentSamples[i];
        if (s.hidden) continue;
        // 8.8.3.1: sample_depends_on 2 (an I picture) for a sync sample; else depends on others
        // and is_non_sync_sample.
        w.U32(s.duration);
        w.U32(s.size);
        w.U32(s.sync ? 0x02000000 : 0x01010000);
        w.U32(uint32_t(s.offset));
    }
}

// The shown samples' bytes of a track's run into the media data, then the run taken off what is
// gathered.
void WriteRunData(Mp4File* f, TrackRun& r) {
    TrackState* t = r.t;
    if (r.shown > 0 && r.bytes == r.gathered) {
        f->sink.Write(t->fragmentData.data(), r.gathered);  // one run of bytes
    } else if (r.shown > 0) {
        size_t at = 0;
        for (size_t i = 0; i < r.entries; ++i) {
            const FragmentSample& s = t->fragmentSamples[i];
            const size_t n = size_t(uint64_t(s.size) * s.count);
            if (!s.hidden) f->sink.Write(t->fragmentData.data() + at, n);
            at += n;
        }
    }
    uint64_t taken = 0;
    for (size_t i = 0; i < r.entries; ++i) taken += t->fragmentSamples[i].count;
    t->fragmentData.erase(t->fragmentData.begin(), t->fragmentData.begin() + ptrdiff_t(r.gathered));
    // A sample still open (the picture being read when the input stalled) moves up with its bytes.
    if (t->sampleOpen) t->sampleStart -= r.gathered;
    t->fragmentSamples.erase(t->fragmentSamples.begin(),
                             t->fragmentSamples.begin() + ptrdiff_t(r.entries));
    t->fragmentFirst += taken;
    t->fragmentBase += r.duration;
    r.first = nullptr;
}

// 8.8.4 to 8.8.8, 8.8.12: the first `count` gathered samples of track `lead` (all of every track
// when it is null), with what the other tracks gathered for the time they cover, as one movie
// fragment and its media data, whole; then through to the disk when the file is to be durable.
bool WriteGatheredFragment(Mp4File* f, TrackState* lead, size_t count) {
    if ((lead && count == 0) || f->tracks.empty()) return f->sink.Error() == 0;
    std::vector<TrackRun> runs;
    uint64_t leadEnd = 0;
    if (lead) {
        leadEnd = lead->fragmentBase;
        for (size_t i = 0; i < count; ++i)
            if (!lead->fragmentSamples[i].hidden)
                leadEnd +=
                    uint64_t(lead->fragmentSamples[i].duration) * lead->fragmentSamples[i].count;
    }
    for (auto& ts : f->tracks) {
        TrackRun r{ts.get()};
        if (!lead)
            r.entries = ts->fragmentSamples.size();
        else if (ts.get() == lead)
            r.entries = count;
        else
            r.entries = EntriesBefore(ts.get(), leadEnd, lead->box.timeScale);
        MeasureRun(r);
        runs.push_back(r);
    }
    uint64_t bytes = 0;
    uint32_t moofSize = 24;
    for (const TrackRun& r : runs) {
        if (r.shown == 0) continue;
        bytes += r.bytes;
        moofSize += r.trafSize;
    }
    if (moofSize == 24) {  // nothing shown: nothing written
        for (TrackRun& r : runs) WriteRunData(f, r);
        return f->sink.Error() == 0;
    }
    // The file type and movie boxes go out with the first fragment, never without one: a file
    // that gets no picture, standard output included, gets no byte either.
    if (!f->movieWritten) WriteFragmentedMovie(f);
    BoxWriter& w = f->boxes;
    const uint64_t moofStart = w.Position();
    const bool wide = bytes + 8 > UINT32_MAX;
    const uint64_t total = moofSize + (wide ? 16 : 8) + bytes;
    // Where the file is a recording that can be rewritten, the fragment is a free box until it
    // is whole on the disk: a file cut short by a crash or a power cut ends in a box that readers
    // skip, never in a fragment whose media data is missing.
    const bool hold = f->seekable && f->durable && total <= UINT32_MAX;
    // The random access index lists the fragments that begin at a sync sample (one written
    // because the input stalled may not).
    for (const TrackRun& r : runs)
        if (r.shown && r.first->sync)
            r.t->fragmentIndex.push_back(
                {uint64_t(std::max<int64_t>(0, int64_t(r.t->fragmentBase) + r.first->offset)),
                 moofStart});
    // Every size is known ahead: the boxes are written as they stand, never patched, so that a
    // pipe takes a fragment of any length.
    w.U32(hold ? uint32_t(total) : moofSize);
    w.Fourcc(hold ? "free" : "moof");
    w.U32(16);
    w.Fourcc("mfhd");
    w.U32(0);                                          // version 0, no flags
    w.U32(++f->fragmentCount);                         // sequence_number
    uint64_t dataOffset = moofSize + (wide ? 16 : 8);  // from the moof to a track's first sample
    for (const TrackRun& r : runs) {
        if (r.shown == 0) continue;
        WriteTrackFragment(w, r, dataOffset);
        dataOffset += r.bytes;
    }
    if (wide) {
        w.U32(1);
        w.Fourcc("mdat");
        w.U64(bytes + 16);
    } else {
        w.U32(uint32_t(bytes + 8));
        w.Fourcc("mdat");
    }
    for (TrackRun& r : runs) WriteRunData(f, r);
    if (f->live || f->durable) f->sink.Flush();
    if (hold)
        CommitFragment(f, moofStart, moofSize);
    else if (f->durable)
        Sync(f);
    if (f->sink.Error() != 0 || f->syncError) return false;
    // Only now is the fragment counted: whole, and on the disk when the file is durable.
    ++f->wholeFragments;
    f->wholeEnd = f->sink.Position();
    if (f->report) {
        const TrackState* v = f->Video() ? f->Video() : f->tracks[0].get();
        f->report->fragments = f->wholeFragments;
        f->report->seconds = double(v->fragmentBase) / v->box.timeScale;
    }
    return true;
}

// A durable file that failed ends with its last whole fragment: what was written of the next
// one is cut away, so that the disk it filled is free again, and the cut reaches the disk.
void CutToWholeFragments(Mp4File* f) {
    if (f->fragmented && f->durable && ::ftruncate(f->fd, off_t(f->wholeEnd)) == 0)
        ::fdatasync(f->fd);
}

// The end of a fragmented file: the last fragment, and where the file can be rewritten its
// duration and the random access index (8.8.9 to 8.8.11).
void FinishFragmentedFile(Mp4File* f) {
    for (auto& t : f->tracks) {
        if (t->sampleOpen) {  // a sample never finished is not part of the file
            t->fragmentData.resize(size_t(t->sampleStart));
            t->sampleOpen = false;
        }
    }
    WriteGatheredFragment(f, nullptr, 0);
    if (!f->seekable || f->tracks.empty()) return;
    f->sink.Flush();
    // The longest track's as presented, in the movie's time scale: a sound track's after its
    // empty edit and without the media its edit leaves out, as the classic file's movie header.
    uint64_t duration = 0;
    for (const auto& t : f->tracks) {
        uint64_t delay = 0, skipped = 0;
        if (t->audio)
            for (const EditEntry& e : t->box.edits) {
                if (e.mediaTime < 0)
                    delay += e.duration;
                else
                    skipped = std::min(t->fragmentBase, uint64_t(e.mediaTime));
            }
        duration = std::max(duration, delay + Rescale(t->fragmentBase - skipped, f->movieTimeScale,
                                                      t->box.timeScale));
    }
    PatchU64(f->sink, f->extends.durationPos, duration);
    BoxWriter& w = f->boxes;
    const uint64_t start = w.Position();
    w.StartBox("mfra");
    for (const auto& t : f->tracks) {
        if (t->fragmentIndex.empty()) continue;
        bool wide = false;
        for (const FragmentEntry& e : t->fragmentIndex)
            wide = wide || e.time > UINT32_MAX || e.moofOffset > UINT32_MAX;
        w.StartFullBox("tfra", wide ? 1 : 0, 0);
        w.U32(t->box.trackId);
        w.U32(0);  // one byte each for the traf, trun and sample numbers
        w.U32(uint32_t(t->fragmentIndex.size()));
        for (const FragmentEntry& e : t->fragmentIndex) {
            if (wide) {
                w.U64(e.time);
                w.U64(e.moofOffset);
            } else {
                w.U32(uint32_t(e.time));
                w.U32(uint32_t(e.moofOffset));
            }
            w.U8(1);
            w.U8(1);
            w.U8(1);
        }
        w.EndBox();
    }
    w.StartFullBox("mfro", 0, 0);
    w.U32(uint32_t(w.Position() + 4 - start));
    w.EndBox();
    w.EndBox();
}

}  // namespace

MP4FileHandle MP4CreateFragmentedFd(int fd, bool seekable, bool durable, bool live) {
    if (fd < 0) {
        errno = EBADF;
        return MP4_INVALID_FILE_HANDLE;
    }
    Mp4File* f = nullptr;
    try {
        f = new Mp4File(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
    f->fragmented = true;
    f->seekable = seekable;
    f->durable = durable;
    f->live = live;
    // A file written whole goes out in large writes, and the disk writes it back behind the work
    // as it does an unfragmented file's, so that the owner's fsync at the end has little left.
    if (!durable && !live) f->sink.SetWriteBack(kWriteBackWindow);
    return f;
}

bool MP4WriteFragment(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId next) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || t->runs || !f->fragmented || next == 0 || next - 1 < t->fragmentFirst) return false;
    const uint64_t count =
        std::min<uint64_t>(next - 1 - t->fragmentFirst, t->fragmentSamples.size());
    return WriteGatheredFragment(f, t, size_t(count));
}

bool MP4SetSampleCompositionOffset(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                                   int32_t offset) {
    FragmentSample* s =
        GatheredSample(static_cast<Mp4File*>(hFile), FindTrack(hFile, trackId), sampleId);
    if (s) s->offset = offset;
    return s != nullptr;
}

bool MP4HideSample(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId) {
    FragmentSample* s =
        GatheredSample(static_cast<Mp4File*>(hFile), FindTrack(hFile, trackId), sampleId);
    if (s) s->hidden = true;
    return s != nullptr;
}

bool MP4DiscardSample(MP4FileHandle hFile, MP4TrackId trackId) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    TrackState* t = FindTrack(hFile, trackId);
    if (!t || !f->fragmented || !t->sampleOpen) return false;
    const auto begin = t->fragmentData.begin() + ptrdiff_t(t->sampleStart);
    t->inband.insert(t->inband.begin(), begin, begin + t->sampleInband);
    t->fragmentData.erase(begin, t->fragmentData.end());
    t->sampleOpen = false;
    return true;
}

uint64_t MP4FragmentsWritten(MP4FileHandle hFile) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    return f ? f->wholeFragments : 0;
}

void MP4ReportFragments(MP4FileHandle hFile, Mp4FragmentReport* report) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (f) f->report = report;
}

bool MP4CloseChecked(MP4FileHandle hFile, uint32_t /*flags*/, int* error) {
    std::unique_ptr<Mp4File> f(static_cast<Mp4File*>(hFile));
    if (!f) return false;
    if (f->fragmented) {
        FinishFragmentedFile(f.get());
        f->sink.Flush();
        f->sink.SetWriteBack(0);  // the syncs under way end before the descriptor does
        int err = f->sink.Error() ? f->sink.Error() : f->syncError;
        if (!err && f->durable && ::fdatasync(f->fd) != 0) err = errno;
        if (err) CutToWholeFragments(f.get());
        if (::close(f->fd) != 0 && !err) err = errno;
        if (error) *error = err;
        return err == 0;
    }
    // The chunks still open go out, in time order.
    for (auto& t : f->tracks)
        if (t->chunkDirect) CloseChunk(f.get(), t.get());
    for (auto& t : f->tracks) CloseChunk(f.get(), t.get());
    Interleave(f.get(), true);
    WriteFileType(f.get());
    WriteMediaDataHeader(f.get());
    SoundDelayTimeScale(f.get());
    Movie movie;
    movie.timeScale = f->movieTimeScale;
    movie.visualProfileLevel = f->visualProfileLevel;
    movie.creationTime = f->creationTime;
    for (auto& t : f->tracks) {
        CompleteTrack(f.get(), t.get());
        movie.tracks.push_back(&t->box);
    }
    if (!f->tracks.empty()) movie.duration = MovieDuration(*f);
    // A device (/dev/null) is written in place, as it comes: nothing there can move.
    struct stat st;
    const bool regular = ::fstat(f->fd, &st) == 0 && S_ISREG(st.st_mode);
    int err = 0;
    if (f->fastStart && regular)
        err = WriteMovieInFront(f.get(), movie);
    else
        WriteMovie(f->boxes, movie);
    f->sink.Flush();
    f->sink.SetWriteBack(0);  // the syncs under way end before the descriptor does
    if (!err) err = f->sink.Error();
    if (::close(f->fd) != 0 && !err) err = errno;
    if (error) *error = err;
    return err == 0;
}

void MP4Discard(MP4FileHandle hFile) {
    std::unique_ptr<Mp4File> f(static_cast<Mp4File*>(hFile));
    if (!f) return;
    f->sink.SetWriteBack(0);
    CutToWholeFragments(f.get());
    ::close(f->fd);
}

int MP4WriteError(MP4FileHandle hFile) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    return !f ? 0 : f->sink.Error() ? f->sink.Error() : f->syncError;
}

void MP4Close(MP4FileHandle hFile, uint32_t flags) {
    MP4CloseChecked(hFile, flags, nullptr);
}
