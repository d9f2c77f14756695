#include "convert/converter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "convert/accessunit.h"
#include "convert/nalunit.h"
#include "convert/partfile.h"
#include "convert/streamfile.h"
#include "convert/timeline.h"
#include "convert/timing.h"
#include "convert/trackformat.h"
#include "h264/sps.h"
#include "h265/sps.h"
#include "h265/vps.h"
#include "mp4/mp4check.h"

namespace {

constexpr uint32_t kReadSize = 1u << 20;          // bytes per read
constexpr uint32_t kMaxNalUnit = 256u << 20;      // the largest NAL unit taken
constexpr uint32_t kMaxBuffer = kMaxNalUnit + 8;  // a unit, its start code and the next one's
constexpr uint32_t kMaxParameterSet = 65535;      // avcC stores 16-bit lengths
constexpr int32_t kFallbackWidth = 1920;
constexpr int32_t kFallbackHeight = 1080;
constexpr uint8_t kVideoProfileLevel = 127;
// Units kept while the codec is not yet known, at most.
constexpr size_t kMaxEarlyUnits = 1024;
constexpr size_t kMaxEarlyBytes = 4u << 20;
// How long a read of a stream waits before it looks whether a signal asked to stop.
constexpr int kStreamWaitMs = 200;
// Changes of the pictures' size told one by one, at most.
constexpr uint32_t kMaxSizeWarnings = 10;

// What the H.265 decoder configuration takes from the parsed SPS.
Mp4HevcFields H265Fields(const NalUnit& nal) {
    H265SpsInfo sps{};
    Mp4HevcFields f;
    if (!ParseH265Sps(nal.data, PayloadLength(nal), &sps)) return f;
    f.chromaFormatIdc = uint8_t(sps.chroma_format_idc);
    f.bitDepthLumaMinus8 = uint8_t(sps.bit_depth_luma_minus8);
    f.bitDepthChromaMinus8 = uint8_t(sps.bit_depth_chroma_minus8);
    f.minSpatialSegmentationIdc = uint16_t(sps.min_spatial_segmentation_idc);
    f.numTemporalLayers = uint8_t(sps.sps_max_sub_layers_minus1 + 1);
    f.temporalIdNested = sps.sps_temporal_id_nesting_flag != 0;
    return f;
}

QString ErrnoText(int err) {
    return QString::fromLocal8Bit(strerror(err));
}

// The path as the user's text, for messages.
QString Shown(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// A file descriptor closed when it goes out of scope.
struct OwnedFd {
    int fd = -1;
    ~OwnedFd() {
        if (fd >= 0) close(fd);
    }
};

// A file being written that is thrown away unless handed on.
struct Mp4Guard {
    MP4FileHandle h = MP4_INVALID_FILE_HANDLE;
    ~Mp4Guard() {
        if (h != MP4_INVALID_FILE_HANDLE) MP4Discard(h);
    }
    MP4FileHandle Release() {
        MP4FileHandle r = h;
        h = MP4_INVALID_FILE_HANDLE;
        return r;
    }
};

// Opens the input for reading: a file, or a pipe, FIFO or socket read as it comes (*stream
// true); "-" is standard input. A terminal or /dev/zero never ends and a directory is no stream,
// so those are refused (errno ENODEV stands for "not a file", ENOTTY for a terminal on standard
// input). The open itself does not wait for a FIFO's writer; the reads do.
int OpenInput(const char* path, bool* stream, int* err) {
    const bool standard = strcmp(path, "-") == 0;
    if (standard && isatty(STDIN_FILENO)) {
        *err = ENOTTY;
        return -1;
    }
    const int fd = standard ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                            : open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || flags < 0) {
        *err = errno;
    } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        // The read loop waits in poll(), where a signal ends a recording, and reads only what
        // poll() reports. A FIFO opened here stays non-blocking (poll() waits for its writer);
        // standard input keeps the flags it shares with others.
        *stream = true;
        if (standard || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) return fd;
        *err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        *err = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    } else if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *err = errno;
    } else {
        *stream = false;
        return fd;
    }
    close(fd);
    return -1;
}
}  // namespace

Converter::Converter() = default;
Converter::~Converter() = default;

void Converter::Fail(const QString& reason) {
    if (!failed) lastError = reason;
    failed = true;
}

void Converter::SetProgressHook(std::function<bool(uint64_t, uint64_t)> hook) {
    progress = std::move(hook);
}

void Converter::SetFragmentSeconds(double seconds) {
    fragmentMillis = seconds < 0 ? -1 : int64_t(std::min(seconds, 86400.0) * 1000 + 0.5);
    if (seconds > 0 && fragmentMillis == 0) fragmentMillis = 1;
}

