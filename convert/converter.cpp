#include "convert/converter.h"

#include <poll.h>
#include <sys/stat.h>

#include <QDebug>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "convert/accessunit.h"
#include "convert/camerafile.h"
#include "convert/inputfile.h"
#include "convert/outputfile.h"
#include "convert/partfile.h"
#include "convert/streamfile.h"
#include "convert/videosource.h"
#include "mp4/mp4check.h"

namespace {

// How long a read of a stream waits before it looks whether a signal asked to stop.
constexpr int kStreamWaitMs = 200;
// How far the sound may be read ahead of the pictures, in seconds of media; how long the
// pictures wait for a sound stream's first bytes.
constexpr double kMaxSoundLead = 3;
constexpr int kSoundWaitSeconds = 2;
// How far the pictures of a stream may run ahead of a sound stream that flows, and how recent
// its last bytes must be for it to count as flowing.
constexpr double kMaxPictureLead = 0.2;
// How far the sound is read ahead of the pictures of a file.
constexpr double kSoundAhead = 0.5;
constexpr int kFlowingMs = 1000;
// The picture size the track has until an SPS tells its own.
constexpr int32_t kFallbackWidth = 1920;
constexpr int32_t kFallbackHeight = 1080;

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
    return video ? video->PicturesSoFar() : 0;
}

double Converter::SecondsSoFar() const {
    return video ? video->SecondsSoFar() : 0;
}

void Converter::SetTimestampFile(const std::string& path) {
    timestampPath = path;
}

void Converter::SetAudioFile(const std::string& path, const AudioOptions& options,
                             double offsetSeconds) {
    userSound.path = path;
    userSound.options = options;
    userSound.offsetSeconds = offsetSeconds;
}

void Converter::SetFrameRateOverride(uint32_t num, uint32_t den) {
    overrideNum = num;
    overrideDen = den;
}

MP4FileHandle Converter::CreateMp4File(const char* path, int32_t width, int32_t height) {
    if (!path) return MP4_INVALID_FILE_HANDLE;
    video = std::make_unique<VideoSource>(VideoOptionsFor(false));
    return StartMp4File(MP4Create(path, 0), width, height);
}

// The options of the video source: a fragmented file's fragment length when `fragmented`.
VideoOptions Converter::VideoOptionsFor(bool fragmented) {
    VideoOptions o;
    o.timestamps = &timestamps;
    o.overrideNum = overrideNum;
    o.overrideDen = overrideDen;
    o.fragmentMillis = fragmented ? (fragmentMillis > 0 ? fragmentMillis : 1000) : 0;
    o.outputName = &outputName;
    o.sound = soundHook;
    return o;
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
    video->SetFile(h);
    MP4SetTimeScale(h, uint32_t(timeScale));
    // Set at the start: the writer knows from the first byte whether its media data will move.
    MP4SetFastStart(h, fastStart);
    return h;
}

int32_t Converter::WriteNalUnits(MP4FileHandle hMp4File, const uint8_t* buffer, uint32_t end) {
    if (hMp4File == MP4_INVALID_FILE_HANDLE || !buffer || !video) return -1;
    const int32_t covered = video->WriteNalUnits(buffer, end);
    if (video->Failed()) Fail(video->Failure());
    return covered;
}

