#include "support/decode.h"

#include <QCryptographicHash>
#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
}

namespace {

QByteArray HashFrame(const AVFrame* f) {
    const int size = av_image_get_buffer_size(AVPixelFormat(f->format), f->width, f->height, 1);
    QByteArray buf(size > 0 ? size : 0, Qt::Uninitialized);
    if (size <= 0 ||
        av_image_copy_to_buffer(reinterpret_cast<uint8_t*>(buf.data()), size, f->data, f->linesize,
                                AVPixelFormat(f->format), f->width, f->height, 1) < 0)
        return QByteArray();
    return QCryptographicHash::hash(buf, QCryptographicHash::Md5).toHex();
}

// The raw demuxer for an Annex B stream, told by its first parameter set: an H.264 SPS (type 7
// in the low five bits of the header byte) or an H.265 VPS or SPS (header bytes 40 01, 42 01).
// The name says nothing (.h26x holds either). Null for an MP4 and for anything without a
// parameter set, which libavformat then probes as it likes.
const AVInputFormat* RawFormat(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return nullptr;
    const QByteArray head = f.peek(8);
    if (head.size() == 8 && (head.mid(4) == "ftyp" || head.mid(4) == "moov")) return nullptr;
    constexpr qint64 kChunk = 1 << 20;
    QByteArray tail;  // the last bytes of the chunk before, for a start code across chunks
    for (qint64 read = 0; read < 64 * kChunk && !f.atEnd(); read += kChunk) {
        const QByteArray d = tail + f.read(kChunk);
        for (int at = d.indexOf(QByteArray("\0\0\1", 3)); at >= 0 && at + 4 < d.size();
             at = d.indexOf(QByteArray("\0\0\1", 3), at + 1)) {
            const uint8_t a = uint8_t(d[at + 3]), b = uint8_t(d[at + 4]);
            if ((a & 0x9F) == 7) return av_find_input_format("h264");
            if ((a == 0x40 || a == 0x42) && b == 0x01) return av_find_input_format("hevc");
        }
        tail = d.right(4);
    }
    return nullptr;
}

void Drain(AVCodecContext* dec, AVFrame* frame, DecodeResult& out) {
    while (avcodec_receive_frame(dec, frame) == 0) {
        DecodedPicture p;
        p.hash = HashFrame(frame);
        p.pts = frame->pts == AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
        out.pictures.push_back(p);
        av_frame_unref(frame);
    }
}

}  // namespace

DecodeResult DecodeFile(const QString& path) {
    DecodeResult out;
    AVFormatContext* fmt = nullptr;
    const QByteArray name = path.toUtf8();
    if (avformat_open_input(&fmt, name.constData(), RawFormat(path), nullptr) < 0) {
        out.error = QStringLiteral("cannot open ") + path;
        return out;
    }
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int index = -1;
    if (avformat_find_stream_info(fmt, nullptr) >= 0)
        index = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index >= 0) {
        AVStream* st = fmt->streams[index];
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        dec = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (dec && avcodec_parameters_to_context(dec, st->codecpar) >= 0) {
            dec->thread_count = 1;
            dec->pkt_timebase = st->time_base;
            if (avcodec_open2(dec, codec, nullptr) >= 0) {
                out.ok = true;
                out.width = st->codecpar->width;
                out.height = st->codecpar->height;
                out.timeBaseNum = st->time_base.num;
                out.timeBaseDen = st->time_base.den;
                out.frameRateNum = st->r_frame_rate.num;
                out.frameRateDen = st->r_frame_rate.den;
                out.duration = st->duration == AV_NOPTS_VALUE ? 0 : st->duration;
            }
        }
    }
    if (!out.ok && out.error.isEmpty()) out.error = QStringLiteral("no decodable video in ") + path;
    while (out.ok && av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == index) {
            DemuxedPacket p;
            p.size = pkt->size;
            p.dts = pkt->dts;
            p.pts = pkt->pts;
            p.duration = pkt->duration;
            p.key = pkt->flags & AV_PKT_FLAG_KEY;
            out.packets.push_back(p);
            if (avcodec_send_packet(dec, pkt) == AVERROR(EAGAIN)) {
                Drain(dec, frame, out);
                avcodec_send_packet(dec, pkt);
            }
            Drain(dec, frame, out);
        }
        av_packet_unref(pkt);
    }
    if (dec && out.ok) {
        avcodec_send_packet(dec, nullptr);
        Drain(dec, frame, out);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    return out;
}

