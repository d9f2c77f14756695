// Makes the fuzzers' seed corpora from the test streams:
//   make_seeds OUTDIR STREAM...
// OUTDIR/scanner, OUTDIR/slice and OUTDIR/convert get every H.264 stream whole, OUTDIR/sps every
// distinct SPS NAL unit of them (from its header byte); OUTDIR/h265, OUTDIR/scanner and
// OUTDIR/convert every *.h265 stream whole.

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: make_seeds OUTDIR STREAM...\n");
        return 2;
    }
    const std::string out = argv[1];
    const char* kinds[] = {"scanner", "sps", "slice", "convert", "h265", "timestamps"};
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
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".h265") == 0) {
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