void Converter::SetStopFlag(const volatile sig_atomic_t* flag) {
    stopFlag = flag;
}

uint64_t Converter::PicturesSoFar() const {
    return writer ? writer->PresentedPictures() : 0;
}

double Converter::SecondsSoFar() const {
    return writer && trackTimeScale
               ? double(writer->Times().TimeAt(PicturesSoFar())) / trackTimeScale
               : 0;
}

void Converter::SetTimestampFile(const std::string& path) {
    timestampPath = path;
}

void Converter::SetFrameRateOverride(uint32_t num, uint32_t den) {
    overrideNum = num;
    overrideDen = den;
}

MP4FileHandle Converter::CreateMp4File(const char* path, int32_t width, int32_t height) {
    if (!path) return MP4_INVALID_FILE_HANDLE;
    return StartMp4File(MP4Create(path, 0), width, height);
}

MP4FileHandle Converter::StartMp4File(MP4FileHandle h, int32_t width, int32_t height) {
    if (h == MP4_INVALID_FILE_HANDLE) {
        const int err = errno;  // the debug output may change it; the caller reports it
        qDebug("ERROR:Open file fialed.\n");
        errno = err;
        return MP4_INVALID_FILE_HANDLE;
    }
    videoWidth = width;
    videoHeight = height;
    timeScale = 90000;
    frameRate = 25;
    videoTrackId = 0;
    probe = StreamProbe();
    firstSignal = SignalType();
    signalChanged = false;
    hdr = HdrMetadata();
    mdcvGiven = clliGiven = false;
    writer.reset();
    early.clear();
    earlyBytes = 0;
    MP4SetTimeScale(h, uint32_t(timeScale));
    // Set at the start: the writer knows from the first byte whether its media data will move.
    MP4SetFastStart(h, fastStart);
    return h;
}

int32_t Converter::WriteNalUnits(MP4FileHandle hMp4File, const uint8_t* buffer, uint32_t end) {
    if (hMp4File == MP4_INVALID_FILE_HANDLE || !buffer) return -1;
    uint32_t pos = 0;
    NalUnit nalu;
    for (;;) {
        const int32_t r = FindNextNalUnit(buffer, end, pos, &nalu);
        if (r == 0) return int32_t(pos);
        if (!TakeUnit(hMp4File, nalu)) return 0;
        pos += uint32_t(r);
    }
}

bool Converter::TakeUnit(MP4FileHandle hMp4File, const NalUnit& nalu) {
    if (nalu.length <= 0) return true;  // a start code right behind another: no unit
    if (videoTrackId == 0) {
        const bool known = writer != nullptr;
        probe.Take(nalu);
        if (!known && probe.StreamCodec() != Codec::Unknown && !StartWriter(hMp4File)) return false;
    }
    const Codec codec = probe.StreamCodec();
    const uint32_t length = PayloadLength(nalu);
    if (length > kMaxParameterSet && IsParameterSetUnit(codec, nalu)) {
        qDebug("ERROR:parameter set of %u bytes", length);
        Fail(QStringLiteral("a parameter set of %1 bytes is larger than %2 bytes")
                 .arg(length)
                 .arg(kMaxParameterSet));
        return false;
    }
    if (codec == Codec::Unknown) {
        // Until a parameter set tells the codec, the latest units are kept for it.
        early.push_back({nalu.type, std::vector<uint8_t>(nalu.data, nalu.data + length)});
        earlyBytes += length;
        while (early.size() > kMaxEarlyUnits || earlyBytes > kMaxEarlyBytes) {
            earlyBytes -= early.front().bytes.size();
            early.pop_front();
        }
        return true;
    }
    if (videoTrackId == 0) {
        if (IsTrackSps(codec, nalu) && !AddVideoTrack(hMp4File, nalu)) return false;
    } else if (IsSpsUnit(codec, nalu)) {
        CheckLaterSps(nalu);
    }
    hdr.Take(codec, nalu);
    // As soon as found: a fragmented file's moov goes out with its first fragment.
    GiveHdrMetadata(hMp4File);
    if (!writer->Add(nalu)) {
        Fail(writer->Failure().empty() ? WriteFailure(hMp4File)
                                       : QString::fromStdString(writer->Failure()));
        return false;
    }
    return true;
}

