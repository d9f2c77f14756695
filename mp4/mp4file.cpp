// The libmp4v2 calls of mp4v2.h and mp4check.h over our own writer of one H.264 or H.265 track.
//
// Layout of the file: ftyp, a free box of 8 bytes, then the media data box (mdat), which
// receives every sample as it comes, and at close the movie box (moov) behind it. When the
// media data passes 4 GiB, its header takes the free box's 8 bytes for a 64-bit size. The ftyp
// is written for H.264 before the track is known; an H.265 file's, one brand shorter, is
// written over it at close, and the free box (or the 64-bit header) grows back by the brand.
// With fast start, everything behind the ftyp moves up by the moov's size at close and the moov
// takes the room in front: ftyp, moov, free (or the 64-bit header), mdat.
//
// A fragmented file instead gathers the samples of each fragment in memory and writes them as a
// movie fragment (moof) and its media data, whole, behind ftyp and a moov with empty tables and
// mvex, which go out with the first fragment.

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

namespace {

// Writes leave in pieces of 1 MiB: large enough to be few, small enough that what was just
// copied in is still in the cache when the kernel copies it out.
constexpr size_t kWriteBuffer = 1u << 20;
// The disk writes the media data out behind the conversion, a window of this many bytes at a
// time (see FileSink), so that the fsync at the end has little left to wait for.
constexpr uint64_t kWriteBackWindow = 16u << 20;
constexpr MP4TrackId kVideoTrackId = 1;
constexpr uint32_t kMaxSamplesPerChunk = 64;
// Bytes moved at a time when the media data makes room for the movie box in front of it.
constexpr size_t kMoveBuffer = 8u << 20;

struct Mp4File {
    explicit Mp4File(int fd) : fd(fd), sink(fd, kWriteBuffer), boxes(sink) {}

    int fd;
    FileSink sink;
    BoxWriter boxes;
    uint64_t fileTypeEnd = 0;  // where the free box begins
    uint64_t mdatHeader = 0;   // offset of the media data box's 8-byte header
    uint32_t movieTimeScale = 90000;
    int visualProfileLevel = -1;
    bool fastStart = false;

    bool hasTrack = false;
    VideoTrack track;
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

