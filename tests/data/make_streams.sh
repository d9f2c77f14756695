#!/usr/bin/env bash
# Makes the test streams of this directory with the x264, x265 and ffmpeg command-line tools
# (the H.265 ones through make_h265_streams.sh), and the facts file streams.tsv that the tests
# check conversions against. Run it again to remake them:
#
#   tests/data/make_streams.sh
#
# Every picture source is a deterministic ffmpeg test pattern (lavfi testsrc2 / mandelbrot),
# piped as y4m into x264 (or x265) with one thread so that the output is reproducible. The facts
# are read back from the made files with ffprobe and a small NAL/VPS/SPS/SEI reader below, not
# typed in, and the script stops if the reader and ffprobe disagree. The reader tells the codec
# from the stream's first parameter set, not from the file name. No network is needed.
set -euo pipefail
cd "$(dirname "$0")"
for t in x264 x265 ffmpeg ffprobe python3; do
    command -v $t >/dev/null ||
        { echo "needs $t (apt-get install x264 x265 ffmpeg python3)" >&2; exit 2; }
done
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# src SIZE RATE FRAMES [PATTERN] [PIXFMT]: y4m on stdout.
src() {
    ffmpeg -v error -f lavfi -i "${4:-testsrc2}=size=$1:rate=$2" -frames:v "$3" \
        -pix_fmt "${5:-yuv420p}" -strict -1 -f yuv4mpegpipe -
}
# enc OUT [x264 options...]: encodes y4m from stdin (x264's own messages shown only on failure).
enc() {
    local out=$1; shift
    x264 --quiet --threads 1 --lookahead-threads 1 --demuxer y4m --crf 32 "$@" -o "$out" - 2>"$log" ||
        { cat "$log" >&2; exit 1; }
}
# note FILE TEXT: the stream's line in the notes column of streams.tsv.
streams=()
notes=""
note() { streams+=("$1"); notes+="$1"$'\t'"$2"$'\n'; }

# 1. Baseline, no B-frames, 320x240 at 25 fps (pic_order_cnt_type 2): the plainest stream.
src 320x240 25 30 | enc baseline_320x240.h264 --profile baseline --keyint 10
note baseline_320x240.h264 "baseline, no B-frames, IDR every 10"
# 2. Main, B-frames, 640x360: coded as 640x368 and cropped by 8 lines.
src 640x360 25 24 | enc main_bframes_640x360.h264 --profile main --bframes 2 --b-pyramid none --keyint 12
note main_bframes_640x360.h264 "main, 2 B-frames, coded 640x368 cropped to 640x360"
# 3. High, B-pyramid (B-frames used as references), 30 fps.
src 640x360 30 30 | enc high_bpyramid_640x360.h264 --profile high --bframes 3 --b-pyramid normal --keyint 15
note high_bpyramid_640x360.h264 "high, B-pyramid of 3, 30 fps, cropped"
# 4. High with the JVT scaling matrices (seq_scaling_matrix_present_flag, scaling lists in the SPS).
src 320x240 25 12 | enc high_cqm_320x240.h264 --profile high --cqm jvt --bframes 1 --keyint 6
note high_cqm_320x240.h264 "high, JVT scaling lists in the SPS"
# 5. High 4:4:4 Predictive (profile_idc 244, chroma_format_idc 3, separate_colour_plane_flag).
src 320x240 25 12 testsrc2 yuv444p | enc high444_320x240.h264 --profile high444 --output-csp i444 --keyint 6
note high444_320x240.h264 "High 4:4:4 Predictive, 8 bit"
# 6. Interlaced (frame_mbs_only_flag 0, MBAFF), top field first, 720x576: the coded height is
#    counted in macroblock pairs; x264 puts a picture timing SEI in every picture.
src 720x576 25 8 | enc interlaced_720x576.h264 --tff --bframes 1 --keyint 4 --crf 38
note interlaced_720x576.h264 "interlaced MBAFF, top field first, picture timing SEI"
# 7. Four slices per picture: pictures made of several NAL units.
src 640x360 25 12 | enc slices4_640x360.h264 --slices 4 --bframes 2 --keyint 6
note slices4_640x360.h264 "4 slices per picture"
# 8. Access unit delimiters (NAL type 9) before every picture.
src 320x240 25 15 | enc aud_320x240.h264 --aud --bframes 2 --keyint 5
note aud_320x240.h264 "access unit delimiter before every picture"
# 9. Every start code 3 bytes long: stream 1 post-processed with python3, each 00 00 00 01
#    turned into 00 00 01 (the pictures are unchanged).
python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); open(sys.argv[2],"wb").write(d.replace(b"\0\0\0\1", b"\0\0\1"))' \
    baseline_320x240.h264 startcode3_320x240.h264
