// The libmp4v2 calls of mp4v2.h over libavformat's "mp4" muxer.
//
// libavformat wants the decoder configuration before it writes its header, while libmp4v2 takes
// parameter sets at any time; so the header is written with the first sample, from the parameter
// sets handed over until then. A parameter set that arrives after that, or that replaces one the
// decoder already has, travels in band, in front of the next sample's NAL units.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include "h264/bitstream.h"
#include "h264/sps.h"
#include "mp4/mp4check.h"
#include "mp4/mp4v2.h"

namespace {

constexpr int kIoBufferSize = 1 << 20;
constexpr MP4TrackId kVideoTrackId = 1;

using Bytes = std::vector<uint8_t>;

struct Mp4File {
    int fd = -1;
    int writeError = 0;  // errno of the first failed write, seek or close
    AVFormatContext* fmt = nullptr;
    AVStream* stream = nullptr;
    uint32_t movieTimeScale = 90000;
    uint32_t trackTimeScale = 0;
    MP4Duration fixedDuration = 0;
    uint8_t profile = 0, compat = 0, level = 0, lengthSizeMinusOne = 3;
    int videoProfileLevel = -1;
    bool headerWritten = false;
    uint64_t dts = 0;               // in track ticks
    int64_t presentationStart = 0;  // media time shown at time 0
    // Parameter sets by id: before the header those that go into the avcC record; after it,
    // those the decoder holds, so that repeats are recognised and changes sent in band.
    std::map<uint32_t, Bytes> sps;
    std::map<uint32_t, Bytes> pps;
    Bytes inband;  // length-prefixed parameter sets for the front of the next sample
    Bytes scratch;
};

Mp4File* FileOf(MP4FileHandle h) {
    return static_cast<Mp4File*>(h);
}

int WritePacket(void* opaque, uint8_t* buf, int size) {
    Mp4File* f = static_cast<Mp4File*>(opaque);
    int done = 0;
    while (done < size) {
        ssize_t n = ::write(f->fd, buf + done, size_t(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!f->writeError) f->writeError = n < 0 ? errno : ENOSPC;
            return AVERROR(f->writeError);
        }
        done += int(n);
    }
    return size;
}

int64_t SeekPacket(void* opaque, int64_t offset, int whence) {
    Mp4File* f = static_cast<Mp4File*>(opaque);
    if (whence & AVSEEK_SIZE) {
        off_t here = ::lseek(f->fd, 0, SEEK_CUR);
        off_t size = ::lseek(f->fd, 0, SEEK_END);
        if (here < 0 || size < 0 || ::lseek(f->fd, here, SEEK_SET) < 0) return AVERROR(errno);
        return size;
    }
    off_t r = ::lseek(f->fd, offset, whence & ~AVSEEK_FORCE);
    if (r < 0) {
        if (!f->writeError) f->writeError = errno;
        return AVERROR(errno);
    }
    return r;
}

// seq_parameter_set_id of an SPS, pic_parameter_set_id of a PPS: the first ue(v) after the fixed
// header bytes. Neither can hold an emulation-prevention byte before it.
bool ParameterSetId(const uint8_t* nal, uint16_t len, uint32_t skipBytes, uint32_t* id) {
    if (len <= skipBytes) return false;
    try {
        Bitstream bs(nal + skipBytes, uint32_t(len - skipBytes) * 8);
        *id = ReadUE(bs);
        return true;
    } catch (...) {
        return false;
    }
}

void AppendLengthPrefixed(Bytes& out, const Bytes& nal) {
    const size_t n = nal.size();
    out.push_back(uint8_t(n >> 24));
    out.push_back(uint8_t(n >> 16));
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n));
    out.insert(out.end(), nal.begin(), nal.end());
}

void AddParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal, uint16_t len,
                     bool isSps) {
    Mp4File* f = FileOf(hFile);
    if (!f || trackId != kVideoTrackId || !f->stream || !nal || len == 0) return;
    uint32_t id = 0;
    if (!ParameterSetId(nal, len, isSps ? 4 : 1, &id)) return;
    std::map<uint32_t, Bytes>& sets = isSps ? f->sps : f->pps;
    Bytes bytes(nal, nal + len);
    auto it = sets.find(id);
    if (it != sets.end() && it->second == bytes) return;  // a repeat: the decoder has it
    sets[id] = bytes;
    if (!f->headerWritten) return;
    AppendLengthPrefixed(f->inband, bytes);
    // A decoder drops the picture parameter sets of a sequence parameter set that changes: they
    // are sent again, even when they repeat.
    if (isSps) f->pps.clear();
}

