// Makes the fuzzers' seed corpora from the test streams:
//   make_seeds OUTDIR STREAM...
// OUTDIR/scanner, OUTDIR/slice and OUTDIR/convert get every H.264 stream whole, OUTDIR/sps every
// distinct SPS NAL unit of them (from its header byte); OUTDIR/h265, OUTDIR/scanner and
// OUTDIR/convert every *.h265 stream whole; OUTDIR/demux camera and DVR files made of each
// stream, whole and damaged, behind the byte that picks the reader.

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "convert/nalunit.h"
#include "support/camerafiles.h"

namespace {

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(f);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A camera file and a DVR file of the stream, each also damaged, with a second of sound.
bool WriteCameraFiles(const std::string& stem, const std::vector<uint8_t>& stream, bool h265) {
    using namespace camerafiles;
    Sound alaw;
    alaw.kind = Sound::Kind::ALaw;
    for (int k = 0; k < 8000; ++k) alaw.bytes.push_back(uint8_t(0xD5 ^ (k * 7 & 0x3F)));
    const std::vector<Damage> damage = {
        {Damage::Kind::Cut, 4, 30}, {Damage::Kind::Garbage, 9, 21}, {Damage::Kind::CutEnd, 0, 9}};
    int n = 0;
    for (ContainerKind kind :
         {h265 ? ContainerKind::Hxvt : ContainerKind::Hxvs, ContainerKind::Dhav}) {
        for (bool damaged : {false, true}) {
            Options o;
            o.kind = kind;
            o.h265 = h265;
            o.dahuaHeader = damaged;
            if (damaged) o.damage = damage;
            const File f = Make(stream, alaw, o);
            if (f.video.size() < 10) continue;
            // The selector: the reader (HXVS and HXVT read alike), pieces of 1 + 7 * 4 bytes.
            std::vector<uint8_t> seed = {uint8_t(4 * 3 + (kind == ContainerKind::Dhav ? 2 : 0))};
            seed.insert(seed.end(), f.bytes.begin(), f.bytes.end());
            if (!Write(stem + "." + std::to_string(n++), seed)) return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: make_seeds OUTDIR STREAM...\n");
        return 2;
    }
    const std::string out = argv[1];
    const char* kinds[] = {"scanner", "sps", "slice", "convert", "h265", "timestamps", "demux"};
    mkdir(out.c_str(), 0777);
    for (const char* k : kinds) mkdir((out + "/" + k).c_str(), 0777);

    std::set<std::vector<uint8_t>> spsUnits;
    for (int i = 2; i < argc; ++i) {
        std::ifstream f(argv[i], std::ios::binary);
        const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(f)),
                                          std::istreambuf_iterator<char>());
        if (!f.eof() && !f) {
            fprintf(stderr, "make_seeds: cannot read %s\n", argv[i]);
            return 1;
        }
        const std::string name = BaseName(argv[i]);
        const bool h265 = name.size() > 5 && name.compare(name.size() - 5, 5, ".h265") == 0;
        if (stream.size() < 200000 && !WriteCameraFiles(out + "/demux/" + name, stream, h265))
            return 1;
        if (h265) {
            for (const char* k : {"h265", "scanner", "convert"})
                if (!Write(out + "/" + k + "/" + name, stream)) return 1;
            continue;
        }
        for (const char* k : {"scanner", "slice", "convert"})
            if (!Write(out + "/" + k + "/" + name, stream)) return 1;
        uint32_t pos = 0;
        NalUnit n;
        while (int32_t r = FindNextNalUnit(stream.data(), uint32_t(stream.size()), pos, &n)) {
            if (n.type == 7) spsUnits.insert(std::vector<uint8_t>(n.data, n.data + n.length));
            pos += uint32_t(r);
        }
    }
    // Timestamp files of both formats, as camera apps and muxers write them.
    const char* stamps[] = {
        "# timecode format v2\n0\n33.333\n66.667\n100\n",
        "# timestamp format v2\n\n# comment\n1000.5\n1033.25\n1066\n1099.999999\n",
        "# timecode format v1\nassume 29.970\n0,9,10\n20,24,59.94\n",
    };
    for (size_t k = 0; k < sizeof stamps / sizeof stamps[0]; ++k)
        if (!Write(out + "/timestamps/" + std::to_string(k),
                   std::vector<uint8_t>(stamps[k], stamps[k] + strlen(stamps[k]))))
            return 1;
    int i = 0;
    for (const std::vector<uint8_t>& sps : spsUnits)
        if (!Write(out + "/sps/sps" + std::to_string(i++), sps)) return 1;
    return 0;
}
