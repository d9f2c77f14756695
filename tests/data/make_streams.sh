#!/usr/bin/env bash
# Makes the test streams of this directory with the x264 and ffmpeg command-line tools, and the
# facts file streams.tsv that the tests check conversions against. Run it again to remake them:
#
#   tests/data/make_streams.sh
#
# Every picture source is a deterministic ffmpeg test pattern (lavfi testsrc2 / mandelbrot),
# piped as y4m into x264 with one thread so that the output is reproducible. The facts are read
# back from the made files with ffprobe and a small SPS reader below, not typed in.
set -euo pipefail
cd "$(dirname "$0")"
for t in x264 ffmpeg ffprobe python3; do
    command -v $t >/dev/null || { echo "needs $t (apt-get install x264 ffmpeg python3)" >&2; exit 2; }
done

# src SIZE RATE FRAMES [PATTERN]: y4m on stdout.
src() {
    ffmpeg -v error -f lavfi -i "${4:-testsrc2}=size=$1:rate=$2" -frames:v "$3" \
        -pix_fmt yuv420p -f yuv4mpegpipe -
}
# enc OUT [x264 options...]: encodes y4m from stdin.
enc() {
    local out=$1; shift
    x264 --quiet --threads 1 --lookahead-threads 1 --demuxer y4m --crf 32 "$@" -o "$out" - 2>/dev/null
}

# 1. Baseline, no B-frames, 320x240 at 25 fps (pic_order_cnt_type 2).
src 320x240 25 30 | enc baseline_320x240.h264 --profile baseline --keyint 10
# 2. Main, B-frames, 640x360: coded as 640x368 and cropped.
src 640x360 25 24 | enc main_bframes_640x360.h264 --profile main --bframes 2 --b-pyramid none --keyint 12
# 3. High, B-pyramid, 30 fps.
src 640x360 30 30 | enc high_bpyramid_640x360.h264 --profile high --bframes 3 --b-pyramid normal --keyint 15
# 4. High with the JVT scaling matrices (seq_scaling_matrix_present_flag).
src 320x240 25 12 | enc high_cqm_320x240.h264 --profile high --cqm jvt --bframes 1 --keyint 6
# 5. High 4:4:4 Predictive (profile_idc 244).
ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 12 -pix_fmt yuv444p -f yuv4mpegpipe - |
    enc high444_320x240.h264 --profile high444 --output-csp i444 --keyint 6
# 6. Interlaced (frame_mbs_only_flag 0, MBAFF), top field first, 720x576.
src 720x576 25 8 | enc interlaced_720x576.h264 --tff --bframes 1 --keyint 4 --crf 38
# 7. Four slices per picture.
src 640x360 25 12 | enc slices4_640x360.h264 --slices 4 --bframes 2 --keyint 6
# 8. Access unit delimiters.
src 320x240 25 15 | enc aud_320x240.h264 --aud --bframes 2 --keyint 5
# 9. Every start code 3 bytes long: stream 1 with each 00 00 00 01 turned into 00 00 01.
python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); open(sys.argv[2],"wb").write(d.replace(b"\0\0\0\1", b"\0\0\1"))' \
    baseline_320x240.h264 startcode3_320x240.h264
# 10. 1920x1080 (coded 1920x1088), few pictures.
src 1920x1080 25 5 mandelbrot | enc main_1920x1080.h264 --profile main --bframes 1 --keyint 5 --crf 45
# 11. Picture timing and buffering period SEI in every picture (HRD), with B-frames.
src 320x240 25 20 | enc sei_every_picture_320x240.h264 --nal-hrd vbr --vbv-bufsize 500 \
    --vbv-maxrate 500 --bitrate 300 --pic-struct --bframes 2 --keyint 10
# 12. Open GOP: non-IDR I pictures carrying a recovery point SEI.
src 320x240 25 36 | enc open_gop_320x240.h264 --open-gop --bframes 3 --keyint 12 --min-keyint 12
# 13. NTSC and high frame rates, with B-frames: 23.976, 29.97 and 60 fps in the VUI timing.
src 320x240 24000/1001 16 | enc fps23976_320x240.h264 --fps 24000/1001 --bframes 2 --keyint 8
src 320x240 30000/1001 16 | enc fps2997_320x240.h264 --fps 30000/1001 --bframes 2 --keyint 8
src 320x240 60 20 | enc fps60_320x240.h264 --fps 60 --bframes 3 --keyint 10
# 14. 4:2:2 (High 4:2:2, profile_idc 122).
ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 10 -pix_fmt yuv422p -f yuv4mpegpipe - |
    enc high422_320x240.h264 --profile high422 --output-csp i422 --keyint 5
# 15. Weighted prediction and four references (pred_weight_table, reordered reference lists).
src 320x240 25 20 mandelbrot | enc weightp_320x240.h264 --weightp 2 --ref 4 --bframes 2 --keyint 10
# 16. No timing information in the VUI: the stream says nothing of its rate (x264 always writes
#     it, so its timing_info_present_flag is cleared in the SPS by the python below).
src 320x240 25 10 | enc notiming_320x240.h264 --bframes 0 --keyint 5 --profile baseline

python3 - <<'PY'
import glob, re, subprocess

class Bits:
    def __init__(self, b): self.b, self.p = b, 0
    def u(self, n):
        v = 0
        for _ in range(n):
            v = (v << 1) | ((self.b[self.p >> 3] >> (7 - (self.p & 7))) & 1); self.p += 1
        return v
    def ue(self):
        z = 0
        while self.u(1) == 0: z += 1
        return (1 << z) - 1 + self.u(z)
    def se(self):
        k = self.ue(); return (k + 1) // 2 if k & 1 else -(k // 2)

