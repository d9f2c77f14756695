// A whole conversion of any bytes: the input is held in memory (a memfd), the MP4 goes to a
// temporary directory. A conversion either fails with a reason and leaves nothing behind, or
// succeeds with a readable MP4 that holds every coded slice from the first usable SPS on, H.264
// or H.265 as the stream's parameter sets tell.

#include <sys/mman.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QVector>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include "convert/converter.h"
#include "convert/nalunit.h"
#include "fuzz/fuzz_check.h"
#include "support/convert.h"
#include "support/decode.h"
#include "support/streams.h"

namespace {

QString workDir;

void Quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

QVector<QByteArray> OutputSlices(Codec codec, const QString& path) {
    QVector<QByteArray> out;
    for (const QByteArray& s : ReadSamples(path, true)) {
        int at = 0;
        while (at + 4 <= s.size()) {
            const uint32_t len = (uint32_t(uint8_t(s[at])) << 24) |
                                 (uint32_t(uint8_t(s[at + 1])) << 16) |
                                 (uint32_t(uint8_t(s[at + 2])) << 8) | uint8_t(s[at + 3]);
            CHECK(len > 0 && at + 4 + int64_t(len) <= s.size());
            const QByteArray nal = s.mid(at + 4, int(len));
            if (IsCodedSlice(codec, nal)) out.push_back(nal);
            at += 4 + int(len);
        }
        CHECK(at == s.size());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qInstallMessageHandler(Quiet);
    av_log_set_level(AV_LOG_QUIET);
    char tmpl[] = "/tmp/fuzz_convert.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) abort();
    workDir = QString::fromLocal8Bit(dir);
    atexit([] { QDir(workDir).removeRecursively(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (4u << 20)) return 0;
    const int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
    CHECK(fd >= 0);
    CHECK(size == 0 || write(fd, data, size) == ssize_t(size));
    const QByteArray input = "/proc/self/fd/" + QByteArray::number(fd);
    const QString output = workDir + QStringLiteral("/out.mp4");

    Converter converter;
    const bool ok = converter.WriteH264File(input.constData(), output);
    close(fd);
    CHECK(!PartLeft(output));
    if (!ok) {
        CHECK(!converter.LastError().isEmpty());
        CHECK(!QFile::exists(output));
        return 0;
    }
    CHECK(converter.LastError().isEmpty());
    const Mp4Info info = ReadMp4Info(output);
    CHECK(info.ok);
    CHECK(info.sampleCount == converter.Summary().pictures);
    CHECK(info.sampleCount > 0);

    // Nothing is lost from the first usable SPS on but the units the converter says no decoder
    // can use: the slices written are the input's, unchanged and in order.
    const StreamSlices in =
        SlicesOfStream(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)));
    CHECK(in.codec == converter.Summary().codec);
    const QVector<QByteArray> out = OutputSlices(in.codec, output);
    CHECK(in.beforeSps >= 0);
    const qint64 skipped = qint64(converter.Summary().skippedUnits);
    CHECK(out.size() + skipped >= in.slices.size() - in.beforeSps &&
          out.size() <= in.slices.size());
    int at = 0;  // each slice written is a later one of the input
    for (const QByteArray& slice : out) {
        while (at < in.slices.size() && in.slices[at] != slice) ++at;
        CHECK(at++ < in.slices.size());
    }
    QFile::remove(output);
    return 0;
}