// The codec is known: its writer takes the units kept so far, then the rest.
bool Converter::StartWriter(MP4FileHandle hMp4File) {
    writer = std::make_unique<AccessUnitWriter>(hMp4File, MakePictureReader(probe.StreamCodec()));
    std::deque<EarlyUnit> kept;
    kept.swap(early);
    earlyBytes = 0;
    for (const EarlyUnit& u : kept) {
        const NalUnit nal{u.type, int32_t(u.bytes.size()), 4, u.bytes.data()};
        if (!TakeUnit(hMp4File, nal)) return false;
    }
    return true;
}

bool Converter::AddVideoTrack(MP4FileHandle hMp4File, const NalUnit& sps) {
    const TrackFormat format = probe.FormatOf(sps);
    uint32_t fpsNum = format.fpsNum, fpsDen = format.fpsDen;
    if (format.parsed) {
        videoWidth = int32_t(format.width);
        videoHeight = int32_t(format.height);
    } else {
        videoWidth = kFallbackWidth;
        videoHeight = kFallbackHeight;
    }
    if (overrideNum) {
        fpsNum = overrideNum;
        fpsDen = overrideDen;
    }
    if (!fpsNum) {
        fpsNum = uint32_t(frameRate);  // no timing information: the default rate
        fpsDen = 1;
        summary.rateAssumed = true;
    }
    const TrackTiming timing = ChooseTrackTiming(fpsNum, fpsDen);
    frameRate = int32_t((fpsNum + fpsDen / 2) / fpsDen);
    trackTimeScale = timing.timeScale;
    frameDuration = timing.frameDuration;
    framesPerSecond = double(fpsNum) / double(fpsDen);
    Timeline timeline = MakeTimeline(fpsNum, fpsDen);
    if (probe.StreamCodec() == Codec::H265) {
        videoTrackId =
            int32_t(MP4AddH265VideoTrack(hMp4File, trackTimeScale, frameDuration,
                                         uint16_t(videoWidth), uint16_t(videoHeight), 3));
        if (videoTrackId) MP4SetH265Fields(hMp4File, MP4TrackId(videoTrackId), H265Fields(sps));
    } else {
        videoTrackId = int32_t(MP4AddH264VideoTrack(hMp4File, trackTimeScale, frameDuration,
                                                    uint16_t(videoWidth), uint16_t(videoHeight),
                                                    sps.data[1], sps.data[2], sps.data[3], 3));
    }
    MP4SetVideoProfileLevel(hMp4File, kVideoProfileLevel);
    if (videoTrackId == 0) {
        qDebug("add video track failed.\n");
        Fail(QStringLiteral("cannot add the video track"));
        return false;
    }
    // Pictures whose samples are not square are shown at their displayed width.
    if (format.sarWidth && format.sarHeight && format.sarWidth != format.sarHeight)
        MP4AddPixelAspectRatio(hMp4File, MP4TrackId(videoTrackId), format.sarWidth,
                               format.sarHeight);
    firstSignal = format.signal;
    lastSps.assign(sps.data, sps.data + PayloadLength(sps));
    lastWidth = uint32_t(videoWidth);
    lastHeight = uint32_t(videoHeight);
    sizeChanges = 0;
    if (firstSignal.present)
        MP4SetColour(hMp4File, MP4TrackId(videoTrackId), firstSignal.colourPrimaries,
                     firstSignal.transferCharacteristics, firstSignal.matrixCoefficients,
                     firstSignal.fullRange);
    writer->SetTrack(MP4TrackId(videoTrackId), std::move(timeline));
    if (fragmentMillis > 0 || (fragmentMillis < 0 && streamInput)) {
        const int64_t ms = fragmentMillis > 0 ? fragmentMillis : 1000;
        writer->SetFragments(std::max<MP4Duration>(1, MP4Duration(ms) * trackTimeScale / 1000));
    }
    return true;
}

// One sample entry describes the whole track, with the first SPS's size and colours: a later SPS
// that says other colours is told once, each change of the pictures' size with its time.
void Converter::CheckLaterSps(const NalUnit& sps) {
    // Streams repeat their SPS at every IDR picture: the same bytes say the same again.
    const uint32_t length = PayloadLength(sps);
    if (length == lastSps.size() && std::equal(sps.data, sps.data + length, lastSps.begin()))
        return;
    lastSps.assign(sps.data, sps.data + length);
    const TrackFormat format = probe.FormatOf(sps);
    if (!format.parsed) return;
    if (format.width != lastWidth || format.height != lastHeight) {
        lastWidth = format.width;
        lastHeight = format.height;
        // A stream that switches at every group of pictures is told of a few times.
        if (++sizeChanges <= kMaxSizeWarnings)
            warnings << QStringLiteral(
                            "at %1 s the pictures change size to %2x%3; the track header gives "
                            "the first size, %4x%5")
                            .arg(SecondsSoFar(), 0, 'f', 3)
                            .arg(format.width)
                            .arg(format.height)
                            .arg(videoWidth)
                            .arg(videoHeight);
    }
    if (signalChanged || format.signal == firstSignal) return;
    signalChanged = true;
    const auto describe = [](const SignalType& t) {
        if (!t.present) return QStringLiteral("none");
        return QStringLiteral("primaries %1, transfer %2, matrix %3, %4 range")
            .arg(t.colourPrimaries)
            .arg(t.transferCharacteristics)
            .arg(t.matrixCoefficients)
            .arg(t.fullRange ? QStringLiteral("full") : QStringLiteral("limited"));
    };
    warnings << QStringLiteral(
                    "a later sequence parameter set changes the colour description (%1 instead "
                    "of %2); the file gives the first one's")
                    .arg(describe(format.signal), describe(firstSignal));
}