// AVCDecoderConfigurationRecord (ISO/IEC 14496-15 5.3.3.1) from the parameter sets so far.
Bytes BuildAvcC(const Mp4File& f) {
    Bytes out = {1, f.profile, f.compat, f.level, uint8_t(0xFC | (f.lengthSizeMinusOne & 3))};
    out.push_back(uint8_t(0xE0 | (f.sps.size() & 0x1F)));
    for (const auto& [id, nal] : f.sps) {
        out.push_back(uint8_t(nal.size() >> 8));
        out.push_back(uint8_t(nal.size()));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    out.push_back(uint8_t(f.pps.size()));
    for (const auto& [id, nal] : f.pps) {
        out.push_back(uint8_t(nal.size() >> 8));
        out.push_back(uint8_t(nal.size()));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    // The high profiles carry chroma format and bit depths behind the parameter sets.
    const uint8_t p = f.profile;
    if ((p == 100 || p == 110 || p == 122 || p == 144 || p == 244) && !f.sps.empty()) {
        const Bytes& first = f.sps.begin()->second;
        SpsInfo info{};
        uint32_t chroma = 1, depthLuma = 0, depthChroma = 0;
        if (ParseSps(first.data(), uint32_t(first.size()), &info)) {
            chroma = info.chroma_format_idc;
            depthLuma = info.bit_depth_luma_minus8;
            depthChroma = info.bit_depth_chroma_minus8;
        }
        out.push_back(uint8_t(0xFC | (chroma & 3)));
        out.push_back(uint8_t(0xF8 | (depthLuma & 7)));
        out.push_back(uint8_t(0xF8 | (depthChroma & 7)));
        out.push_back(0);  // no SPS extensions
    }
    return out;
}

bool WriteHeader(Mp4File* f) {
    Bytes avcc = BuildAvcC(*f);
    AVCodecParameters* par = f->stream->codecpar;
    av_freep(&par->extradata);  // from an earlier attempt that failed
    par->extradata = static_cast<uint8_t*>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return false;
    memcpy(par->extradata, avcc.data(), avcc.size());
    par->extradata_size = int(avcc.size());

    AVDictionary* opts = nullptr;
    av_dict_set_int(&opts, "movie_timescale", f->movieTimeScale, 0);
    av_dict_set_int(&opts, "video_track_timescale", f->trackTimeScale, 0);
    if (f->videoProfileLevel >= 0) {
        av_dict_set_int(&opts, "skip_iods", 0, 0);
        av_dict_set_int(&opts, "iods_video_profile", f->videoProfileLevel, 0);
    }
    int r = avformat_write_header(f->fmt, &opts);
    av_dict_free(&opts);
    if (r < 0) return false;
    f->headerWritten = true;
    return true;
}

}  // namespace

MP4FileHandle MP4Create(const char* fileName, uint32_t /*flags*/) {
    if (!fileName || !*fileName) return MP4_INVALID_FILE_HANDLE;
    auto* f = new Mp4File;
    f->fd = ::open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (f->fd < 0) {
        delete f;
        return MP4_INVALID_FILE_HANDLE;
    }
    uint8_t* iobuf = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    AVIOContext* pb =
        iobuf ? avio_alloc_context(iobuf, kIoBufferSize, 1, f, nullptr, WritePacket, SeekPacket)
              : nullptr;
    if (pb) avformat_alloc_output_context2(&f->fmt, nullptr, "mp4", nullptr);
    if (!pb || !f->fmt) {
        if (pb)
            avio_context_free(&pb);
        else
            av_free(iobuf);
        ::close(f->fd);
        ::unlink(fileName);
        delete f;
        return MP4_INVALID_FILE_HANDLE;
    }
    f->fmt->pb = pb;
    f->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Writes leave in whole buffers, not one per sample.
    f->fmt->flags &= ~AVFMT_FLAG_FLUSH_PACKETS;
    f->fmt->flush_packets = 0;
    return f;
}

bool MP4SetTimeScale(MP4FileHandle hFile, uint32_t value) {
    Mp4File* f = FileOf(hFile);
    if (!f || value == 0 || value > INT32_MAX || f->headerWritten) return false;
    f->movieTimeScale = value;
    return true;
}

MP4TrackId MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height, uint8_t AVCProfileIndication,
                                uint8_t profile_compat, uint8_t AVCLevelIndication,
                                uint8_t sampleLenFieldSizeMinusOne) {
    Mp4File* f = FileOf(hFile);
    // Samples are written with 4-byte lengths; other length sizes are not offered.
    if (!f || f->stream || timeScale == 0 || timeScale > INT32_MAX ||
        sampleLenFieldSizeMinusOne != 3)
        return MP4_INVALID_TRACK_ID;
    AVStream* st = avformat_new_stream(f->fmt, nullptr);
    if (!st) return MP4_INVALID_TRACK_ID;
    st->time_base = AVRational{1, int(timeScale)};
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_H264;
    st->codecpar->codec_tag = 0;
    st->codecpar->width = width;
    st->codecpar->height = height;
    st->codecpar->profile = AVCProfileIndication;
    st->codecpar->level = AVCLevelIndication;
    if (sampleDuration != MP4_INVALID_DURATION && sampleDuration > 0)
        st->avg_frame_rate = av_d2q(double(timeScale) / double(sampleDuration), 1 << 30);
    f->stream = st;
    f->trackTimeScale = timeScale;
    f->fixedDuration = sampleDuration;
    f->profile = AVCProfileIndication;
    f->compat = profile_compat;
    f->level = AVCLevelIndication;
    f->lengthSizeMinusOne = sampleLenFieldSizeMinusOne;
    return kVideoTrackId;
}