    // A fragmented file: the samples of the fragment being gathered, their media data, and
    // where each written fragment's moof is, for the random access index.
    struct FragmentSample {
        uint32_t size;
        uint32_t duration;
        int32_t offset;  // composition offset
        bool sync;
        bool hidden = false;  // left out of the file
    };
    struct FragmentEntry {
        uint64_t time;  // presentation time of its first sample
        uint64_t moofOffset;
    };
    bool fragmented = false;
    bool seekable = false;
    // Each fragment reaches the disk before the next is written (a recording under its final
    // name); else the file is made durable by its owner once it is whole.
    bool durable = false;
    // Each fragment goes to the descriptor as soon as it is complete; else in large writes.
    bool live = true;
    bool movieWritten = false;
    std::vector<uint8_t> fragmentData;
    std::deque<FragmentSample> fragmentSamples;
    uint64_t fragmentFirst = 0;  // 0-based number of fragmentSamples[0]
    uint64_t fragmentBase = 0;   // its decoding time
    uint32_t sampleInband = 0;   // parameter sets at the front of the open sample
    uint32_t fragmentCount = 0;  // fragments written
    std::vector<FragmentEntry> fragmentIndex;
    MovieExtends extends;
    int syncError = 0;  // errno of a failed fdatasync
};

Mp4File* TrackFile(MP4FileHandle h, MP4TrackId trackId) {
    Mp4File* f = static_cast<Mp4File*>(h);
    return f && f->hasTrack && trackId == kVideoTrackId ? f : nullptr;
}

Mp4File* HevcTrackFile(MP4FileHandle h, MP4TrackId trackId) {
    Mp4File* f = TrackFile(h, trackId);
    return f && f->track.codec == VideoCodec::kH265 ? f : nullptr;
}

Mp4File* AvcTrackFile(MP4FileHandle h, MP4TrackId trackId) {
    Mp4File* f = TrackFile(h, trackId);
    return f && f->track.codec == VideoCodec::kH264 ? f : nullptr;
}

uint64_t Rescale(uint64_t ticks, uint32_t to, uint32_t from) {
    return uint64_t((unsigned __int128)ticks * to / from);
}

// Where the next sample byte goes: the file, or a fragmented file's gathered media data.
uint64_t DataPosition(const Mp4File* f) {
    return f->fragmented ? f->fragmentData.size() : f->sink.Position();
}

void PutData(Mp4File* f, const uint8_t* p, size_t n) {
    if (f->fragmented)
        f->fragmentData.insert(f->fragmentData.end(), p, p + n);
    else
        f->sink.Write(p, n);
}

void OpenSample(Mp4File* f) {
    if (f->sampleOpen) return;
    f->sampleOpen = true;
    f->samplesStarted = true;
    f->sampleStart = DataPosition(f);
    f->sampleInband = 0;
}

// A sample of the fragment being gathered, by its 1-based id; null when it is not there.
Mp4File::FragmentSample* GatheredSample(Mp4File* f, MP4SampleId sampleId) {
    if (!f->fragmented || sampleId == 0 || sampleId - 1 < f->fragmentFirst) return nullptr;
    const uint64_t i = sampleId - 1 - f->fragmentFirst;
    return i < f->fragmentSamples.size() ? &f->fragmentSamples[size_t(i)] : nullptr;
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
    if (!f->hasTrack || f->track.codec == VideoCodec::kH264) return;
    const std::vector<uint8_t> box = FileTypeBox(f->track.codec);
    f->sink.Patch(0, box.data(), box.size());
    f->fileTypeEnd = box.size();
}

// The btrt values: the largest sample, the most bytes whose decode times fall within one second
// of a sample's (a window that begins at each sample in turn), and the whole track's rate.
BitRate TrackBitRate(const SampleTable& s, uint32_t timeScale) {
    BitRate r;
    const uint32_t n = s.Count();
    if (n == 0 || timeScale == 0) return r;
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
void CompleteTrack(Mp4File* f) {
    VideoTrack& t = f->track;
    t.samples = &f->samples;
    t.mediaDuration = f->samples.MediaDuration();
    t.hasBitRate = true;
    t.bitRate = TrackBitRate(f->samples, t.timeScale);
    if (t.codec == VideoCodec::kH265) {
        // hvc1 holds every parameter set in its record; hev1 allows them in band too.
        const bool complete = !f->hevcSets.AnyInBand();
        t.sampleEntry = complete ? "hvc1" : "hev1";
        t.configBox = "hvcC";
        t.config = f->hevcSets.ConfigurationRecord(f->hevcFields, complete, f->lengthSizeMinusOne);
    } else {
        t.config = f->parameterSets.ConfigurationRecord(f->profile, f->compat, f->level,
                                                        f->lengthSizeMinusOne);
    }
    if (t.edits.empty()) {
        t.movieDuration = Rescale(t.mediaDuration, f->movieTimeScale, t.timeScale);
        return;
    }
    const uint64_t end = f->samples.PresentationEnd();
    t.movieDuration = 0;
    for (EditEntry& e : t.edits) {
        if (e.duration == 0 && e.mediaTime >= 0 && uint64_t(e.mediaTime) < end)
            e.duration = Rescale(end - uint64_t(e.mediaTime), f->movieTimeScale, t.timeScale);
        t.movieDuration += e.duration;
    }
}

// The movie header's duration: the track's, but for GStreamer's qtdemux (1.22), which ends the
// presentation after the first sync sample whose end, in media time without the edit's start,
// reaches the movie's duration. When pictures ahead of the edit are kept out of the presentation,
// a sync sample near the end would cut the pictures behind it; the movie then lasts a tick beyond
// the last such sample's end.
uint64_t MovieDuration(const Mp4File& f) {
    const VideoTrack& t = f.track;
    const SampleTable& s = f.samples;
    uint64_t duration = t.movieDuration;
    if (t.edits.empty()) return duration;
    const std::vector<uint32_t>& sync = s.SyncSamples();
    // The last sync sample but the last sample (after which nothing is left to cut).
    auto it = std::lower_bound(sync.begin(), sync.end(), s.Count());
    if (it == sync.begin()) return duration;
    const uint64_t end = s.DecodeEnd(*(it - 1));
    return std::max(duration, Rescale(end, f.movieTimeScale, t.timeScale) + 1);
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
uint64_t BuildMovie(int mem, Mp4File* f, Movie& movie, uint64_t base, uint64_t shift, int* err) {
    f->track.firstChunkOffset = base + shift;
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
bool InsertMovieInFront(Mp4File* f, Movie& movie, int mem, uint64_t base, int* err) {
    struct statfs fs;
    if (::fstatfs(f->fd, &fs) != 0 || fs.f_bsize <= 0 || fs.f_bsize > (1 << 20)) return false;
    const uint64_t block = uint64_t(fs.f_bsize);
    uint64_t room = 0, size = 0;
    bool stable = false;
    for (int pass = 0; pass < 4 && !stable; ++pass) {
        size = BuildMovie(mem, f, movie, base, room, err);
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
    const uint64_t base = f->track.firstChunkOffset;
    int err = 0;
    // The syncs under way end before the file's map changes.
    f->sink.SetWriteBack(0);
    if (InsertMovieInFront(f, movie, mem, base, &err)) return err;
    if (err) return err;
    uint64_t size = 0;
    bool stable = false;
    for (int pass = 0; pass < 4 && !err && !stable; ++pass) {
        const uint64_t built = BuildMovie(mem, f, movie, base, size, &err);
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
    f->track.firstChunkOffset = f->sink.Position();
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

Mp4File* AddVideoTrack(MP4FileHandle hFile, VideoCodec codec, uint32_t timeScale,
                       MP4Duration sampleDuration, uint16_t width, uint16_t height,
                       uint8_t sampleLenFieldSizeMinusOne) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (!f || f->hasTrack || timeScale == 0 || sampleLenFieldSizeMinusOne != 3) return nullptr;
    f->hasTrack = true;
    VideoTrack& t = f->track;
    t.codec = codec;
    t.trackId = kVideoTrackId;
    t.timeScale = timeScale;
    t.width = width;
    t.height = height;
    t.displayWidth = uint32_t(width) << 16;
    t.displayHeight = uint32_t(height) << 16;
    // About a second of pictures to a chunk.
    t.samplesPerChunk = 16;
    if (sampleDuration != MP4_INVALID_DURATION && sampleDuration > 0) {
        const uint64_t perSecond = (timeScale + sampleDuration / 2) / sampleDuration;
        t.samplesPerChunk = uint32_t(std::clamp<uint64_t>(perSecond, 1, kMaxSamplesPerChunk));
    }
    f->fixedDuration = sampleDuration;
    f->lengthSizeMinusOne = sampleLenFieldSizeMinusOne;
    return f;
}

}  // namespace

MP4TrackId MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height, uint8_t AVCProfileIndication,
                                uint8_t profile_compat, uint8_t AVCLevelIndication,
                                uint8_t sampleLenFieldSizeMinusOne) {
    Mp4File* f = AddVideoTrack(hFile, VideoCodec::kH264, timeScale, sampleDuration, width, height,
                               sampleLenFieldSizeMinusOne);
    if (!f) return MP4_INVALID_TRACK_ID;
    f->profile = AVCProfileIndication;
    f->compat = profile_compat;
    f->level = AVCLevelIndication;
    return kVideoTrackId;
}

MP4TrackId MP4AddH265VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height,
                                uint8_t sampleLenFieldSizeMinusOne) {
    return AddVideoTrack(hFile, VideoCodec::kH265, timeScale, sampleDuration, width, height,
                         sampleLenFieldSizeMinusOne)
               ? kVideoTrackId
               : MP4_INVALID_TRACK_ID;
}

void MP4SetVideoProfileLevel(MP4FileHandle hFile, uint8_t value) {
    if (Mp4File* f = static_cast<Mp4File*>(hFile)) f->visualProfileLevel = value;
}

void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId,
                                    const uint8_t* pSequence, uint16_t sequenceLen) {
    if (Mp4File* f = AvcTrackFile(hFile, trackId))
        f->parameterSets.Add(true, pSequence, sequenceLen, f->samplesStarted, &f->inband);
}

void MP4AddH264PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pPict,
                                   uint16_t pictLen) {
    if (Mp4File* f = AvcTrackFile(hFile, trackId))
        f->parameterSets.Add(false, pPict, pictLen, f->samplesStarted, &f->inband);
}

void MP4AddH265VideoParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                 uint16_t len) {
    if (Mp4File* f = HevcTrackFile(hFile, trackId))
        f->hevcSets.Add(HevcParameterSets::kVps, nal, len, f->samplesStarted, &f->inband);
}

