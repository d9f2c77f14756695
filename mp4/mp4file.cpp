// The libmp4v2 calls of mp4v2.h and mp4check.h over our own writer of one H.264 track.
//
// Layout of the file: ftyp, a free box of 8 bytes, then the media data box (mdat), which
// receives every sample as it comes, and at close the movie box (moov) behind it. When the
// media data passes 4 GiB, its header takes the free box's 8 bytes for a 64-bit size.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "mp4/avcconfig.h"
#include "mp4/boxes.h"
#include "mp4/boxwriter.h"
#include "mp4/filesink.h"
#include "mp4/moovwriter.h"
#include "mp4/mp4check.h"
#include "mp4/mp4v2.h"
#include "mp4/sampletable.h"

namespace {

// Writes leave in pieces of 1 MiB: large enough to be few, small enough that what was just
// copied in is still in the cache when the kernel copies it out.
constexpr size_t kWriteBuffer = 1u << 20;
constexpr MP4TrackId kVideoTrackId = 1;
constexpr uint32_t kMaxSamplesPerChunk = 64;

struct Mp4File {
    explicit Mp4File(int fd) : fd(fd), sink(fd, kWriteBuffer), boxes(sink) {}

    int fd;
    FileSink sink;
    BoxWriter boxes;
    uint64_t mdatHeader = 0;  // offset of the 16 bytes that hold free + mdat headers
    uint32_t movieTimeScale = 90000;
    int visualProfileLevel = -1;

    bool hasTrack = false;
    VideoTrack track;
    MP4Duration fixedDuration = MP4_INVALID_DURATION;
    uint8_t profile = 0, compat = 0, level = 0, lengthSizeMinusOne = 3;
    AvcParameterSets parameterSets;
    AvcParameterSets::Bytes inband;  // parameter sets for the front of the next sample data
    SampleTable samples;
    bool sampleOpen = false;
    bool samplesStarted = false;
    uint64_t sampleStart = 0;
};

Mp4File* TrackFile(MP4FileHandle h, MP4TrackId trackId) {
    Mp4File* f = static_cast<Mp4File*>(h);
    return f && f->hasTrack && trackId == kVideoTrackId ? f : nullptr;
}

uint64_t Rescale(uint64_t ticks, uint32_t to, uint32_t from) {
    return uint64_t((unsigned __int128)ticks * to / from);
}

void OpenSample(Mp4File* f) {
    if (f->sampleOpen) return;
    f->sampleOpen = true;
    f->samplesStarted = true;
    f->sampleStart = f->sink.Position();
}

void WriteMediaDataHeader(Mp4File* f) {
    const uint64_t end = f->sink.Position();
    const uint64_t size = end - (f->mdatHeader + 8);
    if (size <= UINT32_MAX) {
        const uint8_t h[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8),
                              uint8_t(size)};
        f->sink.Patch(f->mdatHeader + 8, h, 4);
        return;
    }
    // A 64-bit size (ISO/IEC 14496-12 4.2) over the free box: size 1, the type, then the size
    // in 8 bytes.
    const uint64_t wide = end - f->mdatHeader;
    uint8_t h[16] = {0, 0, 0, 1, 'm', 'd', 'a', 't'};
    for (int i = 0; i < 8; ++i) h[8 + i] = uint8_t(wide >> (56 - 8 * i));
    f->sink.Patch(f->mdatHeader, h, 16);
}

// Fills in what only the end knows: durations, the edit list's open ends, the configuration.
void CompleteTrack(Mp4File* f) {
    VideoTrack& t = f->track;
    t.samples = &f->samples;
    t.mediaDuration = f->samples.MediaDuration();
    t.avcC = f->parameterSets.ConfigurationRecord(f->profile, f->compat, f->level,
                                                  f->lengthSizeMinusOne);
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

}  // namespace

MP4FileHandle MP4Create(const char* fileName, uint32_t /*flags*/) {
    if (!fileName || !*fileName) {
        errno = EINVAL;
        return MP4_INVALID_FILE_HANDLE;
    }
    const int fd = ::open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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
    WriteFileType(f->boxes);
    f->mdatHeader = f->sink.Position();
    const uint8_t headers[16] = {0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 'm', 'd', 'a', 't'};
    f->sink.Write(headers, sizeof headers);
    f->track.firstChunkOffset = f->sink.Position();
    return f;
}

bool MP4SetTimeScale(MP4FileHandle hFile, uint32_t value) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (!f || value == 0) return false;
    f->movieTimeScale = value;
    return true;
}