QVector<QByteArray> PictureHashes(const DecodeResult& r) {
    QVector<QByteArray> hashes;
    if (!r.ok) return hashes;
    for (const DecodedPicture& p : r.pictures) hashes.push_back(p.hash);
    return hashes;
}

QVector<QByteArray> DecodePictureHashes(const QString& path) {
    return PictureHashes(DecodeFile(path));
}

QVector<QByteArray> ReadSamples(const QString& path, bool ignoreEditList) {
    QVector<QByteArray> out;
    AVFormatContext* fmt = nullptr;
    AVDictionary* opts = nullptr;
    if (ignoreEditList) av_dict_set(&opts, "ignore_editlist", "1", 0);
    const int r = avformat_open_input(&fmt, path.toUtf8().constData(), RawFormat(path), &opts);
    av_dict_free(&opts);
    if (r < 0) return out;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fmt, pkt) >= 0) {
        out.push_back(QByteArray(reinterpret_cast<const char*>(pkt->data), pkt->size));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return out;
}

QByteArray ReadFileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

namespace {

class BoxReader {
public:
    explicit BoxReader(const QByteArray& data) : d(data) {}
    uint64_t Be(int64_t at, int bytes) const {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v = (v << 8) | uint8_t(d.at(int(at + i)));
        return v;
    }
    QByteArray Bytes(int64_t at, int64_t n) const { return d.mid(int(at), int(n)); }
    bool Has(int64_t at, int64_t n) const { return at >= 0 && n >= 0 && at + n <= d.size(); }

