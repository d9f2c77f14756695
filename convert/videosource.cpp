#include "convert/videosource.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "convert/accessunit.h"
#include "convert/camerafile.h"
#include "convert/inputfile.h"
#include "convert/timeline.h"
#include "convert/timing.h"
#include "h264/sps.h"
#include "h265/sps.h"
#include "mp4/mp4check.h"

namespace {

constexpr uint32_t kReadSize = 1u << 20;  // bytes per read
// A wrapped input's reads are smaller: its reader looks through them while they are in the cache.
constexpr uint32_t kWrappedReadSize = 256u << 10;
constexpr uint32_t kMaxNalUnit = 256u << 20;      // the largest NAL unit taken
constexpr uint32_t kMaxBuffer = kMaxNalUnit + 8;  // a unit, its start code and the next one's
constexpr uint32_t kMaxParameterSet = 65535;      // avcC stores 16-bit lengths
constexpr int32_t kFallbackWidth = 1920;
constexpr int32_t kFallbackHeight = 1080;
constexpr int32_t kDefaultFrameRate = 25;
constexpr uint8_t kVideoProfileLevel = 127;
// Units kept while the codec is not yet known, at most.
constexpr size_t kMaxEarlyUnits = 1024;
constexpr size_t kMaxEarlyBytes = 4u << 20;
// Changes of the pictures' size told one by one, at most.
constexpr uint32_t kMaxSizeWarnings = 10;
// A wrapped input's records are read this far ahead of the pictures handed on, so that the
// pictures' times are known in presentation order: further than any stream reorders them (a
// decoder's buffer holds 16 pictures at most), within a bound of memory.
constexpr size_t kTimesAhead = 32;
constexpr size_t kTimesAheadBytes = 32u << 20;
constexpr size_t kReorderWindow = 16;
// A camera's times are milliseconds: whole ticks of the 90 kHz clock.
constexpr uint32_t kCameraTimeScale = 90000;
constexpr uint64_t kTicksPerMs = kCameraTimeScale / 1000;

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

}  // namespace

VideoSource::VideoSource(const VideoOptions& options)
    : file(MP4_INVALID_FILE_HANDLE),
      options(options),
      width(kFallbackWidth),
      height(kFallbackHeight) {}

VideoSource::~VideoSource() {
    if (fd >= 0) close(fd);
}

void VideoSource::Fail(const QString& reason) {
    if (!failed) failure = reason;
    failed = true;
}

bool VideoSource::SetInputs(std::vector<std::string> inputPaths) {
    paths = std::move(inputPaths);
    struct stat st;
    for (size_t i = 1; i < paths.size(); ++i)
        if (stat(paths[i].c_str(), &st) == 0) bytesAfter += uint64_t(st.st_size);
    return OpenInput(0);
}

// Opens input `index` for reading; on a failure, the next Pump tells.
bool VideoSource::OpenInput(size_t index) {
    current = index;
    fd = OpenInputFile(paths[index].c_str(), &streamInput, &openError);
    struct stat st;
    if (index > 0 && stat(paths[index].c_str(), &st) == 0)
        bytesAfter -= std::min<uint64_t>(bytesAfter, uint64_t(st.st_size));
    if (fd < 0) return false;
    unwrap.reset();
    const bool named = !streamInput && paths[index] != "-";
    if (named) {
        const ContainerKind kind = ContainerOfFile(paths[index].c_str());
        if (kind != ContainerKind::None) unwrap = MakeDemuxer(kind);
    }
    if (index == 0) comingTimes = unwrap && options.timestamps->Version() == 0;
    if (unwrap) unwrap->LookAhead(kTimesAhead, kTimesAheadBytes);
    inputTimed = false;
    inputTimes = 0;
    wrapperChecked = named;
    // A wrapped file is read into its reader's buffer: this one is not touched.
    if (!unwrap && buffer.size() != kReadSize) std::vector<uint8_t>(kReadSize).swap(buffer);
    fill = unitsStart = unitsEnd = 0;
    held = false;
    done = 0;
    total = !streamInput && fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
    sizeAtStart = sizeAtEnd = total;
    slicesBefore = writer ? writer->Slices() : 0;
    earlyBefore = early.size();
    return true;
}

