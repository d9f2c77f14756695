// Writes a DHAV recording as a DVR leaves it, from a raw H.264 stream and raw 8 kHz mono A-law,
// for trying camera files in browsers by hand (tests/browser/README.md):
//
//   make_camerafile VIDEO.h264 SOUND.alaw OUT.dav
//
// The pictures are 40 ms apart and the sound starts with the first picture, so a clip whose
// flash and beep come together in the stream still has them together in the file.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "support/camerafiles.h"

namespace {

bool ReadAll(const char* path, camerafiles::Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !out->empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: make_camerafile VIDEO.h264 SOUND.alaw OUT.dav\n");
        return 2;
    }
    camerafiles::Bytes video;
    camerafiles::Sound sound;
    sound.kind = camerafiles::Sound::Kind::ALaw;
    if (!ReadAll(argv[1], &video) || !ReadAll(argv[2], &sound.bytes)) {
        fprintf(stderr, "make_camerafile: cannot read %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    camerafiles::Options o;
    o.kind = ContainerKind::Dhav;
    o.dahuaHeader = true;
    o.durationsMs = {40};
    const camerafiles::File f = camerafiles::Make(video, sound, o);
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(f.bytes.data()), std::streamsize(f.bytes.size()));
    out.close();
    if (!out) {
        fprintf(stderr, "make_camerafile: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