    // Calls f(type, bodyStart, bodyEnd) for each box in [from, to).
    template <typename F>
    void Each(int64_t from, int64_t to, F&& f) const {
        while (Has(from, 8) && from + 8 <= to) {
            uint64_t size = Be(from, 4);
            const QByteArray type = d.mid(int(from + 4), 4);
            int64_t body = from + 8;
            if (size == 1 && Has(from, 16)) {
                size = Be(from + 8, 8);
                body = from + 16;
            } else if (size == 0) {
                size = uint64_t(to - from);
            }
            if (size < uint64_t(body - from) || from + int64_t(size) > to) return;
            f(type, body, from + int64_t(size));
            from += int64_t(size);
        }
    }

private:
    const QByteArray& d;
};

// HEVCDecoderConfigurationRecord: 22 bytes, numOfArrays, then each array: completeness and
// NAL unit type in a byte, a 16-bit count and each set after a 16-bit length.
void ReadHvcC(Mp4Info& info) {
    const BoxReader a(info.hvcC);
    if (!a.Has(22, 1)) return;
    const int arrays = int(a.Be(22, 1));
    int64_t p = 23;
    for (int i = 0; i < arrays && a.Has(p, 3); ++i) {
        const int type = int(a.Be(p, 1)) & 0x3F;
        info.hvcCArrayTypes.push_back(type);
        info.hvcCArrayComplete.push_back(a.Be(p, 1) & 0x80);
        const int n = int(a.Be(p + 1, 2));
        p += 3;
        QVector<QByteArray>* sets = type == 32   ? &info.hvcCVps
                                    : type == 33 ? &info.hvcCSps
                                    : type == 34 ? &info.hvcCPps
                                                 : nullptr;
        for (int k = 0; k < n && a.Has(p, 2) && a.Has(p + 2, int64_t(a.Be(p, 2))); ++k) {
            if (sets) sets->push_back(a.Bytes(p + 2, int64_t(a.Be(p, 2))));
            p += 2 + int64_t(a.Be(p, 2));
        }
    }
}

// The 'rap ' group: sgpd's one-byte VisualRandomAccessEntry descriptions and sbgp's runs.
void ReadRandomAccessGroup(const BoxReader& r, int64_t sgpd, int64_t sbgp, Mp4Info& info) {
    if (sgpd < 0 || sbgp < 0 || !r.Has(sgpd, 12) || !r.Has(sbgp, 12)) return;
    const int version = int(r.Be(sgpd, 1));
    uint32_t defaultLength = version == 1 ? uint32_t(r.Be(sgpd + 8, 4)) : 1;
    int64_t p = sgpd + 8 + (version >= 1 ? 4 : 0) + (version >= 2 ? 4 : 0);
    const uint32_t count = uint32_t(r.Be(p, 4));
    p += 4;
    QVector<uint8_t> entries;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = defaultLength;
        if (version == 1 && defaultLength == 0) {
            length = uint32_t(r.Be(p, 4));
            p += 4;
        }
        if (!r.Has(p, length) || length == 0) return;
        entries.push_back(uint8_t(r.Be(p, 1)));
        p += length;
    }
    const bool parameter = r.Be(sbgp, 1) == 1;  // grouping_type_parameter
    int64_t q = sbgp + 8 + (parameter ? 4 : 0);
    const uint32_t runs = uint32_t(r.Be(q, 4));
    q += 4;
    uint32_t sample = 1;
    for (uint32_t i = 0; i < runs && r.Has(q, 8); ++i, q += 8) {
        const uint32_t n = uint32_t(r.Be(q, 4)), index = uint32_t(r.Be(q + 4, 4));
        for (uint32_t k = 0; k < n; ++k, ++sample) {
            if (index == 0) continue;
            const uint8_t e = index <= uint32_t(entries.size()) ? entries[int(index - 1)] : 0;
            info.rapSamples.push_back(sample);
            info.rapLeading.push_back(e & 0x80 ? e & 0x7F : -1);
        }
    }
}