void MP4AddH265SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                    uint16_t len) {
    if (Mp4File* f = HevcTrackFile(hFile, trackId))
        f->hevcSets.Add(HevcParameterSets::kSps, nal, len, f->samplesStarted, &f->inband);
}

void MP4AddH265PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                   uint16_t len) {
    if (Mp4File* f = HevcTrackFile(hFile, trackId))
        f->hevcSets.Add(HevcParameterSets::kPps, nal, len, f->samplesStarted, &f->inband);
}

void MP4SetH265Fields(MP4FileHandle hFile, MP4TrackId trackId, const Mp4HevcFields& fields) {
    if (Mp4File* f = HevcTrackFile(hFile, trackId)) f->hevcFields = fields;
}

bool MP4AppendSampleBytes(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                          uint32_t numBytes) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || (!pBytes && numBytes) || f->sink.Error()) return false;
    // The sample's size is a 32-bit field (stsz): a larger sample is refused, not cut, and the
    // bytes that would pass the limit are not written, so that the sample can still be ended.
    const uint64_t written = f->sampleOpen ? DataPosition(f) - f->sampleStart : 0;
    if (written + f->inband.size() + numBytes > UINT32_MAX) {
        errno = EFBIG;
        return false;
    }
    OpenSample(f);
    if (!f->inband.empty()) {
        PutData(f, f->inband.data(), f->inband.size());
        f->sampleInband += uint32_t(f->inband.size());
        f->inband.clear();
    }
    if (numBytes) PutData(f, pBytes, numBytes);
    return true;
}