// The warning when a timestamp file's times are fewer or more than the pictures.
void Converter::CountTimes() {
    const uint64_t listed = video->Writer()->Times().ListedTimes();
    const uint64_t pictures = video->Writer()->Pictures();
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

bool Converter::CloseMp4File(MP4FileHandle hMp4File) {
    if (hMp4File == MP4_INVALID_FILE_HANDLE) return false;
    bool ok = true;
    bool finished = true;
    // The disk takes the media data while the track's tables are completed.
    MP4WriteBackNow(hMp4File);
    try {
        finished = !video || video->Finish();
        if (finished && audio && !audio->Finish()) {
            Fail(audio->Failure());
            ok = false;
        }
    } catch (...) {
        MP4Discard(hMp4File);  // the handle is this call's to close
        throw;
    }
    if (!finished) {
        Fail(video->Failure());
        ok = false;
    }
    int err = 0;
    if (!MP4CloseChecked(hMp4File, 0, &err)) {
        Fail(video ? video->WriteFailure(err)
                   : QStringLiteral("cannot write %1: %2").arg(Shown(outputName), ErrnoText(err)));
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
        video.reset();
        qDebug("ERROR:out of memory");
        Fail(QStringLiteral("out of memory"));
    }
    if (!ok) return false;
    summary.outputPath = Shown(outputName);
    if (summary.nothingRecorded) return true;

    const AccessUnitWriter* writer = video->Writer();
    summary.codec = video->StreamCodec();
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
    summary.durationSeconds = double(writer->PresentedTicks()) / video->TrackTimeScale();
    summary.variableFrameRate = writer->Times().Variable();
    // A timestamp file's even intervals need not be the stream's rate.
    const bool measured = summary.variableFrameRate || timestamps.Version() != 0;
    summary.framesPerSecond = measured && summary.durationSeconds > 0
                                  ? double(writer->PresentedPictures()) / summary.durationSeconds
                                  : video->FramesPerSecond();
    summary.width = videoWidth = video->Width();
    summary.height = videoHeight = video->Height();
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
    sound = userSound;
    if (!PrepareWrappedInputs(inputPaths)) return false;
    // The sound first: a file that is no sound fails before anything is written.
    if (!StartSound()) return false;
    // The first input first: whether it is a stream decides the kind of output.
    video = std::make_unique<VideoSource>(VideoOptionsFor(false));
    video->SetInputs(inputPaths);
    streamInput = video->StreamInput();
    summary.streamInput = streamInput;
    const bool fragmented = fragmentMillis > 0 || (fragmentMillis < 0 && streamInput);
    // A recording takes its final name with its first fragment and keeps every complete one;
    // the fragmented file of a file is made as an unfragmented one is.
    recording = fragmented && streamInput;
    video->SetOptions(VideoOptionsFor(fragmented));
    OutputFile output(outputName, [this] { return OtherName(outputName); });
    const int fd = output.Create(fragmented, recording);
    if (fd < 0) {
        Fail(output.Error());
        return false;
    }
    Mp4Guard h;
    // Each takes the descriptor over; only running out of memory fails it.
    const bool inPlace = output.InPlace();
    // Standard output gets each fragment as it is whole, whoever reads it.
    h.h = fragmented ? MP4CreateFragmentedFd(fd, !inPlace, recording && !inPlace,
                                             recording || outputName == "-")
                     : MP4CreateFd(fd);
    StartMp4File(h.h, kFallbackWidth, kFallbackHeight);
    if (date.Known()) MP4SetCreationTime(h.h, date.utcSeconds);
    summary.recordingDate = RecordingDateText(date);
    fragmentReport = Mp4FragmentReport();
    MP4ReportFragments(h.h, &fragmentReport);
    // A recording that fails keeps its whole fragments, cut back to them when the file is let go;
    // its last words say what it holds.
    const auto keeps = [&] {
        if (!recording || inPlace || fragmentReport.fragments == 0 || !output.Publish()) return;
        lastError += QStringLiteral("; %1 keeps %2 (%3 s)")
                         .arg(Shown(outputName),
                              fragmentReport.fragments == 1
                                  ? QStringLiteral("1 fragment")
                                  : QStringLiteral("%1 fragments").arg(fragmentReport.fragments))
                         .arg(fragmentReport.seconds, 0, 'f', 1);
    };
    // The sound track comes right behind the video's, when its format is known by then.
    MP4FileHandle file = h.h;
    video->SetTrackHook([this, file, fragmented] {
        // By now a camera's first records told the recorder's clock, if they do.
        CivilTime recorded;
        if (!typedDate.Known() && video->RecordedAt(&recorded)) {
            const RecordingDate told = RecordingDateFor(std::string(), &recorded, typedDate);
            if (told.Known()) {
                date = told;
                MP4SetCreationTime(file, date.utcSeconds);
                summary.recordingDate = RecordingDateText(date);
            }
        }
        if (!audio || !audio->FormatKnown() ||
            audio->AddTrack(file, uint32_t(timeScale), fragmented))
            return true;
        Fail(audio->Failure());
        return false;
    });
    // Each fragment takes the sound up to its end: what a file has, what a stream has now.
    if (audio)
        video->SetFragmentHook([this, file, fragmented](double until) {
            // A camera's sound, which comes a little behind its pictures, is known by the end
            // of the first fragment: its track goes into the movie box written with it.
            if (!audio->HasTrack() && audio->FormatKnown() && MP4FragmentsWritten(file) == 0 &&
                !audio->AddTrack(file, uint32_t(timeScale), fragmented))
                Fail(audio->Failure());
            while (audio->HasTrack() && audio->WrittenSeconds() < until &&
                   audio->Pump(0) == TrackSource::Step::kRead) {
            }
        });
    const bool muxed = Mux(output, h.h, fragmented);
    warnings << video->Warnings();
    if (audio) warnings << audio->Warnings();
    summary.inputSizeAtStart = video->InputSizeAtStart();
    summary.inputSizeAtEnd = video->InputSizeAtEnd();
    summary.inputBytesRead = video->InputBytesRead();
    if (muxed && recording && summary.stopSignal &&
        !(video->Writer() && video->Writer()->HasSamples())) {
        // Stopped before the first picture came: nothing to keep, and nothing went wrong.
        summary.nothingRecorded = true;
        return true;  // the file goes with `output`, unwritten
    }
    if (muxed && video->TrackId() == 0)
        Fail(video->StreamCodec() == Codec::Unknown
                 ? QStringLiteral("not an H.264 or H.265 stream: no sequence parameter set")
                 : QStringLiteral("input has no usable sequence parameter set"));
    if (failed) {
        // What is in whole fragments of a recording stays, whatever failed after them: cut back
        // to them before it takes its name.
        MP4Discard(h.Release());
        keeps();
        return false;
    }
    videoTrackId = int32_t(video->TrackId());
    const bool closed = CloseMp4File(h.Release());
    const AccessUnitWriter* writer = video->Writer();
    if (closed && fragmented && writer->PresentedPictures() == 0 && writer->DroppedPictures() > 0)
        Fail(QStringLiteral("none of the %1 pictures is one a decoder can start from (an IDR or "
                            "intra picture, or a recovery point): a fragmented file would hold "
                            "none of them; --fragment 0 keeps them")
                 .arg(writer->DroppedPictures()));
    else if (closed && (fragmented ? writer->PresentedPictures() : writer->Pictures()) == 0)
        Fail(QStringLiteral("input has no coded pictures"));
    if (fragmented) summary.fragments = fragmentReport.fragments;
    if (failed) {
        keeps();
        return false;
    }
    CountTimes();
    CompareLengths();
    if (writer->SkippedUnits())
        warnings << QStringLiteral(
                        "skipped %1 bytes in %2 NAL units that no decoder can use (an invalid "
                        "unit header, or a slice or parameter set that does not parse)")
                        .arg(writer->SkippedBytes())
                        .arg(writer->SkippedUnits());
    if (!output.Commit()) Fail(output.Error());
    return !failed;  // an unfinished file goes with `output`
}

// Inputs that wrap their stream (camera and DVR files): their records' times time the pictures
// as they are read (unless a timestamp file does), and their sound becomes the sound track
// (unless a sound file is given), each frame placed by its time: the first input's with sound,
// and those of the same format after it. The recording's date for the file, until the first
// input's records tell the recorder's. All inputs of a join are such files, or none.
bool Converter::PrepareWrappedInputs(const std::vector<std::string>& inputPaths) {
    soundHook = nullptr;
    date = RecordingDateFor(inputPaths[0], nullptr, typedDate);
    std::vector<ContainerKind> kinds;
    for (const std::string& path : inputPaths) kinds.push_back(ContainerOfFile(path.c_str()));
    const auto isWrapped = [](ContainerKind k) { return k != ContainerKind::None; };
    const auto a = std::find_if(kinds.begin(), kinds.end(), isWrapped);
    // A pipe, a FIFO or standard input is told by its first bytes as it is read: should it be a
    // camera's stream, its sound has a track to go to.
    struct stat st;
    const bool stream =
        inputPaths[0] == "-" || (stat(inputPaths[0].c_str(), &st) == 0 && !S_ISREG(st.st_mode));
    if (a == kinds.end() && !(stream && inputPaths.size() == 1)) return true;
    const auto b = std::find_if_not(kinds.begin(), kinds.end(), isWrapped);
    if (a != kinds.end() && b != kinds.end()) {
        Fail(QStringLiteral("cannot join %1 (a %2 file) and %3 (a raw stream)")
                 .arg(Shown(inputPaths[size_t(a - kinds.begin())]),
                      QString::fromLatin1(ContainerName(*a)),
                      Shown(inputPaths[size_t(b - kinds.begin())])));
        return false;
    }
    if (!sound.path.empty()) return true;
    auto reader = std::make_shared<HandedSoundReader>();
    sound.path = inputPaths[0];
    sound.handed = reader;
    handedFrom = SIZE_MAX;
    otherSoundFrom.clear();
    soundHook = [this, reader, inputPaths](size_t input, const DemuxPacket* frame,
                                           const AudioSampleEntry& format) {
        if (!frame) {
            reader->Finish();
            return;
        }
        if (handedFrom == SIZE_MAX) {
            // The first frame tells the track's format and where the sound begins.
            handedFrom = input;
            sound.path = inputPaths[input];
            sound.offsetSeconds = double(frame->ms) / 1000.0;
            audio->SetStart(sound.path, sound.offsetSeconds);
            reader->Hand(frame->data, frame->size, frame->ms, format);
            return;
        }
        if (!format.SameFormat(reader->Format())) {
            if (otherSoundFrom.insert(input).second)
                warnings << QStringLiteral("%1: its sound is left out: another format than %2's")
                                .arg(Shown(inputPaths[input]), Shown(inputPaths[handedFrom]));
            return;
        }
        reader->Hand(frame->data, frame->size, frame->ms, format);
    };
    return true;
}

// Opens the sound input, and reads a file's until its format is known.
bool Converter::StartSound() {
    audio.reset();
    if (sound.path.empty()) return true;
    audio = std::make_unique<AudioSource>(sound);
    if (audio->Open() && (audio->StreamInput() || audio->Prime(0) != TrackSource::Step::kFailed))
        return true;
    Fail(audio->Failure());
    return false;
}

// The sound's part of the summary, and a warning when it plays much shorter or longer than the
// pictures.
void Converter::CompareLengths() {
    if (!audio) return;
    if (!audio->HasTrack()) {
        // A camera's file need not have sound.
        if (!sound.handed)
            warnings << QStringLiteral("no sound came from %1: the file has none")
                            .arg(Shown(sound.path));
        return;
    }
    summary.audio = audio->Description();
    summary.audioSeconds = audio->PlayedSeconds();
    const double pictures = double(video->Writer()->PresentedTicks()) / video->TrackTimeScale();
    const double ends = summary.audioSeconds + std::max(sound.offsetSeconds, 0.0);
    if (std::fabs(ends - pictures) > 0.5)
        warnings << QStringLiteral(
                        "the sound ends %1 s %2 the pictures (%3 s of sound, %4 s of "
                        "pictures)")
                        .arg(std::fabs(ends - pictures), 0, 'f', 3)
                        .arg(ends < pictures ? QStringLiteral("before") : QStringLiteral("after"))
                        .arg(summary.audioSeconds, 0, 'f', 3)
                        .arg(pictures, 0, 'f', 3);
}

// Reads the inputs and writes their samples until they end, a signal stops a recording, or the
// progress hook cancels. The input that lags behind in media time is read first, so that the
// tracks' chunks and fragments come out together; a stream that has nothing now lets the other
// go on, except that the sound never runs more than a few seconds ahead of the pictures (what
// runs ahead waits in memory), and the pictures wait a moment for a sound stream's first bytes,
// so that its track is in the file from the start.
bool Converter::Mux(OutputFile& output, MP4FileHandle file, bool fragmented) {
    using Step = TrackSource::Step;
    const auto start = std::chrono::steady_clock::now();
    bool videoEnded = false, audioEnded = !audio;
    for (;;) {
        uint64_t done = 0, total = 0;
        if (progress) video->Progress(&done, &total);
        if (progress && !progress(done, total)) {
            cancelled = true;
            Fail(QStringLiteral("conversion cancelled"));
            return false;
        }
        if (stopFlag && *stopFlag) {
            // A recording ends here, cleanly; any other conversion leaves nothing.
            if (!recording) {
                Fail(QStringLiteral("stopped by a signal"));
                return false;
            }
            summary.stopSignal = int(*stopFlag);
            video->Stop();
            if (audio) audio->Stop();
            if (video->Failed()) Fail(video->Failure());
            return !failed;
        }
        // The sound track joins the pictures' as soon as both are known; a sound stream whose
        // first bytes come after the first fragment is too late for the movie box (the summary
        // says the file has no sound).
        if (audio && !audioEnded && !audio->HasTrack() && fragmented &&
            MP4FragmentsWritten(file) > 0)
            audioEnded = true;
        if (audio && !audioEnded && !audio->HasTrack() && audio->FormatKnown() &&
            video->TrackId() && !audio->AddTrack(file, uint32_t(timeScale), fragmented)) {
            Fail(audio->Failure());
            return false;
        }
        if (audio && videoEnded && !audio->HasTrack()) audioEnded = true;
        if (videoEnded && audioEnded) return true;
        const double videoAt = video->WrittenSeconds();
        const double audioAt = audio ? audio->WrittenSeconds() : 0;
        // The sound a little ahead: the pictures, the bulk of the data, then go straight into
        // the file, the sound's chunks in between.
        const bool audioFirst = !audioEnded && (videoEnded || audioAt < videoAt + kSoundAhead);
        // The pictures of a stream wait for the sound while it flows: for its first bytes, a
        // moment, and for its time, so that each fragment's sound covers the pictures' time.
        const bool waitForSound =
            !audioEnded && audio->StreamInput() &&
            ((!audio->FormatKnown() &&
              std::chrono::steady_clock::now() - start < std::chrono::seconds(kSoundWaitSeconds)) ||
             (audio->HasTrack() && videoAt > audioAt + kMaxPictureLead &&
              audio->Flowing(kFlowingMs)));
        bool moved = false;
        for (int k = 0; k < 2 && !moved; ++k) {
            const bool isAudio = (k == 0) == audioFirst;
            if (isAudio ? audioEnded : videoEnded) continue;
            if (isAudio && !videoEnded && audioAt > videoAt + kMaxSoundLead) continue;
            if (!isAudio && waitForSound) continue;
            Step step;
            if (isAudio)
                step = audio->FormatKnown() ? audio->Pump(0) : audio->Prime(0);
            else {
                // No further than the sound, while it comes; the sound that the pictures' own
                // input brings comes behind them in the input, and catches up in between.
                const bool flowing =
                    !audioEnded && audio->FormatKnown() && audio->Flowing(kFlowingMs);
                video->SetLimit(flowing ? audioAt + (sound.handed ? kSoundAhead : 0) : 1e300);
                step = video->Pump(0);
            }
            if (step == Step::kFailed) {
                Fail(isAudio ? audio->Failure() : video->Failure());
                return false;
            }
            if (step == Step::kEnd) (isAudio ? audioEnded : videoEnded) = true;
            // The last picture goes in as soon as the pictures end, before the rest of the sound.
            if (step == Step::kEnd && !isAudio && !audioEnded && !video->Finish()) {
                Fail(video->Failure());
                return false;
            }
            moved = step != Step::kIdle;
        }
        // A recording takes its name once its first fragment is on the disk.
        if (recording && !output.InPlace() && !output.Published() && fragmentReport.fragments &&
            !output.Publish()) {
            Fail(output.Error());
            return false;
        }
        if (moved) continue;
        // Nothing to read now: wait for the streams.
        struct pollfd fds[2];
        nfds_t n = 0;
        if (!videoEnded && !waitForSound && video->StreamFd() >= 0)
            fds[n++] = {video->StreamFd(), POLLIN, 0};
        if (!audioEnded && audio->StreamFd() >= 0) fds[n++] = {audio->StreamFd(), POLLIN, 0};
        poll(fds, n, kStreamWaitMs);
    }
}