void VideoSource::Progress(uint64_t* doneAll, uint64_t* totalAll) {
    // The input may grow or shrink while it is read: the share shown follows its size now, and
    // the summary tells the sizes. A stream has none.
    struct stat st;
    if (fd >= 0 && !streamInput) {
        sizeAtEnd = fstat(fd, &st) == 0 ? uint64_t(st.st_size) : total;
        total = std::max(sizeAtEnd, done);
    }
    *doneAll = bytesBefore + done;
    *totalAll = bytesBefore + total + bytesAfter;
}

TrackSource::Step VideoSource::Pump(int waitMs) {
    if (failed) return Step::kFailed;
    if (stopped) return Step::kEnd;
    if (fd < 0) {
        qDebug("ERROR:open file failed!");
        Fail(openError == ENOTTY
                 ? QStringLiteral("standard input is a terminal")
                 : QStringLiteral("cannot open %1: %2")
                       .arg(QString::fromLocal8Bit(paths[current].c_str()),
                            openError == ENODEV ? QStringLiteral("not a regular file")
                                                : ErrnoText(openError)));
        return Step::kFailed;
    }
    // Units a limit kept in the buffer go first.
    if (held) return WriteBuffered() ? Step::kRead : Step::kFailed;
    if (unitsStart > 0) {
        fill -= unitsStart;
        memmove(buffer.data(), buffer.data() + unitsStart, fill);
        unitsStart = 0;
    }
    if (unwrap) return ReadWrapped(waitMs);
    if (streamInput) {
        if (!CheckStall()) return Step::kFailed;
        // A stream is read as it comes; the wait ends for a signal too.
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return Step::kIdle;  // nothing yet, or a signal
    }
    const ssize_t n = read(fd, buffer.data() + fill, buffer.size() - fill);
    if (n < 0) return ReadFailed();
    if (n == 0) return NextInput();
    done += n;
    if (!wrapperChecked && !CheckWrapper(uint32_t(fill + n))) return Step::kFailed;
    if (unwrap) return TakePackets(false) ? Step::kRead : Step::kFailed;
    const uint32_t count = fill + uint32_t(n);
    const int64_t boundary = FindLastStartCode(buffer.data(), count);
    if (boundary <= 0) {
        fill = count;
        if (count < buffer.size()) return Step::kRead;  // room left: read on
        if (boundary < 0) {
            // No start code at all: bytes in front of the stream. Keep the last three,
            // which may begin one.
            memmove(buffer.data(), buffer.data() + count - 3, 3);
            fill = 3;
            return Step::kRead;
        }
        // One unit fills the buffer: make room for it.
        if (buffer.size() >= kMaxBuffer) {
            qDebug("ERROR:NAL unit larger than %u bytes", kMaxNalUnit);
            Fail(QStringLiteral("a NAL unit is larger than 256 MiB"));
            return Step::kFailed;
        }
        buffer.resize(std::min<size_t>(buffer.size() * 2, kMaxBuffer));
        return Step::kRead;
    }
    fill = count;
    unitsEnd = uint32_t(boundary);
    return WriteBuffered() ? Step::kRead : Step::kFailed;
}

// Writes the complete units of the buffer, [unitsStart, unitsEnd), until the pictures pass the
// limit; what is left of them is held for the next call.
bool VideoSource::WriteBuffered() {
    held = false;
    uint32_t pos = 0;
    const uint8_t* data = buffer.data() + unitsStart;
    const uint32_t end = unitsEnd - unitsStart;
    NalUnit nalu;
    for (;;) {
        const int32_t r = FindNextNalUnit(data, end, pos, &nalu);
        if (r == 0) break;
        if (!TakeUnit(nalu)) {
            pos = 0;
            break;
        }
        pos += uint32_t(r);
        if (WrittenSeconds() > limit && pos < end) {
            held = true;
            break;
        }
    }
    if (failed) return false;
    // Nothing found: only bytes in front of the stream.
    unitsStart += pos > 0 ? pos : end;
    return true;
}