note startcode3_320x240.h264 "baseline_320x240 with every start code 3 bytes long"
# 10. 1920x1080 (coded 1920x1088, cropped by 8 lines), few pictures, the common HD size.
src 1920x1080 25 5 mandelbrot | enc main_1920x1080.h264 --profile main --bframes 1 --keyint 5 --crf 45
note main_1920x1080.h264 "main, coded 1920x1088 cropped to 1920x1080"
# 11. Picture timing SEI in every picture and buffering period SEI at each IDR (NAL HRD), with
#     B-frames: the SPS carries HRD parameters in its VUI.
src 320x240 25 20 | enc sei_every_picture_320x240.h264 --nal-hrd vbr --vbv-bufsize 500 \
    --vbv-maxrate 500 --bitrate 300 --pic-struct --bframes 2 --keyint 10
note sei_every_picture_320x240.h264 "NAL HRD, picture timing SEI in every picture, buffering period at each IDR"
# 12. Open GOP: the later I pictures are not IDR and carry a recovery point SEI; the B-frames
#     after them refer back across the I picture.
src 320x240 25 36 | enc open_gop_320x240.h264 --open-gop --bframes 3 --keyint 12 --min-keyint 12
note open_gop_320x240.h264 "open GOP, one IDR, non-IDR I pictures with recovery point SEI"
# 13. NTSC and high frame rates, with B-frames: 23.976, 29.97 and 60 fps in the VUI timing.
src 320x240 24000/1001 16 | enc fps23976_320x240.h264 --fps 24000/1001 --bframes 2 --keyint 8
note fps23976_320x240.h264 "23.976 fps in the VUI timing"
src 320x240 30000/1001 16 | enc fps2997_320x240.h264 --fps 30000/1001 --bframes 2 --keyint 8
note fps2997_320x240.h264 "29.97 fps in the VUI timing"
src 320x240 60 20 | enc fps60_320x240.h264 --fps 60 --bframes 3 --keyint 10
note fps60_320x240.h264 "60 fps in the VUI timing"
# 14. 4:2:2 (High 4:2:2, profile_idc 122, 8 bit).
src 320x240 25 10 testsrc2 yuv422p | enc high422_320x240.h264 --profile high422 --output-csp i422 --keyint 5
note high422_320x240.h264 "High 4:2:2, 8 bit"
# 15. 10-bit 4:2:0 (High 10, profile_idc 110, bit_depth_luma_minus8 2).
src 320x240 25 10 testsrc2 yuv420p10le | enc high10_320x240.h264 --profile high10 --output-depth 10 \
    --bframes 2 --keyint 5
