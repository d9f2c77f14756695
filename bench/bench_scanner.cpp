// Scanner throughput: the word-at-a-time scanner against the plain byte-by-byte walk, over the
// same buffer of real stream data (the test streams repeated to at least 256 MB).
//
//   bench_scanner [MEGABYTES] [FILE...]

#include <dirent.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert/nalunit.h"
#include "support/reference_scan.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::vector<uint8_t> d;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) d.insert(d.end(), buf, buf + n);
        fclose(f);
    }
    return d;
}

template <typename Find>
double Run(const std::vector<uint8_t>& b, Find find, uint64_t* units, uint64_t* sum) {
    const auto t0 = std::chrono::steady_clock::now();
    uint32_t pos = 0;
    NalUnit n;
    *units = 0;
    *sum = 0;
    for (;;) {
        const int32_t r = find(b.data(), uint32_t(b.size()), pos, &n);
        if (r == 0) break;
        ++*units;
        *sum += uint64_t(n.length) * 3 + uint64_t(n.type) + uint64_t(n.startCodeLength);
        pos += uint32_t(r);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? strtoul(argv[1], nullptr, 10) : 256;
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i) files.push_back(argv[i]);
    if (files.empty()) {
        if (DIR* dir = opendir(TOVANMUXER_TEST_DATA)) {
            while (dirent* e = readdir(dir)) {
                const std::string name = e->d_name;
                if (name.size() > 5 && name.compare(name.size() - 5, 5, ".h264") == 0)
                    files.push_back(std::string(TOVANMUXER_TEST_DATA) + "/" + name);
            }
            closedir(dir);
        }
    }
    std::vector<uint8_t> one;
    for (const std::string& f : files) {
        const std::vector<uint8_t> d = ReadFile(f);
        one.insert(one.end(), d.begin(), d.end());
    }
    if (one.empty()) {
        fprintf(stderr, "bench_scanner: no stream data\n");
        return 1;
    }
    std::vector<uint8_t> buffer;
    buffer.reserve(megabytes * 1000000 + one.size());
    while (buffer.size() < megabytes * 1000000) buffer.insert(buffer.end(), one.begin(), one.end());

    uint64_t unitsFast = 0, unitsRef = 0, sumFast = 0, sumRef = 0;
    double fast = 1e9, ref = 1e9;
    for (int round = 0; round < 3; ++round) {  // best of three, alternating
        fast = std::min(fast, Run(buffer, FindNextNalUnit, &unitsFast, &sumFast));
        ref = std::min(ref, Run(buffer, reference::FindNextNalUnit, &unitsRef, &sumRef));
    }
    if (unitsFast != unitsRef || sumFast != sumRef) {
        fprintf(stderr, "bench_scanner: the scanners disagree (%llu vs %llu units)\n",
                (unsigned long long)unitsFast, (unsigned long long)unitsRef);
        return 1;
    }
    const double mb = double(buffer.size()) / 1e6;
    printf("buffer: %.1f MB of stream data, %llu NAL units\n", mb, (unsigned long long)unitsFast);
    printf("scanner:   %8.1f MB/s (%.3f s)\n", mb / fast, fast);
    printf("reference: %8.1f MB/s (%.3f s)\n", mb / ref, ref);
    printf("ratio: %.2fx the byte-by-byte reference\n", ref / fast);
    return 0;
}