// The pictures' times: a timestamp file's, or each coded video sequence at its own rate unless
// one was given. The track's time scale holds every time of a file to the microsecond: 90 kHz
// when each is a whole number of its ticks, else 1 MHz. Sets the track's time scale and the
// duration its chunks are sized by.
Timeline Converter::MakeTimeline(uint32_t fpsNum, uint32_t fpsDen) {
    Timeline timeline;
    const auto exact90k = [](uint32_t num, uint32_t den) {
        return (uint64_t(90000) * den) % num == 0;
    };
    if (timestamps.Version() == 2) {
        std::vector<uint64_t> times = timestamps.TakeTimes();
        const bool whole =
            std::all_of(times.begin(), times.end(), [](uint64_t us) { return us % 100 == 0; });
        trackTimeScale = whole ? 90000 : 1000000;
        for (uint64_t& t : times) t = whole ? t / 100 * 9 : t;
        const uint64_t fallback =
            std::max<uint64_t>(1, (uint64_t(trackTimeScale) * fpsDen + fpsNum / 2) / fpsNum);
        frameDuration = uint32_t(
            std::min<uint64_t>(times.size() >= 2 ? times[1] - times[0] : fallback, UINT32_MAX));
        timeline.StartWithTimes(trackTimeScale, std::move(times), fallback);
    } else if (timestamps.Version() == 1) {
        const uint32_t num = timestamps.AssumedNum(), den = timestamps.AssumedDen();
        bool whole = exact90k(num, den);
        for (const TimestampFile::Range& r : timestamps.Ranges())
            whole = whole && exact90k(r.fpsNum, r.fpsDen);
        trackTimeScale = whole ? 90000 : 1000000;
        frameDuration = uint32_t(std::max<uint64_t>(1, uint64_t(trackTimeScale) * den / num));
        framesPerSecond = double(num) / double(den);
        timeline.StartAtRate(trackTimeScale, num, den, true);
        const auto& ranges = timestamps.Ranges();
        for (size_t i = 0; i < ranges.size(); ++i) {
            timeline.PlanRate(ranges[i].first, ranges[i].fpsNum, ranges[i].fpsDen);
            const uint64_t after = ranges[i].last + 1;
            if (after != 0 && (i + 1 == ranges.size() || ranges[i + 1].first != after))
                timeline.PlanRate(after, num, den);
        }
    } else {
        timeline.StartAtRate(trackTimeScale, fpsNum, fpsDen, overrideNum != 0);
    }
    return timeline;
}

// The warning when a timestamp file's times are fewer or more than the pictures.
void Converter::CountTimes() {
    const uint64_t listed = writer->Times().ListedTimes();
    const uint64_t pictures = writer->Pictures();
    if (timestamps.Version() != 2 || listed == pictures) return;
    if (listed < pictures)
        warnings << QStringLiteral(
                        "%1 has %2 times for %3 pictures: the last %4 continue at the "
                        "last interval")
                        .arg(Shown(timestampPath))
                        .arg(listed)
                        .arg(pictures)
                        .arg(pictures - listed);
    else
        warnings << QStringLiteral("%1 has %2 times for %3 pictures: the last %4 are ignored")
                        .arg(Shown(timestampPath))
                        .arg(listed)
                        .arg(pictures)
                        .arg(listed - pictures);
}

// The mastering display and content light level found so far, each handed to the track once.
void Converter::GiveHdrMetadata(MP4FileHandle hMp4File) {
    if (!videoTrackId) return;
    const MP4TrackId track = MP4TrackId(videoTrackId);
    const std::vector<uint8_t>& mdcv = hdr.MasteringDisplay();
    const std::vector<uint8_t>& clli = hdr.ContentLightLevel();
    if (!mdcvGiven && !mdcv.empty())
        mdcvGiven = MP4SetMasteringDisplay(hMp4File, track, mdcv.data(), uint32_t(mdcv.size()));
    if (!clliGiven && !clli.empty())
        clliGiven = MP4SetContentLightLevel(hMp4File, track, clli.data(), uint32_t(clli.size()));
}