note high10_320x240.h264 "High 10, 10 bit 4:2:0"
# 16. Weighted prediction and four references (pred_weight_table, reordered reference lists).
src 320x240 25 20 mandelbrot | enc weightp_320x240.h264 --weightp 2 --ref 4 --bframes 2 --keyint 10
note weightp_320x240.h264 "weighted P prediction, 4 references"
# 17. No timing information in the VUI: the stream says nothing of its rate. x264 always writes
#     it, so timing_info_present_flag is cleared, and its fields taken out, in every SPS by the
#     python below. ffprobe then reports its own default of 25/1 (vui_timing 0 in the facts).
src 320x240 30 10 | enc notiming_320x240.h264 --bframes 0 --keyint 5 --profile baseline
note notiming_320x240.h264 "VUI without timing info; the 25/1 is ffprobe's default, not the stream's"
# 18. No VUI bitstream restriction, so no max_num_reorder_frames: what many hardware encoders and
#     the reference encoder write. x264 always writes one; the python below clears
#     bitstream_restriction_flag and drops its fields. Level 4.0, as many hardware encoders
#     declare whatever the size, gives a DPB of 16 frames at 320x240; the clips are shorter, so a
#     writer that falls back to the DPB size for the reordering delay shifts every picture by
#     more than the clip lasts. One stream with B-frames (B-pyramid), one without reordering.
src 320x240 25 12 | enc norestriction_bframes_320x240.h264 --bframes 2 --keyint 12 --level 4.0
note norestriction_bframes_320x240.h264 "no VUI bitstream restriction, level 4.0, B-pyramid, 12 pictures"
src 320x240 25 10 | enc norestriction_p_320x240.h264 --bframes 0 --keyint 10 --level 4.0
note norestriction_p_320x240.h264 "no VUI bitstream restriction, level 4.0, no B-frames, 10 pictures"
# 19. Non-square samples: 352x288 (CIF) with a 12:11 sample aspect ratio (aspect_ratio_idc 2),
#     displayed 384 wide.
src 352x288 25 10 | enc sar12_11_352x288.h264 --sar 12:11 --bframes 1 --keyint 10
note sar12_11_352x288.h264 "sample aspect ratio 12:11, displayed 384x288"
# 20. Two sequence parameter sets of different ids and sizes: a 320x240 encode with SPS and PPS
#     id 0 (level 1.3), then a 640x360 one with id 1 (level 3.0), one after the other.
part=$(mktemp)
trap 'rm -f "$log" "$part"' EXIT
src 320x240 25 8 | enc two_sps_320x240_640x360.h264 --sps-id 0 --bframes 0 --keyint 8
src 640x360 25 8 | enc "$part" --sps-id 1 --bframes 0 --keyint 8
cat "$part" >>two_sps_320x240_640x360.h264
note two_sps_320x240_640x360.h264 "8 pictures 320x240 (SPS/PPS id 0), then 8 at 640x360 (id 1)"
# 21. P pictures before the first IDR picture, as in a stream cut in the middle of a group of
#     pictures: 25 pictures with an IDR every 10, cut by the python below to SPS and PPS, the
#     slices of P pictures 4 to 9, then pictures 10 to 24 whole (IDR at 10 and 20). The six
#     leading pictures refer to pictures that are not there. libavcodec (ffprobe -count_frames,
#     ffmpeg -f framemd5) decodes nothing of them: it starts at the IDR picture, 15 pictures.
src 320x240 25 25 | enc leading_p_320x240.h264 --bframes 0 --keyint 10 --min-keyint 10 --no-scenecut
note leading_p_320x240.h264 "6 P pictures before the first IDR picture, then 15 from an IDR on"
#
# Emulation prevention in parameter sets arises naturally: x264's VUI timing (num_units_in_tick
# 1, time_scale 50 and the like) is escaped with 00 00 03 in most SPSs here (sps_epb in the
# facts counts them in the first SPS); the 1001-based rates and the stream without timing have
# none.

# 22. The H.265 streams: make_h265_streams.sh beside this script makes them and says what each
#     one is for.
h265notes=$(mktemp)
trap 'rm -f "$log" "$part" "$h265notes"' EXIT
./make_h265_streams.sh "$h265notes"
while IFS=$'\t' read -r file text; do note "$file" "$text"; done <"$h265notes"

STREAM_NOTES="$notes" python3 - "${streams[@]}" <<'PY'
import os, re, subprocess, sys

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

def unescape(n): return n.replace(b"\x00\x00\x03", b"\x00\x00")

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

HIGH = (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135)

# Table E-1: the sample aspect ratios of aspect_ratio_idc 1 to 16.
SAR = [None, (1, 1), (12, 11), (10, 11), (16, 11), (40, 33), (24, 11), (20, 11), (32, 11),
       (80, 33), (18, 11), (15, 11), (64, 33), (160, 99), (4, 3), (3, 2), (2, 1)]

def skip_hrd(b):
    n = b.ue() + 1; b.u(8)
    for _ in range(n): b.ue(); b.ue(); b.u(1)
    b.u(20)

def parse_sps(rbsp):
    """The SPS fields the facts need, and the bit positions of timing_info_present_flag and
    bitstream_restriction_flag."""
    b = Bits(rbsp); b.u(8)
    f = {"profile_idc": b.u(8)}; b.u(8); f["level_idc"] = b.u(8); f["id"] = b.ue()
    f["chroma_format_idc"], f["bit_depth"] = 1, 8
    if f["profile_idc"] in HIGH:
        f["chroma_format_idc"] = b.ue()
        if f["chroma_format_idc"] == 3: b.u(1)
        f["bit_depth"] = 8 + b.ue(); b.ue(); b.u(1)
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
    fmo = f["frame_mbs_only"] = b.u(1)
    if not fmo: b.u(1)
    b.u(1)
    crop = [b.ue() for _ in range(4)] if b.u(1) else [0, 0, 0, 0]
    f["coded_width"], f["coded_height"] = w, (2 - fmo) * hm * 16
    cf = f["chroma_format_idc"]
    cx = 1 if cf in (0, 3) else 2
    cy = (2 if cf == 1 else 1) * (2 - fmo)
    f["width"] = w - cx * (crop[0] + crop[1])
    f["height"] = f["coded_height"] - cy * (crop[2] + crop[3])
    f["timing_at"], f["vui_rate"], f["sar"] = None, None, (1, 1)
    f["restriction_at"], f["restriction"] = None, 0
    if b.u(1):  # VUI
        if b.u(1):
            idc = b.u(8)
            f["sar"] = (b.u(16), b.u(16)) if idc == 255 else SAR[idc] if idc < len(SAR) else None
        if b.u(1): b.u(1)
        if b.u(1):
            b.u(4)
            if b.u(1): b.u(24)
        if b.u(1): b.ue(); b.ue()
        f["timing_at"] = b.p
        if b.u(1):
            tick, scale = b.u(32), b.u(32)
            f["vui_rate"] = (scale, 2 * tick)
            b.u(1)
        nal, vcl = b.u(1) and (skip_hrd(b) or 1), b.u(1) and (skip_hrd(b) or 1)
        if nal or vcl: b.u(1)
        b.u(1)
        f["restriction_at"] = b.p
        f["restriction"] = b.u(1)
    return f