namespace {

// Whether a sample with this duration and offset can go into the tables (32-bit fields; signed
// offsets in ctts version 1 readers). The fixed duration stands for MP4_INVALID_DURATION.
bool SampleFits(const Mp4File* f, MP4Duration* duration, MP4Duration renderingOffset) {
    if (*duration == MP4_INVALID_DURATION) *duration = f->fixedDuration;
    return *duration <= UINT32_MAX && renderingOffset <= INT32_MAX &&
           f->samples.Count() < UINT32_MAX;
}

}  // namespace

bool MP4FinishSample(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration duration,
                     MP4Duration renderingOffset, bool isSyncSample) {
    Mp4File* f = TrackFile(hFile, trackId);
    // A sample that cannot be entered stays open: its bytes are in the media data already, and
    // closing it without an entry would shift every later sample's place.
    if (!f || !SampleFits(f, &duration, renderingOffset) ||
        !MP4AppendSampleBytes(hFile, trackId, nullptr, 0))
        return false;
    f->sampleOpen = false;
    const uint64_t size = DataPosition(f) - f->sampleStart;
    if (f->fragmented) {
        f->fragmentSamples.push_back(
            {uint32_t(size), uint32_t(duration), int32_t(renderingOffset), isSyncSample});
        return f->sink.Error() == 0;
    }
    f->samples.Add(uint32_t(size), uint32_t(duration), isSyncSample);
    f->samples.SetCompositionOffset(f->samples.Count() - 1, uint32_t(renderingOffset));
    return f->sink.Error() == 0;
}

bool MP4SetLastSampleDuration(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration duration) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (f && f->fragmented) {  // the last sample is in the fragment still gathered
        if (f->sampleOpen || duration > UINT32_MAX || f->fragmentSamples.empty()) return false;
        f->fragmentSamples.back().duration = uint32_t(duration);
        return true;
    }
    return f && !f->sampleOpen && duration <= UINT32_MAX &&
           f->samples.SetLastDuration(uint32_t(duration));
}

bool MP4WriteSample(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                    uint32_t numBytes, MP4Duration duration, MP4Duration renderingOffset,
                    bool isSyncSample) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || f->sampleOpen || !SampleFits(f, &duration, renderingOffset)) return false;
    return MP4AppendSampleBytes(hFile, trackId, pBytes, numBytes) &&
           MP4FinishSample(hFile, trackId, duration, renderingOffset, isSyncSample);
}