QString Converter::WriteFailure(MP4FileHandle hMp4File) const {
    return WriteFailure(MP4WriteError(hMp4File));
}

QString Converter::WriteFailure(int err) const {
    // A player or `head` that had enough closes the pipe: not the disk's fault.
    if (err == EPIPE && outputName == "-")
        return QStringLiteral("the reader of standard output went away after %1 pictures")
            .arg(writer ? writer->PicturesInFragments() : 0);
    return QStringLiteral("cannot write %1: %2")
        .arg(Shown(outputName), err ? ErrnoText(err) : QStringLiteral("error"));
}

bool Converter::CloseMp4File(MP4FileHandle hMp4File) {
    if (hMp4File == MP4_INVALID_FILE_HANDLE) return false;
    bool ok = true;
    bool finished = true;
    // The disk takes the media data while the track's tables are completed.
    MP4WriteBackNow(hMp4File);
    try {
        finished = !writer || writer->Finish();
    } catch (...) {
        MP4Discard(hMp4File);  // the handle is this call's to close
        throw;
    }
    if (!finished) {
        Fail(WriteFailure(hMp4File));
        ok = false;
    }
    GiveHdrMetadata(hMp4File);
    int err = 0;
    if (!MP4CloseChecked(hMp4File, 0, &err)) {
        Fail(WriteFailure(err));
        ok = false;
    }
    return ok;
}

void Converter::SetOtherNameHook(std::function<std::string(const std::string&)> hook) {
    otherName = std::move(hook);
}

// Asks the other-name hook for a path instead of the taken one; false when there is none, or
// when it is not in the same directory.
bool Converter::OtherName(const std::string& taken) {
    const std::string other = otherName ? otherName(taken) : std::string();
    std::string dir, name, otherDir, otherFile;
    SplitPath(taken, &dir, &name);
    SplitPath(other, &otherDir, &otherFile);
    if (other.empty() || other == taken || otherDir != dir || otherFile.empty()) return false;
    outputName = other;
    return true;
}

bool Converter::WriteH264File(const char* inputPath, QString outputPath) {
    return WriteH264File(inputPath, QFile::encodeName(outputPath).toStdString());
}

bool Converter::WriteH264File(const char* inputPath, const std::string& outputPath) {
    return WriteH264Files({inputPath ? std::string(inputPath) : std::string()}, outputPath);
}

bool Converter::WriteH264Files(const std::vector<std::string>& inputPaths, QString outputPath) {
    return WriteH264Files(inputPaths, QFile::encodeName(outputPath).toStdString());
}

bool Converter::WriteH264Files(const std::vector<std::string>& inputPaths,
                               const std::string& outputPath) {
    failed = false;
    cancelled = false;
    lastError.clear();
    warnings.clear();
    summary = ConversionSummary();
    trackTimeScale = 0;
    timestamps = TimestampFile();
    if (inputPaths.empty() || std::any_of(inputPaths.begin(), inputPaths.end(),
                                          [](const std::string& p) { return p.empty(); })) {
        Fail(QStringLiteral("no input file given"));
        return false;
    }
    if (outputPath.empty()) {
        Fail(QStringLiteral("no output file given"));
        return false;
    }
    outputName = outputPath;
    bool ok = false;
    try {
        ok = WriteOutput(inputPaths);
    } catch (const std::bad_alloc&) {
        // Whatever was being built is gone with the stack; the file with it.
        writer.reset();
        qDebug("ERROR:out of memory");
        Fail(QStringLiteral("out of memory"));
    }
    if (!ok) return false;
    summary.outputPath = Shown(outputName);
    if (summary.nothingRecorded) return true;

    summary.codec = probe.StreamCodec();
    summary.syncPictures = writer->SyncPictures();
    summary.skippedUnits = writer->SkippedUnits();
    summary.skippedBytes = writer->SkippedBytes();
    if (summary.fragments) {
        // The pictures ahead of the first decodable one are not in the fragments.
        summary.pictures = writer->PresentedPictures();
        summary.droppedPictures = writer->DroppedPictures();
    } else {
        summary.pictures = writer->Pictures();
        summary.hiddenPictures = writer->Pictures() - writer->PresentedPictures();
    }
    summary.durationSeconds = double(writer->PresentedTicks()) / trackTimeScale;
    summary.variableFrameRate = writer->Times().Variable();
    // A timestamp file's even intervals need not be the stream's rate.
    const bool measured = summary.variableFrameRate || timestamps.Version() != 0;
    summary.framesPerSecond = measured && summary.durationSeconds > 0
                                  ? double(writer->PresentedPictures()) / summary.durationSeconds
                                  : framesPerSecond;
    summary.width = videoWidth;
    summary.height = videoHeight;
    qDebug("## WriteH264File Complete!");
    qDebug("## WriteH264File End!  ");
    return true;
}