def rewrite_sps(path, edit):
    """Every SPS of the file replaced by edit(rbsp bits, parsed fields), bits as a string of 0
    and 1 without the stop bit and the alignment zeros, which are written again after it."""
    d = open(path, "rb").read()
    out, at = bytearray(), 0
    for s, e in nal_spans(d):
        if d[s] & 0x1F != 7: continue
        rbsp = unescape(d[s:e])
        bits = "".join(f"{x:08b}" for x in rbsp).rstrip("0")[:-1]
        bits = edit(bits, parse_sps(rbsp)) + "1"
        bits += "0" * (-len(bits) % 8)
        new = escape(bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8)))
        out += d[at:s] + new; at = e
    out += d[at:]
    open(path, "wb").write(bytes(out))

def clear_timing(bits, f):
    """timing_info_present_flag cleared, and the 65 bits of its fields taken out."""
    p = f["timing_at"]
    assert p is not None and bits[p] == "1"
    return bits[:p] + "0" + bits[p + 66:]

def clear_restriction(bits, f):
    """bitstream_restriction_flag cleared and its fields, the last of the SPS, taken out."""
    p = f["restriction_at"]
    assert p is not None and bits[p] == "1"
    return bits[:p] + "0"

def access_units(d):
    """The NAL unit spans of each access unit: a new one starts at a non-VCL unit after a slice,
    or at a slice with first_mb_in_slice 0 after a slice (all pictures here are frames)."""
    aus, cur, vcl_seen = [], [], False
    for s, e in nal_spans(d):
        vcl = d[s] & 0x1F in (1, 5)
        if vcl_seen and (not vcl or d[s + 1] & 0x80):
            aus.append(cur); cur, vcl_seen = [], False
        cur.append((s, e)); vcl_seen |= vcl
    return aus + [cur]

def cut_before_idr(path, first, idr):
    """SPS and PPS of the first access unit, the slices of pictures first..idr-1, then the
    access units from picture idr (an IDR picture) on, each unit after a 4-byte start code."""
    d = open(path, "rb").read()
    aus = access_units(d)
    assert d[aus[idr][-1][0]] & 0x1F == 5
    keep = [u for u in aus[0] if d[u[0]] & 0x1F in (7, 8)]
    keep += [u for au in aus[first:idr] for u in au if d[u[0]] & 0x1F == 1]
    keep += [u for au in aus[idr:] for u in au]
    open(path, "wb").write(b"".join(b"\0\0\0\1" + d[s:e] for s, e in keep))

def sei_payload_types(rbsp, i=1):
    """The payload types of an SEI message's RBSP whose NAL unit header is i bytes long."""
    types = []
    while i < len(rbsp) and not (rbsp[i] == 0x80 and i == len(rbsp) - 1):
        t = 0
        while rbsp[i] == 0xFF: t += 255; i += 1
        t += rbsp[i]; i += 1
        n = 0
        while rbsp[i] == 0xFF: n += 255; i += 1
        n += rbsp[i]; i += 1 + n
        types.append(t)
    return types

# H.265 (ITU-T H.265). The NAL unit header is two bytes: nal_unit_type is bits 1..6 of the first.
def h265_type(d, s): return (d[s] >> 1) & 0x3F

def codec_of(d):
    """h264 or h265, by the first parameter set of the stream: an H.264 SPS (type 7), or an
    H.265 VPS or SPS header (40 01, 42 01)."""
    for s, e in nal_spans(d):
        if d[s] & 0x9F == 7: return "h264"
        if d[s] in (0x40, 0x42) and s + 1 < e and d[s + 1] == 1: return "h265"
    sys.exit("no parameter set in the stream")