void ReadStbl(const BoxReader& r, int64_t b, int64_t e, Mp4Info& info) {
    int64_t rapDescriptions = -1, rapSamples = -1;
    r.Each(b, e, [&](const QByteArray& t, int64_t s, int64_t end) {
        if (t == "stsd" && r.Has(s, 16)) {
            // stsd: version/flags, count, then the sample entry: size, type, 6 reserved,
            // data ref index, 16 bytes predefined, width, height, ... 78 bytes, then boxes.
            const int64_t entry = s + 8;
            info.sampleEntry = r.Bytes(entry + 4, 4);
            if (r.Has(entry + 8 + 24, 4)) {
                info.avc1Width = uint16_t(r.Be(entry + 8 + 24, 2));
                info.avc1Height = uint16_t(r.Be(entry + 8 + 26, 2));
            }
            const int64_t entryEnd = entry + int64_t(r.Be(entry, 4));
            r.Each(entry + 8 + 78, std::min(entryEnd, end),
                   [&](const QByteArray& t2, int64_t s2, int64_t e2) {
                       if (t2 == "avcC") info.avcC = r.Bytes(s2, e2 - s2);
                       if (t2 == "hvcC") info.hvcC = r.Bytes(s2, e2 - s2);
                       for (auto [type, body] :
                            {std::pair("colr", &info.colr), std::pair("mdcv", &info.mdcv),
                             std::pair("clli", &info.clli), std::pair("btrt", &info.btrt)})
                           if (t2 == type) *body = r.Bytes(s2, e2 - s2);
                       if (t2 == "pasp" && r.Has(s2, 8)) {
                           info.paspH = uint32_t(r.Be(s2, 4));
                           info.paspV = uint32_t(r.Be(s2 + 4, 4));
                       }
                   });
            // avcC: 5 bytes, the SPS count (low 5 bits) and each SPS after a 16-bit length,
            // then the PPS count and each PPS.
            const BoxReader a(info.avcC);
            int64_t p = 5;
            for (QVector<QByteArray>* sets : {&info.avcCSps, &info.avcCPps}) {
                if (!a.Has(p, 1)) break;
                const int n = int(a.Be(p++, 1)) & (sets == &info.avcCSps ? 0x1F : 0xFF);
                for (int i = 0; i < n && a.Has(p, 2) && a.Has(p + 2, int64_t(a.Be(p, 2))); ++i) {
                    sets->push_back(a.Bytes(p + 2, int64_t(a.Be(p, 2))));
                    p += 2 + int64_t(a.Be(p, 2));
                }
            }
        } else if (t == "stsz" && r.Has(s, 12)) {
            info.sampleCount = uint32_t(r.Be(s + 8, 4));
            for (uint32_t i = 0; r.Be(s + 4, 4) == 0 && i < info.sampleCount; ++i)
                if (r.Has(s + 12 + 4 * int64_t(i), 4))
                    info.sampleSizes.push_back(uint32_t(r.Be(s + 12 + 4 * int64_t(i), 4)));
        } else if (t == "stss" && r.Has(s, 8)) {
            info.hasStss = true;
            const uint32_t n = uint32_t(r.Be(s + 4, 4));
            for (uint32_t i = 0; i < n && r.Has(s + 8 + 4 * i, 4); ++i)
                info.syncSamples.push_back(uint32_t(r.Be(s + 8 + 4 * i, 4)));
        } else if (t == "stts" && r.Has(s, 8)) {
            const uint32_t n = uint32_t(r.Be(s + 4, 4));
            for (uint32_t i = 0; i < n && r.Has(s + 8 + 8 * i, 8); ++i)
                for (uint32_t k = 0; k < r.Be(s + 8 + 8 * i, 4); ++k)
                    info.sttsDeltas.push_back(uint32_t(r.Be(s + 12 + 8 * i, 4)));
        } else if (t == "ctts" && r.Has(s, 8)) {
            info.hasCtts = true;
            const bool signedOffsets = r.Be(s, 1) == 1;
            const uint32_t n = uint32_t(r.Be(s + 4, 4));
            for (uint32_t i = 0; i < n && r.Has(s + 8 + 8 * i, 8); ++i) {
                const uint32_t raw = uint32_t(r.Be(s + 12 + 8 * i, 4));
                const int64_t off = signedOffsets ? int64_t(int32_t(raw)) : int64_t(raw);
                for (uint32_t k = 0; k < r.Be(s + 8 + 8 * i, 4); ++k)
                    info.compositionOffsets.push_back(off);
            }
        } else if (t == "co64") {
            info.co64 = true;
        } else if ((t == "sgpd" || t == "sbgp") && r.Has(s, 8) && r.Bytes(s + 4, 4) == "rap ") {
            (t == "sgpd" ? rapDescriptions : rapSamples) = s;
        }
    });
    ReadHvcC(info);
    ReadRandomAccessGroup(r, rapDescriptions, rapSamples, info);
}

}  // namespace