bool MP4SetSampleRenderingOffset(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                                 MP4Duration renderingOffset) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || sampleId == 0 || renderingOffset > INT32_MAX) return false;
    if (f->fragmented)
        return MP4SetSampleCompositionOffset(hFile, trackId, sampleId, int32_t(renderingOffset));
    return f->samples.SetCompositionOffset(sampleId - 1, uint32_t(renderingOffset));
}

bool MP4SetSampleSync(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId, bool isSync) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (f && f->fragmented) {
        Mp4File::FragmentSample* s = GatheredSample(f, sampleId);
        if (s) s->sync = isSync;
        return s != nullptr;
    }
    return f && sampleId != 0 && f->samples.SetSync(sampleId - 1, isSync);
}

bool MP4AddRandomAccessSample(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                              int numLeading) {
    Mp4File* f = TrackFile(hFile, trackId);
    // A fragment's random access points are its sync samples only.
    if (!f || f->fragmented || sampleId == 0 || numLeading < -1) return false;
    // VisualRandomAccessEntry (ISO/IEC 14496-12 10.4.2): num_leading_samples_known, then the
    // count in 7 bits; a larger count can only be given as unknown.
    const uint8_t entry = numLeading >= 0 && numLeading <= 127 ? uint8_t(0x80 | numLeading) : 0;
    return f->samples.SetRandomAccess(sampleId - 1, entry);
}

MP4EditId MP4AddTrackEdit(MP4FileHandle hFile, MP4TrackId trackId, MP4EditId editId,
                          MP4Timestamp startTime, MP4Duration duration, bool dwell) {
    Mp4File* f = TrackFile(hFile, trackId);
    // A fragmented file's edit goes out with its movie box, in front of the first fragment.
    if (!f || (f->fragmented && f->movieWritten) || editId != MP4_INVALID_EDIT_ID || dwell ||
        startTime > INT64_MAX)
        return MP4_INVALID_EDIT_ID;
    f->track.edits.push_back({duration, int64_t(startTime)});
    return MP4EditId(f->track.edits.size());
}

bool MP4AddPixelAspectRatio(MP4FileHandle hFile, MP4TrackId trackId, uint32_t hSpacing,
                            uint32_t vSpacing) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || hSpacing == 0 || vSpacing == 0) return false;
    VideoTrack& t = f->track;
    const uint64_t display = ((uint64_t(t.width) << 16) * hSpacing + vSpacing / 2) / vSpacing;
    if (display > UINT32_MAX) return false;
    t.paspH = hSpacing;
    t.paspV = vSpacing;
    t.displayWidth = uint32_t(display);
    return true;
}

bool MP4SetColour(MP4FileHandle hFile, MP4TrackId trackId, uint16_t primaries, uint16_t transfer,
                  uint16_t matrix, bool fullRange) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f) return false;
    f->track.hasColour = true;
    f->track.colour = {primaries, transfer, matrix, fullRange};
    return true;
}

bool MP4SetMasteringDisplay(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* payload,
                            uint32_t size) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || !payload || size != 24) return false;
    f->track.masteringDisplay.assign(payload, payload + size);
    return true;
}

bool MP4SetContentLightLevel(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* payload,
                             uint32_t size) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || !payload || size != 4) return false;
    f->track.contentLightLevel.assign(payload, payload + size);
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
    const std::vector<uint8_t> fileType =
        FileTypeBox(f->hasTrack ? f->track.codec : VideoCodec::kH264);
    f->sink.Write(fileType.data(), fileType.size());
    Movie movie;
    movie.timeScale = f->movieTimeScale;
    movie.visualProfileLevel = f->visualProfileLevel;
    SampleTable none;
    f->extends.withDuration = f->seekable;
    if (f->hasTrack) {
        VideoTrack& t = f->track;
        t.samples = &none;
        // A set that changed before the first fragment was written is in band: the sample entry
        // says so (avc3, hev1). Later ones travel in band whatever it says.
        if (t.codec == VideoCodec::kH265) {
            const bool complete = !f->hevcSets.AnyInBand();
            t.sampleEntry = complete ? "hvc1" : "hev1";
            t.configBox = "hvcC";
            t.config =
                f->hevcSets.ConfigurationRecord(f->hevcFields, complete, f->lengthSizeMinusOne);
            f->hevcSets.Freeze();
        } else {
            t.sampleEntry = f->parameterSets.AnyInBand() ? "avc3" : "avc1";
            t.config = f->parameterSets.ConfigurationRecord(f->profile, f->compat, f->level,
                                                            f->lengthSizeMinusOne);
            f->parameterSets.Freeze();
        }
        movie.track = &t;
        movie.extends = &f->extends;
    }
    f->sink.Flush();  // the boxes' sizes are patched in the buffer, never in a pipe
    WriteMovie(f->boxes, movie);
    if (f->hasTrack) f->track.samples = nullptr;
}