def profile_tier_level(b, max_sub_layers_minus1):
    """7.3.3 with profilePresentFlag 1: general_profile_idc and general_level_idc."""
    b.u(2); b.u(1); profile = b.u(5); b.u(32); b.u(48); level = b.u(8)
    sub = [(b.u(1), b.u(1)) for _ in range(max_sub_layers_minus1)]
    if max_sub_layers_minus1 > 0:
        for _ in range(max_sub_layers_minus1, 8): b.u(2)
    for profile_present, level_present in sub:
        if profile_present: b.u(88)
        if level_present: b.u(8)
    return profile, level

def h265_hrd(b, max_sub_layers_minus1):
    """E.2.2 hrd_parameters( 1, max_sub_layers_minus1 ), skipped."""
    nal, vcl, sub_pic = b.u(1), b.u(1), 0
    if nal or vcl:
        sub_pic = b.u(1)
        if sub_pic: b.u(8); b.u(5); b.u(1); b.u(5)
        b.u(8)
        if sub_pic: b.u(4)
        b.u(15)
    for _ in range(max_sub_layers_minus1 + 1):
        fixed = b.u(1) or b.u(1)
        low_delay = 0
        if fixed: b.ue()
        else: low_delay = b.u(1)
        cpb = b.ue() + 1 if not low_delay else 1
        for _ in range(nal + vcl):
            for _ in range(cpb):
                b.ue(); b.ue()
                if sub_pic: b.ue(); b.ue()
                b.u(1)

def st_ref_pic_set(b, idx, count, sets):
    """7.3.7 st_ref_pic_set( idx ) in the SPS; sets holds the delta POCs of those before."""
    if idx and b.u(1):  # inter_ref_pic_set_prediction_flag
        ref = sets[idx - 1]
        sign, delta = b.u(1), b.ue() + 1
        delta_rps = -delta if sign else delta
        out = []
        for j in range(len(ref) + 1):
            used = b.u(1)
            if used or b.u(1):
                d = (ref[j] if j < len(ref) else 0) + delta_rps
                if d: out.append(d)
        return out
    neg, pos = b.ue(), b.ue()
    out, poc = [], 0
    for _ in range(neg):
        poc -= b.ue() + 1; b.u(1); out.append(poc)
    poc = 0
    for _ in range(pos):
        poc += b.ue() + 1; b.u(1); out.append(poc)
    return out

def scaling_list_data(b):
    """7.3.4, skipped."""
    for size in range(4):
        for matrix in range(0, 6, 3 if size == 3 else 1):
            if not b.u(1): b.ue()
            else:
                if size > 1: b.se()
                for _ in range(min(64, 1 << (4 + (size << 1)))): b.se()

def parse_h265_sps(rbsp):
    """7.3.2.2 seq_parameter_set_rbsp and E.2.1 vui_parameters: what the facts need."""
    b = Bits(rbsp); b.u(16)
    b.u(4); msl = b.u(3); b.u(1)
    f = {}
    f["profile_idc"], f["level_idc"] = profile_tier_level(b, msl)
    f["id"] = b.ue()
    cf = f["chroma_format_idc"] = b.ue()
    if cf == 3: b.u(1)
    w, h = b.ue(), b.ue()
    crop = [b.ue() for _ in range(4)] if b.u(1) else [0, 0, 0, 0]
    f["coded_width"], f["coded_height"] = w, h
    sub_w, sub_h = (2 if cf in (1, 2) else 1), (2 if cf == 1 else 1)
    f["width"] = w - sub_w * (crop[0] + crop[1])
    f["height"] = h - sub_h * (crop[2] + crop[3])
    f["bit_depth"] = 8 + b.ue(); b.ue()
    poc_lsb_bits = b.ue() + 4
    for _ in range(0 if b.u(1) else msl, msl + 1): b.ue(); b.ue(); b.ue()
    for _ in range(6): b.ue()
    if b.u(1) and b.u(1): scaling_list_data(b)
    b.u(2)
    if b.u(1): b.u(8); b.ue(); b.ue(); b.u(1)  # pcm
    count, sets = b.ue(), []
    for i in range(count): sets.append(st_ref_pic_set(b, i, count, sets))
    if b.u(1):
        for _ in range(b.ue()): b.u(poc_lsb_bits); b.u(1)
    b.u(2)
    f["sar"], f["field_seq"], f["vui_rate"], f["restriction"] = (1, 1), 0, None, 0
    if b.u(1):  # VUI
        if b.u(1):
            idc = b.u(8)
            f["sar"] = (b.u(16), b.u(16)) if idc == 255 else SAR[idc] if idc < len(SAR) else None
        if b.u(1): b.u(1)
        if b.u(1):
            b.u(4)
            if b.u(1): b.u(24)
        if b.u(1): b.ue(); b.ue()
        b.u(1); f["field_seq"] = b.u(1); b.u(1)
        if b.u(1):
            for _ in range(4): b.ue()
        if b.u(1):
            tick, scale = b.u(32), b.u(32)
            f["vui_rate"] = (scale, tick)
            if b.u(1): b.ue()
            if b.u(1): h265_hrd(b, msl)
        f["restriction"] = b.u(1)
    return f