// Segments are joined as their bytes would be: a decoder sees one stream. Only a codec change
// cannot be joined that way.
bool Converter::SameCodec(const std::vector<std::string>& inputPaths) {
    Codec first = Codec::Unknown;
    size_t firstIndex = 0;
    for (size_t i = 0; i < inputPaths.size() && inputPaths.size() > 1; ++i) {
        const Codec c = StreamCodecOf(inputPaths[i].c_str());
        if (c == Codec::Unknown) continue;
        if (first == Codec::Unknown) {
            first = c;
            firstIndex = i;
        } else if (c != first) {
            const auto name = [](Codec k) {
                return k == Codec::H265 ? QStringLiteral("H.265") : QStringLiteral("H.264");
            };
            Fail(QStringLiteral("cannot join %1 (%2) and %3 (%4): segments of different codecs")
                     .arg(Shown(inputPaths[firstIndex]), name(first), Shown(inputPaths[i]),
                          name(c)));
            return false;
        }
    }
    return true;
}

bool Converter::WriteOutput(const std::vector<std::string>& inputPaths) {
    if (!timestampPath.empty() && !timestamps.Read(timestampPath)) {
        Fail(timestamps.Error());
        return false;
    }
    if (!SameCodec(inputPaths)) return false;
    // The first input first: whether it is a stream decides the kind of output.
    int inputErr = 0;
    OwnedFd in;
    streamInput = false;
    in.fd = OpenInput(inputPaths[0].c_str(), &streamInput, &inputErr);
    summary.streamInput = streamInput;
    const bool fragmented = fragmentMillis > 0 || (fragmentMillis < 0 && streamInput);
    // A recording has its final name from the start and keeps every complete fragment; the
    // fragmented file of a file is made as an unfragmented one is.
    recording = fragmented && streamInput;
    const bool toStandardOutput = outputName == "-";
    if (toStandardOutput && !fragmented) {
        Fail(QStringLiteral("only a fragmented MP4 file can be written to standard output"));
        return false;
    }
    // A character device named as such (/dev/null, /dev/full) is written in place: users and
    // tests measure the converter that way, and only root can make one, so nobody else can put
    // one under a name the user chose. Anything else already there, a link included, is never
    // written through or replaced.
    struct stat st;
    bool device = toStandardOutput;
    for (int tries = 0; !toStandardOutput; ++tries) {
        if (lstat(outputName.c_str(), &st) != 0) {
            const int err = errno;
            if (err == ENOENT) break;
            Fail(QStringLiteral("cannot create %1: %2").arg(Shown(outputName), ErrnoText(err)));
            return false;
        }
        if (S_ISCHR(st.st_mode)) {
            device = true;
            break;
        }
        if (tries >= 1000 || !OtherName(outputName)) {
            Fail(QStringLiteral("%1 already exists").arg(Shown(outputName)));
            return false;
        }
    }
    std::string dir, name;
    SplitPath(outputName, &dir, &name);
    OwnedFd dirFd;
    PartFile part;
    // A recording has its final name from the start, and is removed only when it holds no
    // fragment.
    std::string created;
    struct RemoveUnlessKept {
        int dir;
        const std::string* name;
        const std::unique_ptr<AccessUnitWriter>* writer;
        bool keep = false;
        ~RemoveUnlessKept() {
            const bool holdsFragments = *writer && (*writer)->FragmentsWritten() > 0;
            if (!keep && !holdsFragments && dir >= 0 && !name->empty())
                unlinkat(dir, name->c_str(), 0);
        }
    } createdGuard{-1, &created, &writer};
    int fd = -1;
    if (toStandardOutput) {
        fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    } else if (device) {
        fd = open(outputName.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))) {
            close(fd);
            Fail(QStringLiteral("%1 already exists").arg(Shown(outputName)));  // swapped since
            return false;
        }
    } else {
        dirFd.fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd.fd >= 0 && name.empty()) errno = EISDIR;
        if (dirFd.fd >= 0 && !name.empty() && !recording && part.Create(dirFd.fd, name))
            fd = fcntl(part.Fd(), F_DUPFD_CLOEXEC, 0);
        for (int tries = 0; dirFd.fd >= 0 && !name.empty() && recording; ++tries) {
            fd = openat(dirFd.fd, name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
            if (fd >= 0) {
                created = name;
                createdGuard.dir = dirFd.fd;
                // The name reaches the disk with the first fragment's data.
                if (fsync(dirFd.fd) != 0 && errno != EINVAL) {
                    const int err = errno;
                    close(fd);
                    fd = -1;
                    errno = err;
                }
                break;
            }
            if (errno != EEXIST || tries >= 1000 || !OtherName(outputName)) break;
            SplitPath(outputName, &dir, &name);
        }
    }
    if (fd < 0) {
        const int err = errno;
        qDebug("ERROR:Create file failed!");
        Fail(err == EEXIST && recording
                 ? QStringLiteral("%1 already exists").arg(Shown(outputName))
                 : QStringLiteral("cannot create %1: %2").arg(Shown(outputName), ErrnoText(err)));
        return false;
    }
    Mp4Guard h;
    // Each takes the descriptor over; only running out of memory fails it.
    // Standard output gets each fragment as it is whole, whoever reads it.
    h.h = fragmented ? MP4CreateFragmentedFd(fd, !device, recording && !device,
                                             recording || toStandardOutput)
                     : MP4CreateFd(fd);
    StartMp4File(h.h, kFallbackWidth, kFallbackHeight);
    bytesBefore = bytesAfter = 0;
    for (size_t i = 1; i < inputPaths.size(); ++i)
        if (stat(inputPaths[i].c_str(), &st) == 0) bytesAfter += uint64_t(st.st_size);
    for (size_t i = 0; i < inputPaths.size() && !failed; ++i) {
        const char* inputPath = inputPaths[i].c_str();
        if (i > 0) {
            bool stream = false;
            in.fd = OpenInput(inputPath, &stream, &inputErr);
            streamInput = stream;
        }
        if (in.fd < 0) {
            qDebug("ERROR:open file failed!");
            Fail(inputErr == ENOTTY
                     ? QStringLiteral("standard input is a terminal")
                     : QStringLiteral("cannot open %1: %2")
                           .arg(QString::fromLocal8Bit(inputPath),
                                inputErr == ENODEV ? QStringLiteral("not a regular file")
                                                   : ErrnoText(inputErr)));
            return false;
        }
        if (i > 0 && stat(inputPath, &st) == 0)
            bytesAfter -= std::min<uint64_t>(bytesAfter, uint64_t(st.st_size));
        const uint64_t slicesBefore = writer ? writer->Slices() : 0;
        const size_t earlyBefore = early.size();
        ReadAll(in.fd, h.h, inputPath);
        close(in.fd);
        in.fd = -1;
        if (summary.stopSignal) break;  // the recording ends here
        // A segment without a picture is not part of the recording: a wrong file in the list.
        const bool pictures =
            writer ? writer->Slices() != slicesBefore : early.size() != earlyBefore;
        if (inputPaths.size() > 1 && !failed && !pictures)
            Fail(QStringLiteral("cannot join %1: not an H.264 or H.265 stream, no coded pictures")
                     .arg(QString::fromLocal8Bit(inputPath)));
    }
    if (recording && summary.stopSignal && !failed && !(writer && writer->HasSamples())) {
        // Stopped before the first picture came: nothing to keep, and nothing went wrong.
        summary.nothingRecorded = true;
        return true;  // the file goes with its guard, unwritten
    }
    if (!failed && videoTrackId == 0)
        Fail(probe.StreamCodec() == Codec::Unknown
                 ? QStringLiteral("not an H.264 or H.265 stream: no sequence parameter set")
                 : QStringLiteral("input has no usable sequence parameter set"));
    if (recording && failed) {
        // What is in complete fragments stays, whatever failed after them.
        const uint64_t fragments = writer ? writer->FragmentsWritten() : 0;
        if (fragments > 0 && !device)
            lastError += QStringLiteral("; %1 keeps the %2 fragments written before")
                             .arg(Shown(outputName))
                             .arg(fragments);
        return false;
    }
    const bool closed = CloseMp4File(h.Release());
    if (closed && !failed && (fragmented ? writer->PresentedPictures() : writer->Pictures()) == 0)
        Fail(QStringLiteral("input has no coded pictures"));
    if (fragmented && writer) summary.fragments = writer->FragmentsWritten();
    if (!failed) {
        CountTimes();
        if (sizeChanges > kMaxSizeWarnings)
            warnings << QStringLiteral("the pictures change size %1 more times")
                            .arg(sizeChanges - kMaxSizeWarnings);
        if (writer && writer->SkippedUnits())
            warnings << QStringLiteral(
                            "skipped %1 bytes in %2 NAL units that no decoder can use (an invalid "
                            "unit header, or a slice or parameter set that does not parse)")
                            .arg(writer->SkippedBytes())
                            .arg(writer->SkippedUnits());
    }
    if (recording) {
        createdGuard.keep = !failed;
        return !failed;
    }
    for (int tries = 0; !failed && !device; ++tries) {
        SplitPath(outputName, &dir, &name);
        const int err = part.Commit(name);
        if (err == EEXIST && tries < 1000 && OtherName(outputName)) continue;  // taken meanwhile
        if (err)
            Fail(
                err == EEXIST
                    ? QStringLiteral("%1 already exists").arg(Shown(outputName))
                    : QStringLiteral("cannot write %1: %2").arg(Shown(outputName), ErrnoText(err)));
        break;
    }
    return !failed;  // the unfinished file goes with `part`
}