// 8.8.4 to 8.8.8, 8.8.12: the first `count` gathered samples as one movie fragment and their
// media data, whole; then through to the disk when the file is to be durable.
bool WriteGatheredFragment(Mp4File* f, size_t count) {
    if (!f->movieWritten) WriteFragmentedMovie(f);
    if (count == 0 || !f->hasTrack) return f->sink.Error() == 0;
    uint64_t bytes = 0, duration = 0, gathered = 0;
    size_t shown = 0;
    const Mp4File::FragmentSample* first = nullptr;
    for (size_t i = 0; i < count; ++i) {
        const Mp4File::FragmentSample& s = f->fragmentSamples[i];
        gathered += s.size;
        if (s.hidden) continue;
        if (!first) first = &s;
        ++shown;
        bytes += s.size;
        duration += s.duration;
    }
    if (shown == 0) {
        f->fragmentData.erase(f->fragmentData.begin(),
                              f->fragmentData.begin() + ptrdiff_t(gathered));
        f->fragmentSamples.erase(f->fragmentSamples.begin(),
                                 f->fragmentSamples.begin() + ptrdiff_t(count));
        f->fragmentFirst += count;
        return f->sink.Error() == 0;
    }
    BoxWriter& w = f->boxes;
    const uint64_t moofStart = w.Position();
    const uint32_t moofSize = 88 + 16 * uint32_t(shown);
    const bool wide = bytes + 8 > UINT32_MAX;
    const uint64_t total = moofSize + (wide ? 16 : 8) + bytes;
    // Where the file is a recording that can be rewritten, the fragment is a free box until it
    // is whole on the disk: a file cut short by a crash or a power cut ends in a box that readers
    // skip, never in a fragment whose media data is missing.
    const bool hold = f->seekable && f->durable && total <= UINT32_MAX;
    f->fragmentIndex.push_back(
        {uint64_t(std::max<int64_t>(0, int64_t(f->fragmentBase) + first->offset)), moofStart});
    // Every size is known ahead: the boxes are written as they stand, never patched, so that a
    // pipe takes a fragment of any length.
    w.U32(hold ? uint32_t(total) : moofSize);
    w.Fourcc(hold ? "free" : "moof");
    w.U32(16);
    w.Fourcc("mfhd");
    w.U32(0);                   // version 0, no flags
    w.U32(++f->fragmentCount);  // sequence_number
    w.U32(moofSize - 24);
    w.Fourcc("traf");
    w.U32(16);
    w.Fourcc("tfhd");
    w.U32(0x020000);  // version 0, default-base-is-moof
    w.U32(f->track.trackId);
    w.U32(20);
    w.Fourcc("tfdt");
    w.U32(0x01000000);  // version 1
    w.U64(f->fragmentBase);
    // data offset, and per sample its duration, size, flags and signed composition offset
    w.U32(20 + 16 * uint32_t(shown));
    w.Fourcc("trun");
    w.U32(0x01000F01);  // version 1
    w.U32(uint32_t(shown));
    w.U32(moofSize + (wide ? 16 : 8));  // data_offset: from the moof to the first sample
    for (size_t i = 0; i < count; ++i) {
        const Mp4File::FragmentSample& s = f->fragmentSamples[i];
        if (s.hidden) continue;
        // 8.8.3.1: sample_depends_on 2 (an I picture) for a sync sample; else depends on others
        // and is_non_sync_sample.
        w.U32(s.duration);
        w.U32(s.size);
        w.U32(s.sync ? 0x02000000 : 0x01010000);
        w.U32(uint32_t(s.offset));
    }
    if (wide) {
        w.U32(1);
        w.Fourcc("mdat");
        w.U64(bytes + 16);
    } else {
        w.U32(uint32_t(bytes + 8));
        w.Fourcc("mdat");
    }
    if (shown == count) {
        f->sink.Write(f->fragmentData.data(), gathered);  // one run of bytes
    } else {
        size_t at = 0;
        for (size_t i = 0; i < count; ++i) {
            const Mp4File::FragmentSample& s = f->fragmentSamples[i];
            if (!s.hidden) f->sink.Write(f->fragmentData.data() + at, s.size);
            at += s.size;
        }
    }
    f->fragmentData.erase(f->fragmentData.begin(), f->fragmentData.begin() + ptrdiff_t(gathered));
    f->fragmentSamples.erase(f->fragmentSamples.begin(),
                             f->fragmentSamples.begin() + ptrdiff_t(count));
    f->fragmentFirst += count;
    f->fragmentBase += duration;
    if (f->live || f->durable) f->sink.Flush();
    if (hold)
        CommitFragment(f, moofStart, moofSize);
    else if (f->durable)
        Sync(f);
    return f->sink.Error() == 0 && !f->syncError;
}