def parse_h265_vps(rbsp):
    """7.3.2.1 video_parameter_set_rbsp up to vps_timing_info_present_flag."""
    b = Bits(rbsp); b.u(16)
    f = {"id": b.u(4)}; b.u(2); b.u(6); msl = b.u(3); b.u(1); b.u(16)
    profile_tier_level(b, msl)
    for _ in range(0 if b.u(1) else msl, msl + 1): b.ue(); b.ue(); b.ue()
    max_layer_id = b.u(6)
    for _ in range(b.ue()): b.u(max_layer_id + 1)
    f["timing"] = b.u(1)
    return f

H265_PROFILES = {"Main": 1, "Main 10": 2, "Main Still Picture": 3, "Rext": 4}

def h265_facts(path, d, st, types):
    """The facts of an H.265 stream. Pictures start at a VCL unit (types 0..31) with
    first_slice_segment_in_pic_flag 1; IDR types 19, 20; CRA 21; RASL 8, 9; RADL 6, 7; prefix
    SEI 39 goes with the next picture, suffix SEI 40 with the one before."""
    sps, vps, sps_epb, levels, vps_ids, pps_ids = None, None, 0, {}, set(), set()
    sets, ps_changes, top_level = {}, 0, 0
    pics = []  # per picture: [type, has SEI]
    slices = rec = 0
    sei_pending = False
    for s, e in nal_spans(d):
        t, unit = h265_type(d, s), d[s:e]
        if t in (32, 33, 34):
            rbsp = unescape(unit)
            if t == 32:
                v = parse_h265_vps(rbsp); key = (t, v["id"]); vps_ids.add(v["id"])
                vps = vps or v
            elif t == 33:
                f = parse_h265_sps(rbsp); key = (t, f["id"]); levels[f["id"]] = f["level_idc"]
                top_level = max(top_level, f["level_idc"])
                if sps is None: sps, sps_epb = f, unit.count(b"\x00\x00\x03")
            else:
                key = (t, Bits(rbsp[2:]).ue()); pps_ids.add(key[1])
            ps_changes |= bool(pics) and key in sets and sets[key] != unit
            sets[key] = unit
        elif t == 39:
            sei_pending = True
            rec += sei_payload_types(unescape(unit), 2).count(6)
        elif t == 40 and pics:
            pics[-1][1] = True
        elif t < 32:
            slices += 1
            if d[s + 2] & 0x80:
                pics.append([t, sei_pending]); sei_pending = False
    kinds = [p[0] for p in pics]
    irap = [i for i, t in enumerate(kinds) if 16 <= t <= 23] + [len(kinds)]
    is_rasl = lambda t: t in (8, 9)
    # RASL pictures belong to the IRAP picture before them in decoding order.
    cra_rasl = sum(1 for a, z in zip(irap, irap[1:]) if kinds[a] == 21 and
                   any(is_rasl(t) for t in kinds[a:z]))
    leading = irap[0]
    if leading < len(kinds) and kinds[leading] in (16, 17, 18, 21):
        leading += sum(1 for t in kinds[irap[0]:irap[1]] if is_rasl(t))
    pictures = len(pics)
    frames = int(st["nb_read_frames"])
    num, den = st["r_frame_rate"].split("/")
    check(path, "decodable pictures", pictures - leading, frames)
    check(path, "pictures", len(types), frames)
    check(path, "width", sps["width"], st["width"])
    check(path, "height", sps["height"], st["height"])
    check(path, "profile_idc", sps["profile_idc"], H265_PROFILES[st["profile"]])
    check(path, "chroma_format_idc", sps["chroma_format_idc"],
          CHROMA[st["pix_fmt"].split("1")[0]])
    check(path, "bit depth", sps["bit_depth"], 10 if "p10" in st["pix_fmt"] else 8)
    check(path, "level_idc", f["level_idc"], st["level"])
    sar = st["sample_aspect_ratio"] if st["sample_aspect_ratio"] != "N/A" else "1:1"
    check(path, "sample aspect ratio", "%d:%d" % sps["sar"], sar)
    if sps["vui_rate"]:
        check(path, "frame rate", sps["vui_rate"][0] * int(den), int(num) * sps["vui_rate"][1])
    if slices % pictures:
        sys.exit(f"{path}: {slices} slices in {pictures} pictures")
    return {"codec": "h265", "width": sps["width"], "height": sps["height"],
            "coded_width": sps["coded_width"], "coded_height": sps["coded_height"],
            "profile_idc": sps["profile_idc"], "chroma_format_idc": sps["chroma_format_idc"],
            "bit_depth": sps["bit_depth"], "frame_mbs_only": 1 - sps["field_seq"],
            "frames": frames, "fps_num": num, "fps_den": den,
            "vui_timing": int(sps["vui_rate"] is not None), "bframes": int("B" in types),
            "idr": sum(t in (19, 20) for t in kinds), "recovery_points": rec,
            "slices_per_picture": slices // pictures,
            "start_code": 4 if b"\x00\x00\x00\x01" in d else 3,
            "sei_every_picture": int(all(p[1] for p in pics)), "sps_epb": sps_epb,
            "pictures": pictures, "leading_pictures": leading, "sps_count": len(levels),
            "pps_count": len(pps_ids), "level_idc": top_level,
            "bitstream_restriction": sps["restriction"], "sar_num": sps["sar"][0],
            "sar_den": sps["sar"][1], "vps_count": len(vps_ids), "vps_timing": vps["timing"],
            "cra": sum(t == 21 for t in kinds), "cra_rasl": cra_rasl,
            "rasl": sum(is_rasl(t) for t in kinds), "radl": sum(t in (6, 7) for t in kinds),
            "field_seq": sps["field_seq"], "ps_changes": int(ps_changes)}

