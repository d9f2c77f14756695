#!/usr/bin/env bash
# Makes the H.265 test streams of this directory with the x265 and ffmpeg command-line tools.
# make_streams.sh runs it and then works out the facts of every stream; on its own it only
# remakes the streams:
#
#   tests/data/make_h265_streams.sh [NOTES]
#
# NOTES, when given, receives one line per stream: its file name, a tab, what it is for.
#
# Made with x265 3.5+1-f0c1022b6 (Debian 12). Every picture source is a deterministic ffmpeg
# test pattern piped as y4m into x265 with one frame thread, no thread pool and no wavefront
# parallelism, so that remaking them gives the same bytes with the same x265. --no-info leaves
# out x265's SEI with its version and options, except in the open GOP stream, which keeps that
# prefix SEI. The name does not tell the codec: most are .h265, one is .hevc and one .h26x.
set -euo pipefail
cd "$(dirname "$0")"
for t in x265 ffmpeg ffprobe python3 timeout; do
    command -v $t >/dev/null || { echo "needs $t (apt-get install x265 ffmpeg python3)" >&2; exit 2; }
done
notes_file=${1:-/dev/null}
: >"$notes_file"
log=$(mktemp)
part=$(mktemp)
trap 'rm -f "$log" "$part"' EXIT

# src SIZE RATE FRAMES [PATTERN] [PIXFMT]: y4m on stdout.
src() {
    ffmpeg -v error -f lavfi -i "${4:-testsrc2}=size=$1:rate=$2" -frames:v "$3" \
        -pix_fmt "${5:-yuv420p}" -strict -1 -f yuv4mpegpipe -
}
# enc OUT [x265 options...]: encodes y4m from stdin (x265's own messages shown only on failure).
enc() {
    local out=$1; shift
    x265 --input - --y4m --log-level warning --no-progress --frame-threads 1 --pools none \
        --no-wpp --crf 32 "$@" -o "$out" 2>"$log" || { cat "$log" >&2; exit 1; }
}
note() { printf '%s\t%s\n' "$1" "$2" >>"$notes_file"; }

# 1. Open GOP (x265's default): an IDR, then a CRA picture every 10 pictures, each followed in
#    decoding order by RASL pictures (NAL types 8, 9) that refer to pictures before the CRA.
#    x265's informational SEI (a prefix SEI, NAL type 39) comes before the first picture.
src 320x240 25 36 | enc open_gop_320x240.h265 --keyint 10 --min-keyint 10 --no-scenecut \
    --bframes 3 --info
note open_gop_320x240.h265 "open GOP, an IDR then CRA pictures with RASL pictures, 3 B-frames"
# 2. Closed GOP, B-frames: IDR pictures only; a decoded picture hash SEI (MD5, a suffix SEI,
#    NAL type 40) after every picture, and the parameter sets again before every IDR.
src 320x240 25 30 | enc closed_gop_320x240.h265 --no-open-gop --keyint 10 --min-keyint 10 \
    --no-scenecut --bframes 3 --no-info --hash 1 --repeat-headers
note closed_gop_320x240.h265 "closed GOP, 3 B-frames, MD5 suffix SEI, parameter sets repeated"
# 3. No B-frames, 25 fps, an access unit delimiter (NAL type 35) before every picture; named
#    .hevc.
src 320x240 25 20 | enc nobframes_320x240.hevc --bframes 0 --keyint 10 --no-info --aud
note nobframes_320x240.hevc "no B-frames, access unit delimiters, named .hevc"
# 4. B-pyramid of 4 B-frames (B-frames used as references), 30 fps, 640x360.
src 640x360 30 20 | enc bpyramid_640x360.h265 --bframes 4 --b-pyramid --b-adapt 0 --keyint 20 \
    --no-info --crf 36
note bpyramid_640x360.h265 "B-pyramid of 4, 30 fps"
# 5. Four slices per picture; x265 makes several slices only with wavefront parallel processing
#    (entropy_coding_sync_enabled_flag 1, entry points in the slice headers), which needs a
#    thread pool: one of a single thread.
src 640x360 25 10 | enc slices4_640x360.h265 --slices 4 --wpp --pools 1 --bframes 2 --keyint 10 --no-info --crf 36
note slices4_640x360.h265 "4 slices per picture"
# 6. A size that is no multiple of the minimum coding block (8): coded 320x240, cropped by the
#    conformance window to 320x236.
src 320x236 25 10 | enc crop_320x236.h265 --bframes 2 --keyint 10 --no-info
note crop_320x236.h265 "coded 320x240, conformance window crops to 320x236"
# 7. Main 10 (general_profile_idc 2), 10-bit 4:2:0.
src 320x240 25 10 testsrc2 yuv420p10le | enc main10_320x240.h265 --profile main10 --output-depth 10 \
    --bframes 2 --keyint 10 --no-info
note main10_320x240.h265 "Main 10, 10 bit 4:2:0"
# 8. Main 4:4:4 (format range extensions, general_profile_idc 4), 8 bit.
src 320x240 25 10 testsrc2 yuv444p | enc main444_320x240.h265 --profile main444-8 --input-csp i444 \
    --bframes 2 --keyint 10 --no-info