// The end of a fragmented file: the last fragment, and where the file can be rewritten its
// duration and the random access index (8.8.9 to 8.8.11).
void FinishFragmentedFile(Mp4File* f) {
    if (f->sampleOpen) {  // a sample never finished is not part of the file
        f->fragmentData.resize(size_t(f->sampleStart));
        f->sampleOpen = false;
    }
    WriteGatheredFragment(f, f->fragmentSamples.size());
    if (!f->seekable || !f->hasTrack) return;
    f->sink.Flush();
    PatchU64(f->sink, f->extends.durationPos, f->fragmentBase);
    BoxWriter& w = f->boxes;
    const uint64_t start = w.Position();
    w.StartBox("mfra");
    bool wide = false;
    for (const Mp4File::FragmentEntry& e : f->fragmentIndex)
        wide = wide || e.time > UINT32_MAX || e.moofOffset > UINT32_MAX;
    w.StartFullBox("tfra", wide ? 1 : 0, 0);
    w.U32(f->track.trackId);
    w.U32(0);  // one byte each for the traf, trun and sample numbers
    w.U32(uint32_t(f->fragmentIndex.size()));
    for (const Mp4File::FragmentEntry& e : f->fragmentIndex) {
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
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || !f->fragmented || next == 0 || next - 1 < f->fragmentFirst) return false;
    const uint64_t count =
        std::min<uint64_t>(next - 1 - f->fragmentFirst, f->fragmentSamples.size());
    return WriteGatheredFragment(f, size_t(count));
}

bool MP4SetSampleCompositionOffset(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                                   int32_t offset) {
    Mp4File::FragmentSample* s = GatheredSample(TrackFile(hFile, trackId), sampleId);
    if (s) s->offset = offset;
    return s != nullptr;
}

bool MP4HideSample(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId) {
    Mp4File::FragmentSample* s = GatheredSample(TrackFile(hFile, trackId), sampleId);
    if (s) s->hidden = true;
    return s != nullptr;
}

bool MP4DiscardSample(MP4FileHandle hFile, MP4TrackId trackId) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || !f->fragmented || !f->sampleOpen) return false;
    const auto begin = f->fragmentData.begin() + ptrdiff_t(f->sampleStart);
    f->inband.insert(f->inband.begin(), begin, begin + f->sampleInband);
    f->fragmentData.erase(begin, f->fragmentData.end());
    f->sampleOpen = false;
    return true;
}

uint64_t MP4FragmentsWritten(MP4FileHandle hFile) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    return f ? f->fragmentCount : 0;
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
        if (::close(f->fd) != 0 && !err) err = errno;
        if (error) *error = err;
        return err == 0;
    }
    WriteFileType(f.get());
    WriteMediaDataHeader(f.get());
    Movie movie;
    movie.timeScale = f->movieTimeScale;
    movie.visualProfileLevel = f->visualProfileLevel;
    if (f->hasTrack) {
        CompleteTrack(f.get());
        movie.track = &f->track;
        movie.duration = MovieDuration(*f);
    }
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
    ::close(f->fd);
}

int MP4WriteError(MP4FileHandle hFile) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    return !f ? 0 : f->sink.Error() ? f->sink.Error() : f->syncError;
}

void MP4Close(MP4FileHandle hFile, uint32_t flags) {
    MP4CloseChecked(hFile, flags, nullptr);
}