// A stream that brings no new picture for a fragment's length of real time has the whole
// pictures held written now, so that a stalled camera loses no more than a running one.
bool VideoSource::CheckStall() {
    if (!writer || options.fragmentMillis <= 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (writer->Pictures() != stallPictures) {
        stallPictures = writer->Pictures();
        stallSince = now;
        return true;
    }
    if (now - stallSince < std::chrono::milliseconds(options.fragmentMillis)) return true;
    stallSince = now;
    // A camera's pictures read ahead for their times go in as they are.
    if (unwrap && !HandAll()) return false;
    if (writer->WriteHeld()) return true;
    Fail(WriteFailure());
    return false;
}

// A wrapped input: its reader takes the bytes straight into its buffer, and hands out the
// stream's NAL units and the sound frames.
TrackSource::Step VideoSource::ReadWrapped(int waitMs) {
    // What the reader holds goes first; nothing more is read while the limit holds it.
    if (!TakePackets(false)) return Step::kFailed;
    if (packetsHeld) return Step::kRead;
    if (streamInput) {
        if (!CheckStall()) return Step::kFailed;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return Step::kIdle;  // nothing yet, or a signal
    }
    const ssize_t n = read(fd, unwrap->Space(kWrappedReadSize), kWrappedReadSize);
    if (n < 0) return ReadFailed();
    unwrap->Commit(size_t(n));
    done += uint64_t(n);
    if (n == 0) unwrap->Finish();
    if (!TakePackets(n == 0)) return Step::kFailed;
    return n > 0 ? Step::kRead : NextInput();
}

// A read that failed: nothing yet, or a signal, or the end of the conversion.
TrackSource::Step VideoSource::ReadFailed() {
    const int err = errno;
    if (err == EINTR || err == EAGAIN) return Step::kIdle;
    Fail(QStringLiteral("cannot read %1: %2")
             .arg(QString::fromLocal8Bit(paths[current].c_str()), ErrnoText(err)));
    return Step::kFailed;
}

// The input has ended: the next one is opened, or the sound told that the inputs are over.
TrackSource::Step VideoSource::NextInput() {
    EndInput();
    if (failed) return Step::kFailed;
    if (current + 1 >= paths.size()) {
        if (options.sound) options.sound(current, nullptr, AudioSampleEntry());
        return Step::kEnd;
    }
    OpenInput(current + 1);
    return Step::kRead;
}

// A camera's or DVR's file that comes through a pipe, or as standard input, is told by its first
// bytes, while they are still the buffer's first ones: its reader takes them and reads the rest.
// Read as a raw stream, its wrapper would go into the pictures and its times and sound would be
// lost. One of several joined inputs is refused: the others were not looked at as camera files.
bool VideoSource::CheckWrapper(uint32_t bytes) {
    if (bytes < 5) return true;  // "DAHUA" is the longest
    wrapperChecked = true;
    const ContainerKind kind =
        DetectContainer(buffer.data(), std::min<size_t>(bytes, kContainerProbeBytes));
    if (kind == ContainerKind::None) return true;
    const QString name = paths[current] == "-" ? QStringLiteral("standard input")
                                               : QString::fromLocal8Bit(paths[current].c_str());
    const QString article =
        kind == ContainerKind::Dhav ? QStringLiteral("a") : QStringLiteral("an");
    if (paths.size() > 1) {
        Fail(QStringLiteral("%1 is %2 %3 file (a camera's or DVR's), which is joined from files "
                            "only, not from a pipe or standard input")
                 .arg(name, article, QString::fromLatin1(ContainerName(kind))));
        return false;
    }
    unwrap = MakeDemuxer(kind);
    comingTimes = options.timestamps->Version() == 0;
    unwrap->LookAhead(kTimesAhead, kTimesAheadBytes);
    unwrap->Feed(buffer.data(), bytes);
    std::vector<uint8_t>().swap(buffer);  // the reader's buffer takes the rest
    fill = unitsStart = unitsEnd = 0;
    return true;
}

// Hands on the reader's packets, the pictures' until they pass the limit (the sound beside them
// comes in the same file, a little later: it catches up before more pictures go in).
bool VideoSource::TakePackets(bool all) {
    DemuxPacket p;
    while (!(packetsHeld = !all && WrittenSeconds() > limit) && unwrap->Next(&p)) {
        TakeTimes();
        if (p.kind == DemuxPacket::Kind::Sound) {
            // On the joined pictures' time line.
            p.ms += inputStart - (inputTimed ? inputFirst : 0);
            if (options.sound) options.sound(current, &p, unwrap->Sound());
            continue;
        }
        WriteNalUnits(p.data, uint32_t(p.size));
        if (failed) return false;
    }
    return true;
}

// The pictures' times the reader found ahead, joined to those of the inputs before.
void VideoSource::TakeTimes() {
    unwrap->TakePictureTimes(&cameTimes);
    if (cameTimes.empty()) return;
    if (!inputTimed) {
        // The input's earliest picture (within the reordering read ahead) follows the inputs
        // before it.
        inputTimed = true;
        inputFirst = *std::min_element(cameTimes.begin(), cameTimes.end());
        inputLast = cameTimes.front();
        inputBeforeLast = INT64_MIN;
    }
    for (const int64_t ms : cameTimes) {
        if (inputTimes++ > 0) {
            if (ms >= inputLast) {
                inputBeforeLast = inputLast;
                inputLast = ms;
            } else {
                inputBeforeLast = std::max(inputBeforeLast, ms);
            }
        }
        // A timestamp file's times go instead; these still place the sound.
        if (!comingTimes) continue;
        const uint64_t ticks =
            uint64_t(std::max<int64_t>(0, inputStart + ms - inputFirst)) * kTicksPerMs;
        if (writer && trackId)
            writer->TimeCame(ticks);
        else
            earlyTimes.push_back(ticks);
    }
    cameTimes.clear();
}

// A wrapped input has ended: the damage its reader passed over, or why it gave nothing; where
// the next input's pictures begin.
void VideoSource::EndWrapped() {
    TakeTimes();
    if (current == 0) firstDated = unwrap->RecordedAt(&firstRecordedAt);
    warnings << CameraWarnings(paths[current], *unwrap);
    const std::string reason = unwrap->FailureReason();
    if (!reason.empty())
        Fail(QStringLiteral("%1: %2").arg(Shown(paths[current]), QString::fromStdString(reason)));
    if (inputTimed) {
        // The last picture lasts as long as the one before it.
        const int64_t lasts = inputTimes >= 2 ? inputLast - inputBeforeLast : 40;
        inputStart += inputLast - inputFirst + std::max<int64_t>(lasts, 1);
    }
}

bool VideoSource::RecordedAt(CivilTime* when) const {
    if (current == 0 && unwrap) return unwrap->RecordedAt(when);
    if (firstDated) *when = firstRecordedAt;
    return firstDated;
}

// Hands on every packet the wrapper's reader holds, however far it read ahead.
bool VideoSource::HandAll() {
    unwrap->LookAhead(0, 0);
    const bool ok = TakePackets(true);
    unwrap->LookAhead(kTimesAhead, kTimesAheadBytes);
    return ok;
}

void VideoSource::Stop() {
    if (fd >= 0 && !stopped && unwrap) HandAll();
    if (fd >= 0 && !stopped) EndInput();
    stopped = true;
}

// The end of the input ends its last unit; its sizes go into the totals, with a warning when
// it changed size while it was read.
void VideoSource::EndInput() {
    uint64_t d, t;
    Progress(&d, &t);
    if (held) WriteBuffered();  // a limit holds nothing back at the end
    if (fill > unitsStart) WriteNalUnits(buffer.data() + unitsStart, fill - unitsStart);
    if (unwrap) EndWrapped();
    fill = unitsStart = unitsEnd = 0;
    held = false;
    close(fd);
    fd = -1;
    sizeAtStartAll += sizeAtStart;
    sizeAtEndAll += sizeAtEnd;
    bytesBefore += done;
    const char* path = paths[current].c_str();
    if (!streamInput && (sizeAtEnd != sizeAtStart || done != sizeAtStart))
        warnings << QStringLiteral(
                        "%1 changed size during the conversion (%2 bytes at the start, %3 at the "
                        "end); the output holds the %4 bytes read")
                        .arg(QString::fromLocal8Bit(path))
                        .arg(sizeAtStart)
                        .arg(sizeAtEnd)
                        .arg(done);
    done = 0;
    total = 0;  // counted in bytesBefore now: the progress after the last input is not twice it
    if (stopped) return;
    // A segment without a picture is not part of the recording: a wrong file in the list.
    const bool pictures = writer ? writer->Slices() != slicesBefore : early.size() != earlyBefore;
    if (paths.size() > 1 && !failed && !pictures)
        Fail(QStringLiteral("cannot join %1: not an H.264 or H.265 stream, no coded pictures")
                 .arg(QString::fromLocal8Bit(path)));
}

uint64_t VideoSource::PicturesSoFar() const {
    return writer ? writer->PresentedPictures() : 0;
}

double VideoSource::SecondsSoFar() const {
    return writer && trackTimeScale
               ? double(writer->Times().TimeAt(PicturesSoFar())) / trackTimeScale
               : 0;
}

double VideoSource::WrittenSeconds() const {
    return writer && trackTimeScale
               ? double(writer->Times().TimeAt(writer->Pictures())) / trackTimeScale
               : 0;
}

int32_t VideoSource::WriteNalUnits(const uint8_t* data, uint32_t end) {
    if (!data) return -1;
    uint32_t pos = 0;
    NalUnit nalu;
    for (;;) {
        const int32_t r = FindNextNalUnit(data, end, pos, &nalu);
        if (r == 0) return int32_t(pos);
        if (!TakeUnit(nalu)) return 0;
        pos += uint32_t(r);
    }
}

bool VideoSource::TakeUnit(const NalUnit& nalu) {
    if (nalu.length <= 0) return true;  // a start code right behind another: no unit
    if (trackId == 0) {
        const bool known = writer != nullptr;
        probe.Take(nalu);
        if (!known && probe.StreamCodec() != Codec::Unknown && !StartWriter()) return false;
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
    if (trackId == 0) {
        if (IsTrackSps(codec, nalu) && !AddVideoTrack(nalu)) return false;
    } else if (IsSpsUnit(codec, nalu)) {
        CheckLaterSps(nalu);
    }
    hdr.Take(codec, nalu);
    // As soon as found: a fragmented file's moov goes out with its first fragment.
    GiveHdrMetadata();
    if (!writer->Add(nalu)) {
        Fail(writer->Failure().empty() ? WriteFailure()
                                       : QString::fromStdString(writer->Failure()));
        return false;
    }
    return true;
}

// The codec is known: its writer takes the units kept so far, then the rest.
bool VideoSource::StartWriter() {
    writer = std::make_unique<AccessUnitWriter>(file, MakePictureReader(probe.StreamCodec()));
    std::deque<EarlyUnit> kept;
    kept.swap(early);
    earlyBytes = 0;
    for (const EarlyUnit& u : kept) {
        const NalUnit nal{u.type, int32_t(u.bytes.size()), 4, u.bytes.data()};
        if (!TakeUnit(nal)) return false;
    }
    return true;
}

bool VideoSource::AddVideoTrack(const NalUnit& sps) {
    const TrackFormat format = probe.FormatOf(sps);
    uint32_t fpsNum = format.fpsNum, fpsDen = format.fpsDen;
    if (format.parsed) {
        width = int32_t(format.width);
        height = int32_t(format.height);
    } else {
        width = kFallbackWidth;
        height = kFallbackHeight;
    }
    if (options.overrideNum) {
        fpsNum = options.overrideNum;
        fpsDen = options.overrideDen;
    }
    if (!fpsNum) {
        fpsNum = uint32_t(kDefaultFrameRate);  // no timing information: the default rate
        fpsDen = 1;
        rateAssumed = true;
    }
    const TrackTiming timing = ChooseTrackTiming(fpsNum, fpsDen);
    trackTimeScale = timing.timeScale;
    frameDuration = timing.frameDuration;
    framesPerSecond = double(fpsNum) / double(fpsDen);
    Timeline timeline = MakeTimeline(fpsNum, fpsDen);
    if (probe.StreamCodec() == Codec::H265) {
        trackId = MP4TrackId(MP4AddH265VideoTrack(file, trackTimeScale, frameDuration,
                                                  uint16_t(width), uint16_t(height), 3));
        if (trackId) MP4SetH265Fields(file, MP4TrackId(trackId), H265Fields(sps));
    } else {
        trackId = MP4TrackId(MP4AddH264VideoTrack(file, trackTimeScale, frameDuration,
                                                  uint16_t(width), uint16_t(height), sps.data[1],
                                                  sps.data[2], sps.data[3], 3));
    }
    MP4SetVideoProfileLevel(file, kVideoProfileLevel);
    if (trackId == 0) {
        qDebug("add video track failed.\n");
        Fail(QStringLiteral("cannot add the video track"));
        return false;
    }
    // Pictures whose samples are not square are shown at their displayed width.
    if (format.sarWidth && format.sarHeight && format.sarWidth != format.sarHeight)
        MP4AddPixelAspectRatio(file, MP4TrackId(trackId), format.sarWidth, format.sarHeight);
    firstSignal = format.signal;
    lastSps.assign(sps.data, sps.data + PayloadLength(sps));
    lastWidth = uint32_t(width);
    lastHeight = uint32_t(height);
    if (firstSignal.present)
        MP4SetColour(file, MP4TrackId(trackId), firstSignal.colourPrimaries,
                     firstSignal.transferCharacteristics, firstSignal.matrixCoefficients,
                     firstSignal.fullRange);
    writer->SetTrack(MP4TrackId(trackId), std::move(timeline));
    if (fragmentHook) writer->SetFragmentHook(fragmentHook);
    if (trackHook && !trackHook()) {
        failed = true;
        return false;
    }
    if (options.fragmentMillis > 0)
        writer->SetFragments(
            std::max<MP4Duration>(1, MP4Duration(options.fragmentMillis) * trackTimeScale / 1000));
    return true;
}

// One sample entry describes the whole track, with the first SPS's size and colours: a later SPS
// that says other colours is told once, each change of the pictures' size with its time.
void VideoSource::CheckLaterSps(const NalUnit& sps) {
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
                            .arg(width)
                            .arg(height);
        else if (sizeChanges == kMaxSizeWarnings + 1)
            warnings << QStringLiteral(
                            "the pictures change size again later; only the first %1 "
                            "changes are told")
                            .arg(kMaxSizeWarnings);
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
Timeline VideoSource::MakeTimeline(uint32_t fpsNum, uint32_t fpsDen) {
    Timeline timeline;
    const auto exact90k = [](uint32_t num, uint32_t den) {
        return (uint64_t(90000) * den) % num == 0;
    };
    if (options.timestamps->Version() == 2) {
        std::vector<uint64_t> times = options.timestamps->TakeTimes();
        const bool whole =
            std::all_of(times.begin(), times.end(), [](uint64_t us) { return us % 100 == 0; });
        trackTimeScale = whole ? 90000 : 1000000;
        for (uint64_t& t : times) t = whole ? t / 100 * 9 : t;
        const uint64_t fallback =
            std::max<uint64_t>(1, (uint64_t(trackTimeScale) * fpsDen + fpsNum / 2) / fpsNum);
        frameDuration = uint32_t(
            std::min<uint64_t>(times.size() >= 2 ? times[1] - times[0] : fallback, UINT32_MAX));
        timeline.StartWithTimes(trackTimeScale, std::move(times), fallback);
    } else if (comingTimes) {
        // The input's records time the pictures as they are read.
        trackTimeScale = kCameraTimeScale;
        const uint64_t fallback =
            std::max<uint64_t>(1, (uint64_t(trackTimeScale) * fpsDen + fpsNum / 2) / fpsNum);
        timeline.StartWithComingTimes(trackTimeScale, fallback, kReorderWindow, kTicksPerMs);
        for (const uint64_t t : earlyTimes) timeline.Come(t);
        std::vector<uint64_t>().swap(earlyTimes);
        const uint64_t first = timeline.FirstInterval();
        frameDuration = uint32_t(std::min<uint64_t>(first ? first : fallback, UINT32_MAX));
    } else if (options.timestamps->Version() == 1) {
        const uint32_t num = options.timestamps->AssumedNum(),
                       den = options.timestamps->AssumedDen();
        bool whole = exact90k(num, den);
        for (const TimestampFile::Range& r : options.timestamps->Ranges())
            whole = whole && exact90k(r.fpsNum, r.fpsDen);
        trackTimeScale = whole ? 90000 : 1000000;
        frameDuration = uint32_t(std::max<uint64_t>(1, uint64_t(trackTimeScale) * den / num));
        framesPerSecond = double(num) / double(den);
        timeline.StartAtRate(trackTimeScale, num, den, true);
        const auto& ranges = options.timestamps->Ranges();
        for (size_t i = 0; i < ranges.size(); ++i) {
            timeline.PlanRate(ranges[i].first, ranges[i].fpsNum, ranges[i].fpsDen);
            const uint64_t after = ranges[i].last + 1;
            if (after != 0 && (i + 1 == ranges.size() || ranges[i + 1].first != after))
                timeline.PlanRate(after, num, den);
        }
    } else {
        timeline.StartAtRate(trackTimeScale, fpsNum, fpsDen, options.overrideNum != 0);
    }
    return timeline;
}

// The mastering display and content light level found so far, each handed to the track once.
void VideoSource::GiveHdrMetadata() {
    if (!trackId) return;
    const MP4TrackId track = MP4TrackId(trackId);
    const std::vector<uint8_t>& mdcv = hdr.MasteringDisplay();
    const std::vector<uint8_t>& clli = hdr.ContentLightLevel();
    if (!mdcvGiven && !mdcv.empty())
        mdcvGiven = MP4SetMasteringDisplay(file, track, mdcv.data(), uint32_t(mdcv.size()));
    if (!clliGiven && !clli.empty())
        clliGiven = MP4SetContentLightLevel(file, track, clli.data(), uint32_t(clli.size()));
}

QString VideoSource::WriteFailure() const {
    return WriteFailure(MP4WriteError(file));
}

QString VideoSource::WriteFailure(int err) const {
    const std::string& name = options.outputName ? *options.outputName : std::string();
    // A player or `head` that had enough closes the pipe: not the disk's fault.
    if (err == EPIPE && name == "-")
        return QStringLiteral("the reader of standard output went away after %1 pictures")
            .arg(writer ? writer->PicturesInFragments() : 0);
    return QStringLiteral("cannot write %1: %2")
        .arg(Shown(name), err ? ErrnoText(err) : QStringLiteral("error"));
}

bool VideoSource::Finish() {
    if (finished) return !failed;
    finished = true;
    if (comingTimes && writer && trackId) writer->TimesEnded();
    const bool ok = !writer || writer->Finish();
    if (!ok) Fail(WriteFailure());
    GiveHdrMetadata();
    // No more pictures: the other tracks' chunks need not wait for them.
    if (ok && trackId) MP4EndTrack(file, trackId);
    return ok;
}