def unescape(n): return re.sub(b"\x00\x00\x03", b"\x00\x00", n)

def escape(r):
    out, zeros = bytearray(), 0
    for c in r:
        if zeros >= 2 and c <= 3:
            out.append(3); zeros = 0
        out.append(c); zeros = zeros + 1 if c == 0 else 0
    return bytes(out)

def nal_spans(d):
    """(start of header byte, end) of every NAL unit, trailing zeros left out."""
    starts = [m.end() for m in re.finditer(b"\x00\x00\x01", d)]
    for i, s in enumerate(starts):
        e = starts[i + 1] - 3 if i + 1 < len(starts) else len(d)
        while e > s and d[e - 1] == 0: e -= 1
        yield s, e

def parse_sps(rbsp):
    """The SPS fields the facts need, and the bit position of timing_info_present_flag."""
    b = Bits(rbsp); b.u(8)
    f = {"profile_idc": b.u(8)}; b.u(16); b.ue()
    f["chroma_format_idc"] = 1
    if f["profile_idc"] in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
        f["chroma_format_idc"] = b.ue()
        if f["chroma_format_idc"] == 3: b.u(1)
        b.ue(); b.ue(); b.u(1)
        if b.u(1):
            for i in range(12 if f["chroma_format_idc"] == 3 else 8):
                if b.u(1):
                    last = nxt = 8
                    for _ in range(16 if i < 6 else 64):
                        if nxt: nxt = (last + b.se()) % 256
                        if nxt: last = nxt
    b.ue(); t = b.ue()
    if t == 0: b.ue()
    elif t == 1:
        b.u(1); b.se(); b.se()
        for _ in range(b.ue()): b.se()
    b.ue(); b.u(1)
    w = (b.ue() + 1) * 16; hm = b.ue() + 1
    f["frame_mbs_only"] = b.u(1)
    if not f["frame_mbs_only"]: b.u(1)
    b.u(1)
    if b.u(1):
        for _ in range(4): b.ue()
    f["coded_width"], f["coded_height"] = w, (2 - f["frame_mbs_only"]) * hm * 16
    f["timing_at"] = None
    if b.u(1):  # VUI
        if b.u(1) and b.u(8) == 255: b.u(32)
        if b.u(1): b.u(1)
        if b.u(1):
            b.u(4)
            if b.u(1): b.u(24)
        if b.u(1): b.ue(); b.ue()
        f["timing_at"] = b.p
    return f

def clear_timing(path):
    """Stream 16: timing_info_present_flag cleared, and its 65 bits taken out, in every SPS."""
    d = open(path, "rb").read()
    out, at = bytearray(), 0
    for s, e in nal_spans(d):
        if d[s] & 0x1F != 7: continue
        rbsp = unescape(d[s:e])
        p = parse_sps(rbsp)["timing_at"]
        bits = "".join(f"{x:08b}" for x in rbsp)
        assert p is not None and bits[p] == "1"
        bits = (bits[:p] + "0" + bits[p + 66:]).rstrip("0")[:-1] + "1"
        bits += "0" * (-len(bits) % 8)
        new = escape(bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8)))
        out += d[at:s] + new; at = e
    out += d[at:]
    open(path, "wb").write(bytes(out))

clear_timing("notiming_320x240.h264")

def probe(path, entries, extra=()):
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", *extra,
                        "-show_entries", entries, "-of", "default=nw=1", path],
                       capture_output=True, text=True, check=True).stdout
    return dict(l.split("=", 1) for l in r.split("\n") if "=" in l)

cols = ["file", "width", "height", "coded_width", "coded_height", "profile_idc",
        "chroma_format_idc", "frame_mbs_only", "frames", "fps_num", "fps_den", "bframes", "idr",
        "recovery_points", "slices_per_picture", "start_code", "sei_every_picture", "bytes"]
rows = []
for path in sorted(glob.glob("*.h264")):
    d = open(path, "rb").read()
    st = probe(path, "stream=width,height,r_frame_rate,nb_read_frames", ["-count_frames"])
    types = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "frame=pict_type", "-of", "csv=p=0", path],
                           capture_output=True, text=True, check=True).stdout.split()
    sps = idr = rec = slices = sei = 0
    for s, e in nal_spans(d):
        t = d[s] & 0x1F
        if t == 7 and not sps: sps = parse_sps(unescape(d[s:e]))
        if t in (1, 5):
            slices += 1
            if t == 5 and d[s + 1] & 0x80: idr += 1
        if t == 6:
            sei += 1
            if d[s + 1] == 6: rec += 1
    frames = int(st["nb_read_frames"])
    num, den = st["r_frame_rate"].split("/")
    rows.append({"file": path, "width": st["width"], "height": st["height"],
                 "coded_width": sps["coded_width"], "coded_height": sps["coded_height"],
                 "profile_idc": sps["profile_idc"], "chroma_format_idc": sps["chroma_format_idc"],
                 "frame_mbs_only": sps["frame_mbs_only"], "frames": frames, "fps_num": num,
                 "fps_den": den, "bframes": int("B" in types), "idr": idr, "recovery_points": rec,
                 "slices_per_picture": slices // frames,
                 "start_code": 4 if b"\x00\x00\x00\x01" in d else 3,
                 "sei_every_picture": int(sei >= frames), "bytes": len(d)})
with open("streams.tsv", "w") as f:
    f.write("\t".join(cols) + "\n")
    for r in rows: f.write("\t".join(str(r[c]) for c in cols) + "\n")
print("\n".join("\t".join(str(r[c]) for c in cols) for r in rows))
PY
