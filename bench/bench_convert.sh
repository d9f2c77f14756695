#!/usr/bin/env bash
# The converter's speed and memory against a plain copy and FFmpeg, in one run on this machine:
#
#   bench/bench_convert.sh [BUILD_DIR] [MEGABYTES] [ROUNDS]
#
# 1. A stream of at least MEGABYTES (default 300, in 10^6 bytes) made by concatenating several
#    different test streams of tests/data over and over (each one starts with its own SPS, PPS
#    and IDR picture, so the parameter sets change at every join). On it `cp`, `dd conv=fsync`,
#    `tovanmuxer-cli` and `ffmpeg -c copy` into .mp4 are each run once as a warm-up (which also
#    fills the page cache with the input), then ROUNDS (default 5) timed rounds, the commands in
#    turn in each round so that a change in the machine's load falls on all of them; the best
#    and the median wall time of each are shown. `dd conv=fsync` is the same copy made durable
#    before it ends, as the converter makes its output (fsync before the file takes its name),
#    which cp and FFmpeg do not: the times are set against it, the converter's to be at most
#    1.05 times its time and at most half FFmpeg's (both on the medians). With BEFORE=CLI in the
#    environment, that other build of the CLI (an earlier commit's) runs in the same rounds.
#    Before every run the earlier output is deleted and `sync` writes back dirty pages, outside
#    the timing. (GNU cp copies with copy_file_range, inside the kernel: the floor for any
#    program that writes a file as large as it reads.) Every run goes through GNU time
#    (/usr/bin/time -f %M), whose peak RSS of the command is its own alone (a child of this
#    python would count the interpreter's pages until exec); the CLI's largest is set against
#    16 MB + 16 bytes a picture of that stream.
#    `cli --fragment 1` is the same conversion into a fragmented file of one-second fragments
#    (written as an unfragmented file is: under a hidden name, made durable once it is whole).
#    The same for H.265: a stream of the same size joined from the H.265 test streams that are
#    8-bit 4:2:0, progressive and start with a picture a decoder can start from.
# 2. A stream of about 100 KB (a few of the same test streams): the CLI's whole-process time
#    (start-up included) against `cp` of the same file, 200 runs each, interleaved; the ratio of
#    the medians, and of the best runs.
# 3. Memory on hostile input: MEGABYTES of SEI units in front of one picture. The converter
#    refuses it once the units waiting for a picture pass 64 MiB; its peak RSS is set against
#    16 MB plus those 64 MiB.
# 4. A live recording: LIVE_MEGABYTES (default 2000) of the joined H.264 stream through a pipe
#    (`cat STREAM | tovanmuxer-cli - -o OUT`), a fragmented file of one-second fragments; its
#    peak RSS against 16 MB plus twice the largest fragment (the one gathered and its copy
#    into the file's buffer), which does not grow with the length of the recording.
# 5. Timestamps: the H.264 stream of 1. with a v2 timestamp file of 270,000 times against the
#    same conversion without it (best of 5 interleaved rounds), and the peak RSS of both.
# 6. Fast start: the stream of 1. converted with --faststart against the classic conversion.
# 7. Sound: the H.264 stream of 1. with 30 minutes of sound beside it (--audio), AAC (ADTS, made
#    by ffmpeg's encoder) and 16-bit PCM at 48 kHz stereo (345.6 MB), against a durable copy of
#    both inputs' bytes (`cat V A | dd conv=fsync`) and, for AAC, `ffmpeg -i V -i A -c copy`
#    (FFmpeg's MP4 writer refuses PCM): the medians of ROUNDS rounds and the peak RSS, the
#    converter's to be at most 1.05x the copy's time, half FFmpeg's, and within 20 MB. With
#    BEFORE=CLI, that other build runs in the same rounds here too.
# 8. A camera's file: a DHAV file of MEGABYTES (the DAHUA header, then a frame for each picture
#    of the H.264 stream of 1., 39 to 41 ms apart on a millisecond counter that wraps, and a frame
#    of 40 ms of A-law sound every 40 ms, written 100 ms behind the pictures), made by this
#    script, against a durable copy of its bytes: the medians of ROUNDS rounds, the converter's
#    at most 1.1x the copy's, and its peak RSS.
# Each round runs the commands in another order (the same orders in every run of the bench), so
# that no command always follows the same one: on a virtual machine, the run right after the
# durable copy has measured up to 1.4x slower than the same binary later in the round.
# BENCH=sound (or any of h264 h265 sei live timestamps faststart sound camera, comma-separated) runs
# only those parts. Prints a small table. Needs python3, ffmpeg, GNU time (scripts/deps.sh installs them) and a
# build of tovanmuxer-cli.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
mb=${2:-300}
rounds=${3:-5}
cli=$build/cli/tovanmuxer-cli
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 2; }
for t in python3 ffmpeg cp sync /usr/bin/time; do command -v $t >/dev/null || { echo "needs $t" >&2; exit 2; }; done
work=$(mktemp -d "${TMPDIR:-/tmp}/tovanbench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$here/tests/data" "$work" "$cli" "$mb" "$rounds" <<'PY'
import calendar, csv, os, random, re, statistics, struct, subprocess, sys, time

data, work, cli, mb, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
before = os.environ.get("BEFORE")
# Different streams, all 25 fps, 8-bit 4:2:0 and progressive, so that the joined stream is one
# that a camera or an editor could have written: sizes from 320x240 to 1920x1080, with and
# without B-frames, one to four slices, AUDs, SEI, an open GOP.
NAMES = ["main_bframes_640x360.h264", "slices4_640x360.h264", "weightp_320x240.h264",
         "main_1920x1080.h264", "open_gop_320x240.h264", "sei_every_picture_320x240.h264",
         "aud_320x240.h264", "baseline_320x240.h264", "high_cqm_320x240.h264"]
with open(os.path.join(data, "streams.tsv")) as f:
    facts = {r["file"]: r for r in csv.DictReader(f, delimiter="\t")}
H265_NAMES = sorted(n for n, r in facts.items()
                    if r["codec"] == "h265" and r["bit_depth"] == "8" and r["chroma_format_idc"] == "1"
                    and r.get("field_seq", "0") == "0" and r["leading_pictures"] == "0")

def load(names):
    return [(open(os.path.join(data, n), "rb").read(), int(facts[n]["pictures"])) for n in names]

def join(path, size, streams):
    """Writes the streams in turn, whole, until `size` bytes; returns (bytes, pictures)."""
    n = pictures = i = 0
    with open(path, "wb") as f:
        while n < size:
            d, p = streams[i % len(streams)]
            f.write(d)
            n, pictures, i = n + len(d), pictures + p, i + 1
    return n, pictures

out = os.path.join(work, "out.mp4")

def commands(src):
    return {"cp": ["cp", src, out],
            "dd conv=fsync": ["dd", "if=" + src, "of=" + out, "bs=1M", "conv=fsync", "status=none"],
            "tovanmuxer-cli": [cli, src, "-o", out],
            "cli --fragment 1": [cli, src, "-o", out, "--fragment", "1"],
            "ffmpeg -c copy": ["ffmpeg", "-v", "error", "-y", "-i", src, "-c", "copy", out],
            **({"cli before": [before, src, "-o", out]} if before else {})}

rss_file = os.path.join(work, "rss")

def run(cmd, flush=True, measure_rss=True, fails=False):
    """Wall time (s) and peak RSS (bytes) of one run of cmd, its output deleted before; with
    `fails`, the run must fail."""
    if os.path.exists(out):
        os.unlink(out)
    if flush:
        subprocess.run(["sync"], check=True)
    if measure_rss:
        cmd = ["/usr/bin/time", "-f", "%M", "-o", rss_file] + cmd
    t0 = time.perf_counter()
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    dt = time.perf_counter() - t0
    if (p.returncode != 0) != fails:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), p.stderr.decode(errors="replace")))
    return dt, int(open(rss_file).read().split()[-1]) * 1024 if measure_rss else 0

