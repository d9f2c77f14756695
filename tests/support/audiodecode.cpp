#include "support/audiodecode.h"

#include <QCryptographicHash>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/samplefmt.h>
}

namespace {

// Appends a decoded frame's samples, interleaving planar formats.
void Append(const AVFrame* f, DecodedAudio& out) {
    const AVSampleFormat fmt = AVSampleFormat(f->format);
    const int bytes = av_get_bytes_per_sample(fmt);
    const int channels = f->ch_layout.nb_channels;
    out.sampleFormat = QString::fromLatin1(av_get_sample_fmt_name(av_get_packed_sample_fmt(fmt)));
    out.sampleRate = f->sample_rate;
    out.channels = channels;
    out.sampleTimes += f->nb_samples;
    if (!av_sample_fmt_is_planar(fmt)) {
        out.samples.append(reinterpret_cast<const char*>(f->extended_data[0]),
                           f->nb_samples * channels * bytes);
        return;
    }
    const int at = out.samples.size();
    out.samples.resize(at + f->nb_samples * channels * bytes);
    char* dst = out.samples.data() + at;
    for (int i = 0; i < f->nb_samples; ++i)
        for (int c = 0; c < channels; ++c, dst += bytes)
            memcpy(dst, f->extended_data[c] + i * bytes, size_t(bytes));
}

void Drain(AVCodecContext* dec, AVFrame* frame, DecodedAudio& out) {
    while (avcodec_receive_frame(dec, frame) == 0) {
        Append(frame, out);
        av_frame_unref(frame);
    }
}

bool Send(AVCodecContext* dec, const AVPacket* pkt, AVFrame* frame, DecodedAudio& out) {
    int r = avcodec_send_packet(dec, pkt);
    if (r == AVERROR(EAGAIN)) {
        Drain(dec, frame, out);
        r = avcodec_send_packet(dec, pkt);
    }
    Drain(dec, frame, out);
    return r >= 0 || r == AVERROR_EOF;
}

AVCodecID CodecOf(const AudioSampleEntry& e) {
    using K = AudioSampleEntry::Kind;
    switch (e.kind) {
        case K::kAac:
            return AV_CODEC_ID_AAC;
        case K::kMp3:
            return AV_CODEC_ID_MP3;
        case K::kALaw:
            return AV_CODEC_ID_PCM_ALAW;
        case K::kULaw:
            return AV_CODEC_ID_PCM_MULAW;
        case K::kPcm:
            break;
    }
    if (e.floatingPoint) {
        if (e.bitsPerSample == 32)
            return e.bigEndian ? AV_CODEC_ID_PCM_F32BE : AV_CODEC_ID_PCM_F32LE;
        if (e.bitsPerSample == 64)
            return e.bigEndian ? AV_CODEC_ID_PCM_F64BE : AV_CODEC_ID_PCM_F64LE;
        return AV_CODEC_ID_NONE;
    }
    switch (e.bitsPerSample) {
        case 8:
            return e.unsignedSamples ? AV_CODEC_ID_PCM_U8 : AV_CODEC_ID_PCM_S8;
        case 16:
            return e.bigEndian ? AV_CODEC_ID_PCM_S16BE : AV_CODEC_ID_PCM_S16LE;
        case 24:
            return e.bigEndian ? AV_CODEC_ID_PCM_S24BE : AV_CODEC_ID_PCM_S24LE;
        case 32:
            return e.bigEndian ? AV_CODEC_ID_PCM_S32BE : AV_CODEC_ID_PCM_S32LE;
    }
    return AV_CODEC_ID_NONE;
}

}  // namespace

QByteArray DecodedAudio::Md5() const {
    return QCryptographicHash::hash(samples, QCryptographicHash::Md5).toHex();
}

DecodedAudio DecodeAudioFile(const QString& path, const char* rawFormat, int rate, int channels) {
    DecodedAudio out;
    AVFormatContext* fmt = nullptr;
    AVDictionary* opts = nullptr;
    if (rate) av_dict_set_int(&opts, "sample_rate", rate, 0);
    if (channels == 1 || channels == 2)
        av_dict_set(&opts, "ch_layout", channels == 1 ? "mono" : "stereo", 0);
    else if (channels)
        av_dict_set_int(&opts, "channels", channels, 0);
    const AVInputFormat* in = rawFormat ? av_find_input_format(rawFormat) : nullptr;
    const int r = avformat_open_input(&fmt, path.toUtf8().constData(), in, &opts);
    av_dict_free(&opts);
    if (r < 0) {
        out.error = QStringLiteral("cannot open ") + path;
        return out;
    }
    AVCodecContext* dec = nullptr;
    int index = -1;
    if (avformat_find_stream_info(fmt, nullptr) >= 0)
        index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index >= 0) {
        const AVCodecParameters* par = fmt->streams[index]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        dec = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (dec && avcodec_parameters_to_context(dec, par) >= 0) {
            dec->thread_count = 1;
            dec->pkt_timebase = fmt->streams[index]->time_base;
            out.ok = avcodec_open2(dec, codec, nullptr) >= 0;
        }
    }
    if (!out.ok) out.error = QStringLiteral("no decodable sound in ") + path;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (out.ok && av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == index && !Send(dec, pkt, frame, out)) {
            out.ok = false;
            out.error = QStringLiteral("cannot decode the sound of ") + path;
        }
        av_packet_unref(pkt);
    }
    if (out.ok) Send(dec, nullptr, frame, out);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    return out;
}

DecodedAudio DecodeAudioSamples(const AudioSampleEntry& entry, const QVector<QByteArray>& samples) {
    DecodedAudio out;
    const AVCodec* codec = avcodec_find_decoder(CodecOf(entry));
    AVCodecContext* dec = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!dec) {
        out.error = QStringLiteral("no decoder for this sample entry");
        return out;
    }
    dec->thread_count = 1;
    dec->sample_rate = int(entry.sampleRate);
    av_channel_layout_default(&dec->ch_layout, entry.channels);
    if (!entry.decoderSpecificInfo.empty()) {
        const size_t n = entry.decoderSpecificInfo.size();
        dec->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        memcpy(dec->extradata, entry.decoderSpecificInfo.data(), n);
        dec->extradata_size = int(n);
    }
    out.ok = avcodec_open2(dec, codec, nullptr) >= 0;
    if (!out.ok) out.error = QStringLiteral("the decoder does not open with this sample entry");
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (const QByteArray& s : samples) {
        if (!out.ok) break;
        if (av_new_packet(pkt, int(s.size())) < 0) break;
        memcpy(pkt->data, s.constData(), size_t(s.size()));
        if (!Send(dec, pkt, frame, out)) {
            out.ok = false;
            out.error = QStringLiteral("a sample does not decode");
        }
        av_packet_unref(pkt);
    }
    if (out.ok) Send(dec, nullptr, frame, out);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    return out;
}