Mp4Info ReadMp4Info(const QString& path) {
    Mp4Info info;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        info.error = QStringLiteral("cannot open ") + path;
        return info;
    }
    // Find the movie box among the top-level boxes without reading the media data.
    QByteArray moov;
    int64_t at = 0;
    const int64_t fileSize = f.size();
    while (at + 8 <= fileSize) {
        f.seek(at);
        const QByteArray head = f.read(16);
        if (head.size() < 8) break;
        BoxReader hr(head);
        uint64_t size = hr.Be(0, 4);
        int headLen = 8;
        if (size == 1 && head.size() >= 16) {
            size = hr.Be(8, 8);
            headLen = 16;
        } else if (size == 0) {
            size = uint64_t(fileSize - at);
        }
        if (size < uint64_t(headLen)) break;
        if (head.mid(4, 4) == "ftyp" && size <= 4096) {
            f.seek(at + 8);
            const QByteArray body = f.read(qint64(size) - 8);
            for (int i = 0; i + 4 <= body.size(); i += 4)
                if (i != 4) info.brands.push_back(body.mid(i, 4));  // 4: minor version
        }
        if (head.mid(4, 4) == "mdat") info.mdatFirst = true;
        if (head.mid(4, 4) == "moov") {
            f.seek(at);
            moov = f.read(qint64(size));
            break;
        }
        at += int64_t(size);
    }
    if (moov.isEmpty()) {
        info.error = QStringLiteral("no moov box in ") + path;
        return info;
    }
    BoxReader r(moov);
    r.Each(8, moov.size(), [&](const QByteArray& t, int64_t s, int64_t e) {
        if (t == "mvhd" && r.Has(s, 24)) {
            info.movieTimeScale = uint32_t(r.Be(s + (r.Be(s, 1) == 1 ? 20 : 12), 4));
        } else if (t == "iods") {
            info.hasIods = true;
            // Version/flags, then the descriptor: tag 0x10, size (possibly 4 bytes), 2 bytes of
            // id and flags, then OD, scene, audio, video, graphics profile levels.
            int64_t p = s + 5;
            while (r.Has(p, 1) && (r.Be(p, 1) & 0x80)) ++p;
            if (r.Has(p + 1 + 2 + 3, 1)) info.iodsVideoProfile = int(r.Be(p + 1 + 2 + 3, 1));
        } else if (t == "trak") {
            r.Each(s, e, [&](const QByteArray& t1, int64_t s1, int64_t e1) {
                if (t1 == "tkhd" && r.Has(s1, 84)) {
                    const int64_t wh = s1 + (r.Be(s1, 1) == 1 ? 88 : 76);
                    if (r.Has(wh, 8)) {
                        info.tkhdWidth = double(r.Be(wh, 4)) / 65536.0;
                        info.tkhdHeight = double(r.Be(wh + 4, 4)) / 65536.0;
                    }
                } else if (t1 == "edts") {
                    r.Each(s1, e1, [&](const QByteArray& t2, int64_t s2, int64_t) {
                        if (t2 != "elst" || !r.Has(s2, 16)) return;
                        const bool v1 = r.Be(s2, 1) == 1;
                        const uint32_t n = uint32_t(r.Be(s2 + 4, 4));
                        for (uint32_t i = 0; i < n; ++i) {
                            const int64_t entry = s2 + 8 + int64_t(i) * (v1 ? 20 : 12);
                            if (!r.Has(entry, v1 ? 20 : 12)) break;
                            Mp4Info::Edit edit;
                            edit.duration = r.Be(entry, v1 ? 8 : 4);
                            edit.mediaTime = v1 ? int64_t(r.Be(entry + 8, 8))
                                                : int64_t(int32_t(r.Be(entry + 4, 4)));
                            info.edits.push_back(edit);
                        }
                    });
                } else if (t1 == "mdia") {
                    r.Each(s1, e1, [&](const QByteArray& t2, int64_t s2, int64_t e2) {
                        if (t2 == "mdhd" && r.Has(s2, 24)) {
                            const bool v1 = r.Be(s2, 1) == 1;
                            info.trackTimeScale = uint32_t(r.Be(s2 + (v1 ? 20 : 12), 4));
                            info.trackDuration = v1 ? r.Be(s2 + 24, 8) : r.Be(s2 + 16, 4);
                        } else if (t2 == "minf") {
                            r.Each(s2, e2, [&](const QByteArray& t3, int64_t s3, int64_t e3) {
                                if (t3 == "stbl") ReadStbl(r, s3, e3, info);
                            });
                        }
                    });
                }
            });
        }
    });
    info.ok = info.trackTimeScale != 0;
    if (!info.ok) info.error = QStringLiteral("no track in ") + path;
    return info;
}