MB = 1e6

def timed_rounds(cmds):
    """Each command once as a warm-up, then ROUNDS rounds of all of them in turn, in another
    order each round: each one's wall times and its largest peak RSS."""
    for c in cmds.values():
        run(c)  # warm-up
    walls = {k: [] for k in cmds}
    rss = {k: 0 for k in cmds}
    order = list(cmds.items())
    shuffle = random.Random(1)
    for _ in range(rounds):
        shuffle.shuffle(order)
        for k, c in order:
            dt, r = run(c)
            walls[k].append(dt)
            rss[k] = max(rss[k], r)
    return walls, rss

def bench(label, names):
    """The big stream's table and the small stream's line for one codec's test streams."""
    streams = load(names)
    big, small = os.path.join(work, "big.bin"), os.path.join(work, "small.bin")
    big_bytes, big_pictures = join(big, mb * 1000000, streams)
    small_bytes, _ = join(small, 100000, streams)
    cmds = commands(big)
    walls, rss = timed_rounds(cmds)
    best = {k: min(v) for k, v in walls.items()}
    median = {k: statistics.median(v) for k, v in walls.items()}

    small_cmds = {k: v for k, v in commands(small).items() if k in ("cp", "tovanmuxer-cli")}
    times = {k: [] for k in small_cmds}
    for c in small_cmds.values():
        run(c, measure_rss=False)
    for _ in range(200):
        for k, c in small_cmds.items():
            times[k].append(run(c, flush=False, measure_rss=False)[0])

    print("%s: joined stream %.1f MB, %d pictures (%d test streams, over and over), %d rounds"
          % (label, big_bytes / MB, big_pictures, len(names), rounds))
    print("%-16s %9s %10s %9s %10s %8s %10s"
          % ("", "best (s)", "median (s)", "MB/s", "x dd best", "x dd med", "peak RSS"))
    dd = "dd conv=fsync"
    for k in cmds:
        print("%-16s %9.3f %10.3f %9.0f %10.2f %8.2f %7.1f MB"
              % (k, best[k], median[k], big_bytes / MB / best[k], best[k] / best[dd],
                 median[k] / median[dd], rss[k] / MB))
    budget = 16 * MB + 16 * big_pictures
    print("tovanmuxer-cli peak RSS %.1f MB against 16 MB + 16 B x %d pictures = %.1f MB: %.2f of it"
          % (rss["tovanmuxer-cli"] / MB, big_pictures, budget / MB, rss["tovanmuxer-cli"] / budget))
    for k in ("tovanmuxer-cli", "cli --fragment 1"):
        print("%s, medians: %.2fx dd conv=fsync (a copy made durable, as the converter makes its "
              "output; at most 1.05), ffmpeg -c copy %.2fx its time (at least 2)"
              % (k, median[k] / median[dd], median["ffmpeg -c copy"] / median[k]))
    med = {k: statistics.median(v) for k, v in times.items()}
    low = {k: min(v) for k, v in times.items()}
    print("small stream %.0f KB, %d runs each: cp %.2f ms (best %.2f), tovanmuxer-cli %.2f ms "
          "(best %.2f): %.1fx cp's time (best %.1fx)"
          % (small_bytes / 1000, len(times["cp"]), med["cp"] * 1e3, low["cp"] * 1e3,
             med["tovanmuxer-cli"] * 1e3, low["tovanmuxer-cli"] * 1e3,
             med["tovanmuxer-cli"] / med["cp"], low["tovanmuxer-cli"] / low["cp"]))
    print()