void Converter::ReadAll(int fd, MP4FileHandle h, const char* inputPath) {
    std::vector<uint8_t> buffer(kReadSize);
    uint32_t fill = 0;
    struct stat st;
    uint64_t total = !streamInput && fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
    const uint64_t sizeAtStart = total;
    uint64_t sizeAtEnd = total;
    uint64_t done = 0;
    // The input may grow or shrink while it is read: the share shown follows its size now, and
    // the summary tells the sizes. A stream has none.
    const auto measure = [&] {
        if (streamInput) return;
        sizeAtEnd = fstat(fd, &st) == 0 ? uint64_t(st.st_size) : total;
        total = std::max(sizeAtEnd, done);
    };
    for (;;) {
        if (progress) measure();
        if (progress && !progress(bytesBefore + done, bytesBefore + total + bytesAfter)) {
            cancelled = true;
            Fail(QStringLiteral("conversion cancelled"));
            return;
        }
        if (stopFlag && *stopFlag) {
            // A recording ends here, cleanly; any other conversion leaves nothing.
            if (!recording) {
                Fail(QStringLiteral("stopped by a signal"));
                return;
            }
            summary.stopSignal = int(*stopFlag);
            break;
        }
        if (streamInput) {
            // A stream is read as it comes; the wait ends for a signal too.
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, kStreamWaitMs) <= 0) continue;  // nothing yet, or a signal
        }
        const ssize_t n = read(fd, buffer.data() + fill, buffer.size() - fill);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR || err == EAGAIN) continue;
            Fail(QStringLiteral("cannot read %1: %2")
                     .arg(QString::fromLocal8Bit(inputPath), ErrnoText(err)));
            return;
        }
        if (n == 0) break;
        done += n;
        const uint32_t count = fill + uint32_t(n);
        const int64_t boundary = FindLastStartCode(buffer.data(), count);
        if (boundary <= 0) {
            fill = count;
            if (count < buffer.size()) continue;  // room left: read on
            if (boundary < 0) {
                // No start code at all: bytes in front of the stream. Keep the last three,
                // which may begin one.
                memmove(buffer.data(), buffer.data() + count - 3, 3);
                fill = 3;
                continue;
            }
            // One unit fills the buffer: make room for it.
            if (buffer.size() >= kMaxBuffer) {
                qDebug("ERROR:NAL unit larger than %u bytes", kMaxNalUnit);
                Fail(QStringLiteral("a NAL unit is larger than 256 MiB"));
                return;
            }
            buffer.resize(std::min<size_t>(buffer.size() * 2, kMaxBuffer));
            continue;
        }
        int32_t covered = WriteNalUnits(h, buffer.data(), uint32_t(boundary));
        if (failed) return;
        if (covered <= 0) covered = int32_t(boundary);  // only bytes in front of the stream
        fill = count - uint32_t(covered);
        memmove(buffer.data(), buffer.data() + covered, fill);
    }
    measure();
    // The end of the input ends the last unit.
    if (fill > 0) WriteNalUnits(h, buffer.data(), fill);
    // What this input adds to the summary, and the warning when it changed size.
    summary.inputSizeAtStart += sizeAtStart;
    summary.inputSizeAtEnd += sizeAtEnd;
    summary.inputBytesRead += done;
    bytesBefore += done;
    if (!streamInput && (sizeAtEnd != sizeAtStart || done != sizeAtStart))
        warnings << QStringLiteral(
                        "%1 changed size during the conversion (%2 bytes at the start, %3 at the "
                        "end); the output holds the %4 bytes read")
                        .arg(QString::fromLocal8Bit(inputPath))
                        .arg(sizeAtStart)
                        .arg(sizeAtEnd)
                        .arg(done);
}
