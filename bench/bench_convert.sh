#!/usr/bin/env bash
# Converter throughput and memory against a plain copy and FFmpeg, on the same input in one run.
#
#   bench/bench_convert.sh [BUILD_DIR] [MEGABYTES] [STREAM]
#
# Makes a stream of at least MEGABYTES (default 300) by repeating STREAM (default: the B-pyramid
# test stream), then times `cp`, `tovanmuxer-cli` and `ffmpeg -i IN -c copy OUT.mp4` on it, each
# best of five with a warm page cache, and reports their times, the ratios and the peak resident
# memory of each (from getrusage of the child). The CLI is also run on a 10 MB stream, to show
# that its memory does not grow with the input.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
mb=${2:-300}
stream=${3:-$here/tests/data/high_bpyramid_640x360.h264}
cli=$build/cli/tovanmuxer-cli
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 2; }
[ -f "$stream" ] || stream=$(ls "$here"/tests/data/*.h264 | head -n1)
work=$(mktemp -d "${TMPDIR:-/tmp}/tovanbench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$stream" "$work/big.h264" "$mb" "$work/small.h264" <<'PY'
import sys
src, big, mb, small = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
one = open(src, "rb").read()
for path, size in ((big, mb * 1000000), (small, 10 * 1000000)):
    with open(path, "wb") as f:
        n = 0
        while n < size:
            f.write(one)
            n += len(one)
PY

python3 - "$work" "$cli" <<'PY'
import os, resource, subprocess, sys, time
work, cli = sys.argv[1], sys.argv[2]
big, small = os.path.join(work, "big.h264"), os.path.join(work, "small.h264")

def run(cmd):
    """Best wall time of three runs and the peak RSS (MB) of the command."""
    best, rss = None, 0
    for _ in range(5):
        for f in os.listdir(work):
            if f.startswith("out"):
                os.unlink(os.path.join(work, f))
        os.sync()  # no write-back of an earlier run's pages during this one
        t0 = time.perf_counter()
        p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, err = p.communicate()
        dt = time.perf_counter() - t0
        if p.returncode != 0:
            sys.exit("failed: %s\n%s" % (" ".join(cmd), err.decode(errors="replace")))
        best = dt if best is None else min(best, dt)
    return best

def peak_rss(cmd):
    pid = os.fork()
    if pid == 0:
        fd = os.open(os.devnull, os.O_WRONLY)
        os.dup2(fd, 1); os.dup2(fd, 2)
        os.execvp(cmd[0], cmd)
    _, status, ru = os.wait4(pid, 0)
    return ru.ru_maxrss / 1024.0

size_mb = os.path.getsize(big) / 1e6
open(big, "rb").read()  # warm the page cache
out = os.path.join(work, "out.mp4")
cmds = {
    "cp": ["cp", big, out],
    "cat >": ["sh", "-c", 'cat "$0" > "$1"', big, out],
    "tovanmuxer-cli": [cli, big, "-o", out],
    "ffmpeg -c copy": ["ffmpeg", "-v", "error", "-y", "-i", big, "-c", "copy", out],
}
times = {k: run(v) for k, v in cmds.items()}
rss = {}
for k, v in cmds.items():
    for f in os.listdir(work):
        if f.startswith("out"):
            os.unlink(os.path.join(work, f))
    rss[k] = peak_rss(v)
for f in os.listdir(work):
    if f.startswith("out"):
        os.unlink(os.path.join(work, f))
rss_small = peak_rss([cli, small, "-o", out])

print("input: %.0f MB" % size_mb)
for k in cmds:
    print("%-16s %7.3f s  %8.1f MB/s  peak RSS %6.1f MB" % (k, times[k], size_mb / times[k], rss[k]))
print("tovanmuxer-cli / cp:     %.2fx the copy's time" % (times["tovanmuxer-cli"] / times["cp"]))
print("ffmpeg / tovanmuxer-cli: %.2fx faster than FFmpeg" % (times["ffmpeg -c copy"] / times["tovanmuxer-cli"]))
print("tovanmuxer-cli peak RSS: %.1f MB on %.0f MB, %.1f MB on 10 MB" % (rss["tovanmuxer-cli"], size_mb, rss_small))
PY