def sei_flood():
    """MEGABYTES of SEI units (1 MiB of user data each) between the parameter sets and the first
    picture of a test stream: the CLI must refuse it within 16 MB plus the 64 MiB cap."""
    d = open(os.path.join(data, NAMES[0]), "rb").read()
    first = min(i for i in (d.find(b"\x00\x00\x01\x65"), d.find(b"\x00\x00\x01\x25")) if i >= 0)
    payload = 1 << 20
    size = b"\xff" * (payload // 255) + bytes([payload % 255])
    sei = b"\x00\x00\x00\x01\x06\x05" + size + b"\x80" * payload + b"\x80"
    path = os.path.join(work, "sei.h264")
    with open(path, "wb") as f:
        f.write(d[:first])
        for _ in range(mb * 1000000 // len(sei) + 1):
            f.write(sei)
        f.write(d[first:])
    dt, r = run([cli, path, "-o", out], fails=True)
    budget = 16 * MB + (64 << 20)
    print("SEI flood: %.1f MB of SEI in front of one picture: refused in %.3f s, peak RSS %.1f MB "
          "against 16 MB + the 64 MiB cap = %.1f MB: %.2f of it"
          % (os.path.getsize(path) / MB, dt, r / MB, budget / MB, r / budget))
    os.unlink(path)

def live_pipe():
    """A long stream through a pipe into a fragmented file: memory bounded by a fragment."""
    live_mb = int(os.environ.get("LIVE_MEGABYTES", "2000"))
    path = os.path.join(work, "live.h264")
    size, pictures = join(path, live_mb * 1000000, load(NAMES))
    if os.path.exists(out):
        os.unlink(out)
    t0 = time.monotonic()
    subprocess.run("cat '%s' | /usr/bin/time -o '%s' -f %%M '%s' - -o '%s' >/dev/null"
                   % (path, rss_file, cli, out), shell=True, check=True)
    dt = time.monotonic() - t0
    rss = int(open(rss_file).read().split()[-1]) * 1024
    # The largest fragment: the most bytes between two sync pictures a second or more apart
    # is at most the largest joined stream (each starts with an IDR picture), two of them.
    largest = 2 * max(len(d) for d, _ in load(NAMES))
    budget = 16 * MB + 2 * largest
    print("live: %.1f MB (%d pictures) through a pipe into a fragmented file in %.1f s: peak RSS "
          "%.1f MB against 16 MB + two fragments = %.1f MB: %.2f of it"
          % (size / MB, pictures, dt, rss / MB, budget / MB, rss / budget))
    os.unlink(path)
    os.unlink(out)
def timestamps():
    """The same H.264 stream with a timestamp file of 270,000 times (v2, jittered as a camera
    writes them) against the conversion without it: best of 5 interleaved rounds each."""
    path = os.path.join(work, "big.bin")
    size, pictures = join(path, mb * 1000000, load(NAMES))
    stamps = os.path.join(work, "times.txt")
    with open(stamps, "w") as f:
        f.write("# timestamp format v2\n")
        for k in range(270000):
            f.write("%.3f\n" % (k * 33.367 + (k % 7) * 0.611))
    cmds = {"without": [cli, path, "-o", out], "with": [cli, path, "--timestamps", stamps, "-o", out]}
    for c in cmds.values():
        run(c)  # warm-up
    best = {k: float("inf") for k in cmds}
    rss = {k: 0 for k in cmds}
    for _ in range(5):
        for k, c in cmds.items():
            dt, r = run(c)
            best[k], rss[k] = min(best[k], dt), max(rss[k], r)
    print("timestamps: %.1f MB, %d pictures, a v2 file of 270000 times: %.3f s with it, %.3f s "
          "without: %.2fx; peak RSS %.1f MB with, %.1f MB without"
          % (size / MB, pictures, best["with"], best["without"], best["with"] / best["without"],
             rss["with"] / MB, rss["without"] / MB))
    os.unlink(stamps)
def faststart():
    """The H.264 stream of MEGABYTES converted with --faststart (moov in front: the media data
    moves up by the moov's size at the end) against the classic conversion, each made durable as
    always: 5 rounds, the two in turn, the best of each."""
    big = os.path.join(work, "big.bin")
    big_bytes, _ = join(big, mb * 1000000, load(NAMES))
    cmds = {"classic": [cli, big, "-o", out], "--faststart": [cli, big, "-o", out, "--faststart"]}
    for c in cmds.values():
        run(c)  # warm-up
    best = {k: float("inf") for k in cmds}
    for _ in range(5):
        for k, c in cmds.items():
            best[k] = min(best[k], run(c)[0])
    print("fast start: %.1f MB H.264, classic %.3f s, --faststart %.3f s: %.2fx the classic "
          "time (goal: at most 1.5x)"
          % (big_bytes / MB, best["classic"], best["--faststart"],
             best["--faststart"] / best["classic"]))
    os.unlink(big)

def sound():
    """30 minutes of AAC and of 48 kHz stereo PCM beside the H.264 stream of 1."""
    big = os.path.join(work, "big.bin")
    big_bytes, _ = join(big, mb * 1000000, load(NAMES))
    aac, pcm = os.path.join(work, "sound.aac"), os.path.join(work, "sound.pcm")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=f=440:r=48000:d=1800", "-ac", "2", "-c:a", "aac", "-b:a", "128k",
                    "-f", "adts", aac], check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=f=440:r=48000:d=1800", "-ac", "2", "-f", "s16le", pcm], check=True)
    for label, a in (("AAC", aac), ("PCM", pcm)):
        cmds = {"dd conv=fsync": ["sh", "-c", "cat '%s' '%s' | dd of='%s' bs=1M conv=fsync "
                                  "status=none" % (big, a, out)],
                "tovanmuxer-cli": [cli, big, "--audio", a, "-o", out],
                **({"cli before": [before, big, "--audio", a, "-o", out]} if before else {})}
        if label == "AAC":
            cmds["ffmpeg -c copy"] = ["ffmpeg", "-v", "error", "-y", "-i", big, "-i", a, "-map",
                                      "0:v", "-map", "1:a", "-c", "copy", out]
        walls, rss = timed_rounds(cmds)
        median = {k: statistics.median(v) for k, v in walls.items()}
        total = big_bytes + os.path.getsize(a)
        line = ("sound: %.1f MB H.264 + 30 min %s (%.1f MB): cli %.3f s, dd conv=fsync %.3f s: "
                "%.2fx (at most 1.05)" % (big_bytes / MB, label, os.path.getsize(a) / MB,
                                         median["tovanmuxer-cli"], median["dd conv=fsync"],
                                         median["tovanmuxer-cli"] / median["dd conv=fsync"]))
        if "ffmpeg -c copy" in median:
            line += "; ffmpeg -c copy %.3f s: %.2fx the cli's (at least 2)" % (
                median["ffmpeg -c copy"], median["ffmpeg -c copy"] / median["tovanmuxer-cli"])
        if before:
            line += "; cli before %.3f s: %.2fx the copy's" % (
                median["cli before"], median["cli before"] / median["dd conv=fsync"])
        print(line + "; cli peak RSS %.1f MB (within 20)" % (rss["tovanmuxer-cli"] / MB))
    os.unlink(aac)
    os.unlink(pcm)
    os.unlink(big)

def access_units(d):
    """The access units of an H.264 stream: (bytes with 4-byte start codes, key picture)."""
    starts = [m.start() for m in re.finditer(b"\x00\x00\x01", d)]
    units = []
    for i, a in enumerate(starts):
        e = starts[i + 1] if i + 1 < len(starts) else len(d)
        u = d[a + 3:e].rstrip(b"\x00")  # zero bytes at the end belong to the next start code
        if len(u) >= 2:
            units.append(u)
    aus, vcl_seen = [], False
    for u in units:
        t = u[0] & 0x1F
        vcl = 1 <= t <= 5
        if not aus or (vcl_seen and ((vcl and u[1] & 0x80) or t in (6, 7, 8, 9))):
            aus.append([bytearray(), False])
            vcl_seen = False
        aus[-1][0] += b"\x00\x00\x00\x01" + u
        aus[-1][1] = aus[-1][1] or t == 5
        vcl_seen = vcl_seen or vcl
    return [(bytes(b), k) for b, k in aus]

def camera():
    """A DVR's file of MEGABYTES: the pictures of the joined H.264 stream in DHAV frames behind
    the DAHUA header, their times 39 to 41 ms apart on a millisecond counter that wraps, and
    A-law sound frames of 40 ms written 100 ms behind the pictures of their time."""
    path = os.path.join(work, "camera.dav")
    streams = [access_units(d) for d, _ in load(NAMES)]
    start = calendar.timegm((2026, 12, 7, 14, 3, 59))
    number = 0

    def frame(kind, ext, payload, t):
        nonlocal number
        length = 24 + len(ext) + len(payload) + 8
        c = time.gmtime(start + (t + 400) // 1000)
        date = (c.tm_sec | c.tm_min << 6 | c.tm_hour << 12 | c.tm_mday << 17 | c.tm_mon << 22
                | (c.tm_year - 2000) << 26)
        head = b"DHAV" + bytes([kind, 0, 0, 0]) + struct.pack(
            "<IIIHB", number, length, date, (60000 + t) & 0xFFFF, len(ext))
        number += 1
        return head + bytes([sum(head) & 0xFF]) + ext + payload + b"dhav" + struct.pack("<I", length)

    key_ext = bytes([0x80, 0, 20, 15, 0x81, 0, 2, 25, 0x88, 0, 0, 0, 0, 0, 0, 0])
    sound_ext = bytes([0x83, 1, 0x0E, 0])
    alaw = bytes((0xD5 ^ (k * 37 & 0x7F)) for k in range(320))
    size = pictures = sounds = t = heard = i = 0
    with open(path, "wb") as f:
        f.write(b"DAHUA" + bytes(0x400 - 5))
        while size < mb * 1000000:
            for au, key in streams[i % len(streams)]:
                while heard + 100 <= t:
                    size += f.write(frame(0xF0, sound_ext, alaw, heard))
                    heard, sounds = heard + 40, sounds + 1
                size += f.write(frame(0xFD if key else 0xFC, key_ext if key else b"", au, t))
                t, pictures = t + (39, 40, 41, 40)[pictures % 4], pictures + 1
            i += 1
    cmds = {"dd conv=fsync": ["dd", "if=" + path, "of=" + out, "bs=1M", "conv=fsync",
                              "status=none"],
            "tovanmuxer-cli": [cli, path, "-o", out],
            **({"cli before": [before, path, "-o", out]} if before else {})}
    walls, rss = timed_rounds(cmds)
    median = {k: statistics.median(v) for k, v in walls.items()}
    dd = median["dd conv=fsync"]
    budget = 16 * MB + 16 * pictures
    print("camera: DHAV file %.1f MB, %d pictures, %d A-law frames, %d rounds: dd conv=fsync "
          "%.3f s, %s; tovanmuxer-cli %.2fx dd (at most 1.1), peak RSS %.1f MB against 16 MB + "
          "16 B x %d pictures = %.1f MB"
          % (os.path.getsize(path) / MB, pictures, sounds, rounds, dd,
             ", ".join("%s %.3f s" % (k, v) for k, v in median.items() if k != "dd conv=fsync"),
             median["tovanmuxer-cli"] / dd, rss["tovanmuxer-cli"] / MB, pictures, budget / MB))
    os.unlink(path)

parts = os.environ.get("BENCH", "h264,h265,sei,live,timestamps,faststart,sound,camera").split(",")
if "h264" in parts: bench("H.264", NAMES)
if "h265" in parts: bench("H.265", H265_NAMES)
if "sei" in parts: sei_flood()
if "live" in parts: live_pipe()
if "timestamps" in parts: timestamps()
if "faststart" in parts: faststart()
if "sound" in parts: sound()
if "camera" in parts: camera()
PY