def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout

def probe(path):
    r = run("ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
            "stream=width,height,profile,pix_fmt,field_order,bits_per_raw_sample,r_frame_rate,"
            "nb_read_frames,sample_aspect_ratio,level", "-of", "default=nw=1", path)
    return dict(l.split("=", 1) for l in r.split("\n") if "=" in l)

def check(path, what, ours, theirs):
    if str(ours) != str(theirs):
        sys.exit(f"{path}: {what} is {ours} by the stream's own syntax but {theirs} by ffprobe")

rewrite_sps("notiming_320x240.h264", clear_timing)
rewrite_sps("norestriction_bframes_320x240.h264", clear_restriction)
rewrite_sps("norestriction_p_320x240.h264", clear_restriction)
cut_before_idr("leading_p_320x240.h264", 4, 10)

PROFILES = {"Baseline": 66, "Constrained Baseline": 66, "Main": 77, "High": 100, "High 10": 110,
            "High 4:2:2": 122, "High 4:4:4 Predictive": 244}
CHROMA = {"yuv420p": 1, "yuv422p": 2, "yuv444p": 3}
CODEC_COLS = ["vps_count", "vps_timing", "cra", "cra_rasl", "rasl", "radl", "field_seq"]
notes = dict(l.split("\t", 1) for l in os.environ["STREAM_NOTES"].splitlines())
cols = ["file", "codec", "width", "height", "coded_width", "coded_height", "profile_idc",
        "chroma_format_idc", "bit_depth", "frame_mbs_only", "frames", "fps_num", "fps_den",
        "vui_timing", "bframes", "idr", "recovery_points", "slices_per_picture", "start_code",
        "sei_every_picture", "sps_epb", "pictures", "leading_pictures", "sps_count", "pps_count",
        "level_idc", "bitstream_restriction", "sar_num", "sar_den", "ps_changes"] + CODEC_COLS + [
        "bytes", "notes"]
