// Makes the fuzzers' seed corpora from the test streams:
//   make_seeds OUTDIR STREAM...
// OUTDIR/scanner, OUTDIR/slice and OUTDIR/convert get every H.264 stream whole, OUTDIR/sps every
// distinct SPS NAL unit of them (from its header byte); OUTDIR/h265, OUTDIR/scanner and
// OUTDIR/convert every *.h265 stream whole; OUTDIR/timestamps and OUTDIR/audio small files built
// here; OUTDIR/demux camera and DVR files made of each stream, whole and damaged, behind the byte
// that picks the reader.

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

void Le(std::vector<uint8_t>& v, uint64_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

void Text(std::vector<uint8_t>& v, const char* t) {
    v.insert(v.end(), t, t + strlen(t));
}

// Sound files built here, small, of the shapes the sound readers know: the first byte chooses
// the name the fuzz target gives them (0: told by content, 1: .alaw, 3: .pcm). The frames' bodies
// are filler: the readers look at headers only.
std::vector<std::vector<uint8_t>> SoundSeeds() {
    std::vector<std::vector<uint8_t>> seeds;
    // ADTS: AAC LC 48000 Hz stereo, 7-byte headers, then the same with CRC, behind ID3v2.
    for (int crc = 0; crc < 2; ++crc) {
        std::vector<uint8_t> v = {0};
        if (crc) {
            const uint8_t id3[10] = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 5};
            v.insert(v.end(), id3, id3 + 10);
            v.insert(v.end(), 5, 0);
        }
        for (int f = 0; f < 6; ++f) {
            const uint32_t len = 7 + (crc ? 2 : 0) + 40 + f;
            const uint8_t h[7] = {0xFF,
                                  uint8_t(crc ? 0xF0 : 0xF1),
                                  0x4C,
                                  uint8_t(0x80 | len >> 11),
                                  uint8_t(len >> 3),
                                  uint8_t((len & 7) << 5 | 0x1F),
                                  0xFC};
            v.insert(v.end(), h, h + 7);
            v.insert(v.end(), len - 7, uint8_t(0x21 + f));
        }
        seeds.push_back(v);
    }
    // MP3: MPEG-1 Layer III 128 kbit/s 44100 Hz stereo, an Info frame with a LAME tag, frames,
    // an ID3v1 tag; and MPEG 2.5 8 kbit/s 8000 Hz mono.
    {
        std::vector<uint8_t> v = {0};
        for (int f = 0; f < 5; ++f) {
            const size_t at = v.size();
            const uint8_t h[4] = {0xFF, 0xFB, uint8_t(0x90 | (f & 1) << 1), 0x64};
            v.insert(v.end(), h, h + 4);
            v.resize(at + 417 + (f & 1), 0);
            if (f == 0) {
                memcpy(&v[at + 36], "Info\0\0\0\x0F", 8);
                memcpy(&v[at + 36 + 8 + 112], "LAME3.100", 9);
                v[at + 36 + 8 + 112 + 21] = 0x24;  // delay 576, padding 1200
                v[at + 36 + 8 + 112 + 22] = 0x04;
                v[at + 36 + 8 + 112 + 23] = 0xB0;
            }
        }
        Text(v, "TAG");
        v.resize(v.size() + 125, ' ');
        seeds.push_back(v);
        std::vector<uint8_t> w = {0};
        for (int f = 0; f < 4; ++f) {
            const uint8_t h[4] = {0xFF, 0xE3, 0x18, 0xC4};
            w.insert(w.end(), h, h + 4);
            w.insert(w.end(), 72 - 4, uint8_t(f));
        }
        seeds.push_back(w);
    }
    // WAV: 16-bit stereo with a LIST chunk, RF64 with ds64, 24-bit WAVE_FORMAT_EXTENSIBLE, A-law.
    auto wav = [](const char* form, uint16_t tag, uint16_t ch, uint16_t bits, bool ds64,
                  bool extensible, uint32_t dataSize) {
        std::vector<uint8_t> v = {0};
        Text(v, form);
        Le(v, 0xFFFFFFFF, 4);
        Text(v, "WAVE");
        if (ds64) {
            Text(v, "ds64");
            Le(v, 28, 4);
            Le(v, 0, 8);
            Le(v, 96, 8);
            Le(v, 24, 8);
            Le(v, 0, 4);
        }
        Text(v, "LIST");
        Le(v, 5, 4);
        Text(v, "INFOx");
        v.push_back(0);
        Text(v, "fmt ");
        Le(v, extensible ? 40 : 16, 4);
        Le(v, extensible ? 0xFFFE : tag, 2);
        Le(v, ch, 2);
        Le(v, 8000, 4);
        Le(v, 8000u * ch * bits / 8, 4);
        Le(v, ch * bits / 8, 2);
        Le(v, bits, 2);
        if (extensible) {
            const uint8_t guid[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
            Le(v, 22, 2);
            Le(v, bits, 2);
            Le(v, 3, 4);
            Le(v, tag, 2);
            v.insert(v.end(), guid, guid + 14);
        }
        Text(v, "data");
        Le(v, dataSize, 4);
        for (int i = 0; i < 96; ++i) v.push_back(uint8_t(i * 37));
        return v;
    };
    seeds.push_back(wav("RIFF", 1, 2, 16, false, false, 96));
    seeds.push_back(wav("RF64", 1, 2, 16, true, false, 0xFFFFFFFF));
    seeds.push_back(wav("RIFF", 1, 2, 24, false, true, 0));
    seeds.push_back(wav("RIFF", 6, 1, 8, false, false, 0xFFFFFFFF));
    // Headerless: A-law by name, 16-bit PCM by name.
    for (uint8_t name : {1, 3}) {
        std::vector<uint8_t> v = {name};
        for (int i = 0; i < 200; ++i) v.push_back(uint8_t(0xD5 ^ i));
        seeds.push_back(v);
    }
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: make_seeds OUTDIR STREAM...\n");
        return 2;
    }
    const std::string out = argv[1];
    const char* kinds[] = {"scanner", "sps",        "slice", "convert",
                           "h265",    "timestamps", "audio", "demux"};
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
    int s = 0;
    for (const std::vector<uint8_t>& sound : SoundSeeds())
        if (!Write(out + "/audio/sound" + std::to_string(s++), sound)) return 1;
    int i = 0;
    for (const std::vector<uint8_t>& sps : spsUnits)
        if (!Write(out + "/sps/sps" + std::to_string(i++), sps)) return 1;
    return 0;
}