MP4TrackId MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height, uint8_t AVCProfileIndication,
                                uint8_t profile_compat, uint8_t AVCLevelIndication,
                                uint8_t sampleLenFieldSizeMinusOne) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    if (!f || f->hasTrack || timeScale == 0 || sampleLenFieldSizeMinusOne != 3)
        return MP4_INVALID_TRACK_ID;
    f->hasTrack = true;
    VideoTrack& t = f->track;
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
    f->profile = AVCProfileIndication;
    f->compat = profile_compat;
    f->level = AVCLevelIndication;
    f->lengthSizeMinusOne = sampleLenFieldSizeMinusOne;
    return kVideoTrackId;
}

void MP4SetVideoProfileLevel(MP4FileHandle hFile, uint8_t value) {
    if (Mp4File* f = static_cast<Mp4File*>(hFile)) f->visualProfileLevel = value;
}

void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId,
                                    const uint8_t* pSequence, uint16_t sequenceLen) {
    if (Mp4File* f = TrackFile(hFile, trackId))
        f->parameterSets.Add(true, pSequence, sequenceLen, f->samplesStarted, &f->inband);
}

void MP4AddH264PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pPict,
                                   uint16_t pictLen) {
    if (Mp4File* f = TrackFile(hFile, trackId))
        f->parameterSets.Add(false, pPict, pictLen, f->samplesStarted, &f->inband);
}

bool MP4AppendSampleBytes(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                          uint32_t numBytes) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || (!pBytes && numBytes) || f->sink.Error()) return false;
    OpenSample(f);
    if (!f->inband.empty()) {
        f->sink.Write(f->inband.data(), f->inband.size());
        f->inband.clear();
    }
    if (numBytes) f->sink.Write(pBytes, numBytes);
    return true;
}

bool MP4FinishSample(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration duration,
                     MP4Duration renderingOffset, bool isSyncSample) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || !MP4AppendSampleBytes(hFile, trackId, nullptr, 0)) return false;
    f->sampleOpen = false;
    if (duration == MP4_INVALID_DURATION) duration = f->fixedDuration;
    const uint64_t size = f->sink.Position() - f->sampleStart;
    if (duration > UINT32_MAX || renderingOffset > INT32_MAX || size > UINT32_MAX ||
        f->samples.Count() == UINT32_MAX)
        return false;
    f->samples.Add(uint32_t(size), uint32_t(duration), isSyncSample);
    f->samples.SetCompositionOffset(f->samples.Count() - 1, uint32_t(renderingOffset));
    return f->sink.Error() == 0;
}

bool MP4WriteSample(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                    uint32_t numBytes, MP4Duration duration, MP4Duration renderingOffset,
                    bool isSyncSample) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || f->sampleOpen) return false;
    return MP4AppendSampleBytes(hFile, trackId, pBytes, numBytes) &&
           MP4FinishSample(hFile, trackId, duration, renderingOffset, isSyncSample);
}

bool MP4SetSampleRenderingOffset(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                                 MP4Duration renderingOffset) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || sampleId == 0 || renderingOffset > INT32_MAX) return false;
    return f->samples.SetCompositionOffset(sampleId - 1, uint32_t(renderingOffset));
}

MP4EditId MP4AddTrackEdit(MP4FileHandle hFile, MP4TrackId trackId, MP4EditId editId,
                          MP4Timestamp startTime, MP4Duration duration, bool dwell) {
    Mp4File* f = TrackFile(hFile, trackId);
    if (!f || editId != MP4_INVALID_EDIT_ID || dwell || startTime > INT64_MAX)
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

bool MP4CloseChecked(MP4FileHandle hFile, uint32_t /*flags*/, int* error) {
    std::unique_ptr<Mp4File> f(static_cast<Mp4File*>(hFile));
    if (!f) return false;
    WriteMediaDataHeader(f.get());
    Movie movie;
    movie.timeScale = f->movieTimeScale;
    movie.visualProfileLevel = f->visualProfileLevel;
    if (f->hasTrack) {
        CompleteTrack(f.get());
        movie.track = &f->track;
        movie.duration = MovieDuration(*f);
    }
    WriteMovie(f->boxes, movie);
    f->sink.Flush();
    int err = f->sink.Error();
    if (::close(f->fd) != 0 && !err) err = errno;
    if (error) *error = err;
    return err == 0;
}

void MP4Discard(MP4FileHandle hFile) {
    std::unique_ptr<Mp4File> f(static_cast<Mp4File*>(hFile));
    if (f) ::close(f->fd);
}

int MP4WriteError(MP4FileHandle hFile) {
    Mp4File* f = static_cast<Mp4File*>(hFile);
    return f ? f->sink.Error() : 0;
}

void MP4Close(MP4FileHandle hFile, uint32_t flags) {
    MP4CloseChecked(hFile, flags, nullptr);
}