rows = []
for path in sys.argv[1:]:
    d = open(path, "rb").read()
    st = probe(path)
    types = run("ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                "frame=pict_type", "-of", "csv=p=0", path).split()
    if codec_of(d) == "h265":
        rows.append(dict(h265_facts(path, d, st, types), file=path, bytes=len(d),
                         notes=notes[path]))
        continue
    sets, ps_changes = {}, 0
    sps, sps_epb, levels, pps_ids = None, 0, {}, set()
    pictures = idr = rec = slices = with_sei = 0
    leading = None  # pictures before the first IDR picture or recovery point
    sei_since_picture = recovery_since_picture = False
    for s, e in nal_spans(d):
        t = d[s] & 0x1F
        if t in (7, 8):
            key = (t, parse_sps(unescape(d[s:e]))["id"] if t == 7 else
                   Bits(unescape(d[s:e])[1:]).ue())
            ps_changes |= pictures > 0 and key in sets and sets[key] != d[s:e]
            sets[key] = d[s:e]
        if t == 7:
            f = parse_sps(unescape(d[s:e]))  # kept: the last SPS of the stream
            levels[f["id"]] = f["level_idc"]
            if sps is None:
                sps, sps_epb = f, d[s:e].count(b"\x00\x00\x03")
        elif t == 8:
            pps_ids.add(Bits(unescape(d[s:e])[1:]).ue())
        elif t == 6:
            sei_since_picture = True
            n = sei_payload_types(unescape(d[s:e])).count(6)
            rec += n
            recovery_since_picture |= n > 0
        elif t in (1, 5):
            slices += 1
            if d[s + 1] & 0x80:  # first_mb_in_slice 0: a new picture (all are frames here)
                if leading is None and (t == 5 or recovery_since_picture):
                    leading = pictures
                pictures += 1
                idr += t == 5
                with_sei += sei_since_picture
                sei_since_picture = recovery_since_picture = False
    frames = int(st["nb_read_frames"])
    num, den = st["r_frame_rate"].split("/")
    # What the stream says of itself has to agree with what ffprobe reads from it. (This
    # ffprobe reports the cropped size as coded_width/coded_height, so the coded size is the
    # SPS's macroblock count alone.)
    # libavcodec decodes nothing of the pictures before the first IDR picture.
    check(path, "decodable pictures", pictures - leading, frames)
    check(path, "pictures", len(types), frames)
    check(path, "width", sps["width"], st["width"])
    check(path, "height", sps["height"], st["height"])
    check(path, "profile_idc", sps["profile_idc"], PROFILES[st["profile"]])
    check(path, "chroma_format_idc", sps["chroma_format_idc"],
          CHROMA[st["pix_fmt"].split("1")[0]])
    check(path, "bit depth", sps["bit_depth"], st["bits_per_raw_sample"])
    check(path, "frame_mbs_only", sps["frame_mbs_only"], int(st["field_order"] == "progressive"))
    # ffprobe reports the level of the last SPS it read.
    check(path, "level_idc", f["level_idc"], st["level"])
    sar = st["sample_aspect_ratio"] if st["sample_aspect_ratio"] != "N/A" else "1:1"
    check(path, "sample aspect ratio", "%d:%d" % sps["sar"], sar)
    if sps["vui_rate"]:
        check(path, "frame rate", sps["vui_rate"][0] * int(den), int(num) * sps["vui_rate"][1])
    if slices % pictures:
        sys.exit(f"{path}: {slices} slices in {pictures} pictures")
    rows.append({"file": path, "width": sps["width"], "height": sps["height"],
                 "coded_width": sps["coded_width"], "coded_height": sps["coded_height"],
                 "profile_idc": sps["profile_idc"], "chroma_format_idc": sps["chroma_format_idc"],
                 "bit_depth": sps["bit_depth"], "frame_mbs_only": sps["frame_mbs_only"],
                 "frames": frames, "fps_num": num, "fps_den": den,
                 "vui_timing": int(sps["vui_rate"] is not None), "bframes": int("B" in types),
                 "idr": idr, "recovery_points": rec, "slices_per_picture": slices // pictures,
                 "start_code": 4 if b"\x00\x00\x00\x01" in d else 3,
                 "sei_every_picture": int(with_sei == pictures), "sps_epb": sps_epb,
                 "pictures": pictures, "leading_pictures": leading, "sps_count": len(levels),
                 "pps_count": len(pps_ids), "level_idc": max(levels.values()),
                 "bitstream_restriction": sps["restriction"], "sar_num": sps["sar"][0],
                 "sar_den": sps["sar"][1], "ps_changes": int(ps_changes),
                 **{c: 0 for c in CODEC_COLS}, "codec": "h264",
                 "bytes": len(d), "notes": notes[path]})
with open("streams.tsv", "w") as f:
    f.write("\t".join(cols) + "\n")
    for r in sorted(rows, key=lambda r: (r["codec"], r["file"])):
        f.write("\t".join(str(r[c]) for c in cols) + "\n")
print(open("streams.tsv").read(), end="")
PY