void MP4SetVideoProfileLevel(MP4FileHandle hFile, uint8_t value) {
    if (Mp4File* f = FileOf(hFile)) f->videoProfileLevel = value;
}

void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId,
                                    const uint8_t* pSequence, uint16_t sequenceLen) {
    AddParameterSet(hFile, trackId, pSequence, sequenceLen, true);
}

void MP4AddH264PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pPict,
                                   uint16_t pictLen) {
    AddParameterSet(hFile, trackId, pPict, pictLen, false);
}

bool MP4WriteSample(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                    uint32_t numBytes, MP4Duration duration, MP4Duration renderingOffset,
                    bool isSyncSample) {
    Mp4File* f = FileOf(hFile);
    if (!f || trackId != kVideoTrackId || !f->stream || (!pBytes && numBytes) ||
        numBytes > uint32_t(INT32_MAX) - (1u << 20) || f->writeError)
        return false;
    if (duration == MP4_INVALID_DURATION) duration = f->fixedDuration;
    if (duration == MP4_INVALID_DURATION || duration > uint64_t(INT32_MAX) ||
        renderingOffset > uint64_t(INT32_MAX))
        return false;
    if (!f->headerWritten && !WriteHeader(f)) return false;

    const uint8_t* data = pBytes;
    size_t size = numBytes;
    if (!f->inband.empty()) {
        f->scratch.assign(f->inband.begin(), f->inband.end());
        f->scratch.insert(f->scratch.end(), pBytes, pBytes + numBytes);
        f->inband.clear();
        data = f->scratch.data();
        size = f->scratch.size();
        if (size > size_t(INT32_MAX)) return false;
    }

    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return false;
    pkt->data = const_cast<uint8_t*>(data);  // not reference-counted: the muxer only reads it
    pkt->size = int(size);
    pkt->stream_index = f->stream->index;
    // Decode times start below zero by the presentation start, which the muxer turns into the
    // edit list that shows the media from that time on.
    pkt->dts = int64_t(f->dts) - f->presentationStart;
    pkt->pts = int64_t(f->dts + renderingOffset) - f->presentationStart;
    pkt->duration = int64_t(duration);
    if (isSyncSample) pkt->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(pkt, AVRational{1, int(f->trackTimeScale)}, f->stream->time_base);
    int r = av_write_frame(f->fmt, pkt);
    av_packet_free(&pkt);
    f->dts += duration;
    return r >= 0 && !f->writeError && f->fmt->pb->error >= 0;
}

bool MP4SetPresentationStart(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration start) {
    Mp4File* f = FileOf(hFile);
    if (!f || trackId != kVideoTrackId || !f->stream || f->headerWritten || start > INT32_MAX)
        return false;
    f->presentationStart = int64_t(start);
    return true;
}

bool MP4CloseChecked(MP4FileHandle hFile, uint32_t /*flags*/, int* error) {
    Mp4File* f = FileOf(hFile);
    if (!f) return false;
    bool ok = true;
    // A track without samples still gets its header, unless writing has failed already.
    if (f->stream && !f->headerWritten && !f->writeError) ok = WriteHeader(f);
    if (f->headerWritten && av_write_trailer(f->fmt) < 0) ok = false;
    if (f->fmt->pb) {
        avio_flush(f->fmt->pb);
        if (f->fmt->pb->error < 0) ok = false;
        av_freep(&f->fmt->pb->buffer);
        avio_context_free(&f->fmt->pb);
    }
    avformat_free_context(f->fmt);
    if (::close(f->fd) != 0 && !f->writeError) f->writeError = errno;
    if (f->writeError) ok = false;
    if (error) *error = ok ? 0 : (f->writeError ? f->writeError : EIO);
    delete f;
    return ok;
}

int MP4WriteError(MP4FileHandle hFile) {
    Mp4File* f = FileOf(hFile);
    return f ? f->writeError : 0;
}

void MP4Close(MP4FileHandle hFile, uint32_t flags) {
    MP4CloseChecked(hFile, flags, nullptr);
}