note main444_320x240.h265 "Main 4:4:4, 8 bit"
# 9. Non-square samples: 352x288 with a 12:11 sample aspect ratio (aspect_ratio_idc 2).
src 352x288 25 10 | enc sar12_11_352x288.h265 --sar 12:11 --bframes 2 --keyint 10 --no-info
note sar12_11_352x288.h265 "sample aspect ratio 12:11, displayed 384x288"
# 10. No timing information: the VUI gives no rate, and neither does the VPS (this x265 writes
#     no VPS timing in any stream). ffprobe then reports its own default of 25/1.
src 320x240 30 10 | enc notiming_320x240.h265 --no-vui-timing-info --bframes 0 --keyint 10 --no-info
note notiming_320x240.h265 "no timing in the VUI nor the VPS; the 25/1 is ffprobe's default"
# 11. A stream that starts with a CRA picture: stream 1 cut by the python below at its second
#     CRA picture, its VPS, SPS and PPS kept in front. The RASL pictures that follow that CRA
#     refer to pictures that are not there: decoders drop them (they are leading pictures).
python3 - open_gop_320x240.h265 cra_start_320x240.h265 <<'PY'
import re, sys
d = open(sys.argv[1], "rb").read()
starts = [m.end() for m in re.finditer(b"\x00\x00\x01", d)]
units = []
for i, s in enumerate(starts):
    e = starts[i + 1] - 3 if i + 1 < len(starts) else len(d)
    while e > s and d[e - 1] == 0: e -= 1
    units.append(d[s:e])
kind = lambda u: (u[0] >> 1) & 0x3F
cras = [i for i, u in enumerate(units) if kind(u) == 21 and u[2] & 0x80]
assert len(cras) >= 2, "fewer than two CRA pictures"
at = cras[1]
while at > 0 and kind(units[at - 1]) in (35, 39):  # the CRA's access unit starts before it
    at -= 1
keep = [u for u in units[:cras[0]] if kind(u) in (32, 33, 34)] + units[at:]
open(sys.argv[2], "wb").write(b"".join(b"\0\0\0\1" + u for u in keep))
PY
note cra_start_320x240.h265 "open_gop_320x240 cut at its second CRA: starts with a CRA and RASL pictures"
# 12. RADL pictures: IDR_W_RADL pictures (NAL type 19) with decodable leading pictures (6, 7)
#     before them in output order.
src 320x240 25 20 | enc radl_320x240.h265 --radl 2 --no-open-gop --bframes 3 --keyint 10 \
    --min-keyint 10 --no-scenecut --no-info
note radl_320x240.h265 "IDR pictures with RADL leading pictures"
# 13. Parameter sets that change mid-stream: a 320x240 encode and a 416x240 one, both with VPS,
#     SPS and PPS id 0, one after the other with an end of sequence unit (NAL type 36) between
#     them; named .h26x.
src 320x240 25 8 | enc two_sizes_320x240_416x240.h26x --bframes 2 --keyint 8 --no-info
src 416x240 25 8 | enc "$part" --bframes 2 --keyint 8 --no-info
printf '\0\0\0\1\x48\x01' >>two_sizes_320x240_416x240.h26x
cat "$part" >>two_sizes_320x240_416x240.h26x
note two_sizes_320x240_416x240.h26x "8 pictures 320x240, end of sequence, 8 at 416x240, all ids 0; named .h26x"
# 14. Field coding: each picture one field (field_seq_flag 1), top field first, with a picture
#     timing SEI saying which; 16 fields of 352x144 at 50 fields a second.
#     x265 3.5's field coding is racy even on one thread: now and then it hangs at the end of the
#     input or loses fields. So the encode runs under a time limit and is tried again until
#     libavcodec decodes all 16 fields from it (its bytes have then always been the same).
src 352x288 25 16 >"$part"
for try in 1 2 3 4 5 6 7 8; do
    timeout 60 bash -c 'cat "$1" | { x265 --input - --y4m --log-level error --no-progress \
        --frame-threads 1 --pools none --no-wpp --crf 32 --field --interlace tff --bframes 2 \
        --keyint 16 --no-info -o field_352x288.h265; }' _ "$part" || true
    [ "$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 \
        field_352x288.h265 2>/dev/null)" = 16 ] && break
    [ $try = 8 ] && { echo "x265 did not make field_352x288.h265" >&2; exit 1; }
done
note field_352x288.h265 "field coded, top field first, 352x144 fields at 50 a second"
# 15. NTSC and high frame rates in the VUI timing.
src 320x240 24000/1001 12 | enc fps23976_320x240.h265 --bframes 2 --keyint 12 --no-info
note fps23976_320x240.h265 "23.976 fps in the VUI timing"
src 320x240 60 20 | enc fps60_320x240.h265 --bframes 3 --keyint 20 --no-info
note fps60_320x240.h265 "60 fps in the VUI timing"
