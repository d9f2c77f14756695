// The tests' ground truth: decoding through libavformat and libavcodec, and a reader of the MP4
// boxes that tell what a player is told (track size, time scales, sync samples, offsets).
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

struct DecodedPicture {
    QByteArray hash;  // MD5 of the picture's planes
    int64_t pts = 0;  // presentation time in the stream's time base (raw streams: none, 0)
};

struct DemuxedPacket {
    int size = 0;
    int64_t dts = 0;
    int64_t pts = 0;
    int64_t duration = 0;
    bool key = false;
};

struct DecodeResult {
    bool ok = false;
    QString error;
    QVector<DecodedPicture> pictures;  // in the decoder's output order
    QVector<DemuxedPacket> packets;    // in file order
    int width = 0;                     // as libavformat reports the stream
    int height = 0;
    int timeBaseNum = 0, timeBaseDen = 1;
    int frameRateNum = 0, frameRateDen = 1;  // r_frame_rate
    int64_t duration = 0;                    // stream duration in its time base
};

// Decodes every picture of a raw H.264 or H.265 stream or of an MP4 file's video track.
DecodeResult DecodeFile(const QString& path);
// The hashes of DecodeFile's pictures in output order; empty when the file cannot be decoded.
QVector<QByteArray> DecodePictureHashes(const QString& path);
QVector<QByteArray> PictureHashes(const DecodeResult& r);

// A second, independent reader: plays an MP4 file through GStreamer (qtdemux, then h264parse and
// avdec_h264 or h265parse and avdec_h265, as most Linux desktop players do) in a separate
// process. The pictures' hashes are taken as DecodeFile takes them, in output order; their pts is
// the stream time in ns, after the edit list. Only pictures and the error are filled in.
DecodeResult DecodeWithGStreamer(const QString& path);

struct Mp4Info {
    bool ok = false;
    QString error;
    uint32_t movieTimeScale = 0;
    uint32_t trackTimeScale = 0;
    uint64_t trackDuration = 0;  // mdhd, in track ticks
    double tkhdWidth = 0, tkhdHeight = 0;
    QVector<QByteArray> brands;              // ftyp: the major brand, then the compatible ones
    QByteArray sampleEntry;                  // the sample entry's type: avc1, hvc1, hev1
    uint16_t avc1Width = 0, avc1Height = 0;  // the (visual) sample entry's size, whatever its type
    QByteArray avcC;
    bool mdatFirst = false;               // the media data ahead of the movie box
    QByteArray colr, mdcv, clli, btrt;    // the sample entry's boxes without their headers
    uint32_t sampleCount = 0;             // stsz
    QVector<uint32_t> sampleSizes;        // stsz, when it gives one size a sample
    bool hasStss = false;                 // absent: every sample is sync
    QVector<uint32_t> syncSamples;        // stss, 1-based
    QVector<uint32_t> sttsDeltas;         // stts expanded per sample
    QVector<int64_t> compositionOffsets;  // ctts expanded per sample (empty when absent)
    bool hasCtts = false;
    bool co64 = false;  // 64-bit chunk offsets
    struct Edit {
        uint64_t duration = 0;  // in the movie's time scale
        int64_t mediaTime = 0;  // in the track's; -1 for an empty edit
    };
    QVector<Edit> edits;                            // elst
    uint32_t paspH = 0, paspV = 0;                  // pasp of the sample entry; 0 without one
    QVector<QByteArray> avcCSps, avcCPps;           // the parameter sets the avcC holds
    QByteArray hvcC;                                // the HEVCDecoderConfigurationRecord
    QVector<QByteArray> hvcCVps, hvcCSps, hvcCPps;  // the parameter sets its arrays hold
    QVector<int> hvcCArrayTypes;                    // NAL_unit_type of each array, in order
    QVector<bool> hvcCArrayComplete;                // array_completeness of each array
    QVector<uint32_t> rapSamples;  // the 'rap ' sample group's members (sbgp, sgpd), 1-based
    QVector<int> rapLeading;       // their num_leading_samples; -1 when not known
    bool hasIods = false;
    int iodsVideoProfile = -1;
};

// Reads the movie box of an MP4 file (with one video track) without decoding anything.
Mp4Info ReadMp4Info(const QString& path);

// The samples of an MP4 file's video track (or the packets of a raw stream), bytes as stored;
// with `ignoreEditList` also those that the edit list keeps from being shown.
QVector<QByteArray> ReadSamples(const QString& path, bool ignoreEditList = false);

// Reads a whole (small) file.
QByteArray ReadFileBytes(const QString& path);
