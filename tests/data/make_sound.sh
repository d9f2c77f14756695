#!/usr/bin/env bash
# Makes the sound files the tests read, into the directory given (the build makes them at test
# time; nothing here is committed):
#
#   tests/data/make_sound.sh OUTDIR
#
# Speech from espeak-ng beside a quiet tone from sox (sox -R: the same bytes each time), coded
# by ffmpeg (its AAC encoder in ADTS, libmp3lame) and sox (WAV of every sample format, raw A-law,
# mu-law and PCM). A few files are then changed by the small Python steps below, as damaged or
# unusual files come: an ADTS stream with CRC headers, garbage in the middle, WAV headers with
# sizes left unfilled, odd-sized chunks, a cut header.
set -euo pipefail
out=${1:?usage: make_sound.sh OUTDIR}
for t in sox espeak-ng ffmpeg python3; do
    command -v $t >/dev/null ||
        { echo "needs $t (scripts/deps.sh installs it)" >&2; exit 2; }
done
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -nostdin -v error -y "$@"; }

# The source: 1.6 s of speech at 48000 Hz, left alone in the left channel and with a quiet
# 440 Hz tone under it in the right, so that the channels differ.
espeak-ng -s 190 -w speech22k.wav "one two three, sound beside the picture"
sox -R speech22k.wav -r 48000 speech.wav trim 0 1.6
sox -R -n -r 48000 -c 1 tone.wav synth 1.6 sine 440 vol 0.2
sox -R -m speech.wav tone.wav right.wav
sox -R -M speech.wav right.wav src48k.wav
sox -R src48k.wav -r 44100 src44k.wav
sox -R src48k.wav -r 16000 -c 1 src16k.wav

# AAC in ADTS (7-byte headers), MPEG-4 and MPEG-2 ids, mono and stereo, and behind ID3v2 with an
# APE tag at the end.
ff -i src48k.wav -c:a aac -b:a 96k -f adts aac_48k_stereo.aac
ff -i src16k.wav -c:a aac -b:a 32k -write_mpeg2 1 -f adts aac_16k_mono_mpeg2.aac
ff -i src44k.wav -c:a aac -b:a 64k -write_id3v2 1 -write_apetag 1 -metadata title=Tone \
    -f adts aac_44k_tags.aac
ff -i src44k.wav -ar 22050 -c:a aac -b:a 48k -f adts aac_22k_rate_change_b.aac

# MP3: MPEG-1 CBR with ID3v2 and the Info frame, VBR with a Xing frame and ID3v1 at the end,
# MPEG-2 (22050 Hz) and MPEG 2.5 (8000 Hz) mono, one without any header frame or tag.
ff -i src44k.wav -c:a libmp3lame -b:a 128k mp3_44k_cbr.mp3
ff -i src48k.wav -c:a libmp3lame -q:a 4 -write_id3v1 1 -metadata title=Tone mp3_48k_vbr_id3v1.mp3
ff -i src16k.wav -ar 22050 -c:a libmp3lame -b:a 32k mp3_22k_mono_mpeg2.mp3
ff -i src16k.wav -ar 8000 -c:a libmp3lame -b:a 16k -write_xing 0 -id3v2_version 0 \
    mp3_8k_mono_mpeg25.mp3
# MPEG audio Layer II, which is refused.
ff -i src48k.wav -c:a mp2 -b:a 192k -f mp2 layer2_48k.mp2

# WAV: 16-bit mono at 16 kHz as arecord records, 8-bit (unsigned), 24 and 32-bit, float 32 and
# 64, A-law and mu-law (with their fact chunk), WAVE_FORMAT_EXTENSIBLE, RF64 with ds64, and a
# LIST chunk in front of the data.
sox -R src16k.wav -b 16 wav_16k_mono_s16.wav
sox -R src48k.wav -b 8 -e unsigned-integer wav_48k_u8.wav
sox -R src48k.wav -b 24 wav_48k_s24.wav
sox -R src44k.wav -b 32 -e signed-integer wav_44k_s32.wav
sox -R src48k.wav -b 32 -e floating-point wav_48k_f32.wav
sox -R src16k.wav -b 64 -e floating-point wav_16k_f64.wav
sox -R src16k.wav -r 8000 -e a-law wav_8k_alaw.wav
sox -R src16k.wav -r 8000 -e mu-law wav_8k_ulaw.wav
ff -i src48k.wav -c:a pcm_s16le -rf64 always wav_48k_rf64.wav
ff -i src48k.wav -c:a pcm_s24le -ac 2 -channel_layout stereo -metadata title=Tone \
    -write_peak 0 wav_48k_s24_list.wav
sox -R src48k.wav -b 16 -c 4 wav_48k_4ch_extensible.wav remix 1 2 1 2

# Rates beyond 16 bits (the v0 sample entry's 16.16 field): AAC at 96 kHz, WAV of 16 and 24 bits
# at 88.2, 96 and 192 kHz.
sox -R src48k.wav -r 96000 src96k.wav
ff -i src96k.wav -c:a aac -b:a 128k -f adts aac_96k_stereo.aac
for r in 88200 96000 192000; do
    sox -R src48k.wav -r $r -b 16 wav_${r}_s16.wav
    sox -R src48k.wav -r $r -b 24 wav_${r}_s24.wav
done

# Raw sound without a header, by name: A-law and mu-law at 8 kHz mono, 16-bit little-endian PCM
# at 48 kHz stereo, and one at 16 kHz mono that needs the rate and channels given.
sox -R src16k.wav -r 8000 -t raw -e a-law raw_8k.alaw
sox -R src16k.wav -r 8000 -t raw -e mu-law raw_8k.ulaw
sox -R src48k.wav -t raw -e signed-integer -b 16 -L raw_48k_stereo.pcm
sox -R src16k.wav -t raw -e signed-integer -b 16 -L raw_16k_mono.raw

# Changed copies: what recorders, cameras and damage leave.
python3 - <<'EOF'
import struct

def read(name):
    with open(name, 'rb') as f:
        return f.read()

def write(name, data):
    with open(name, 'wb') as f:
        f.write(data)

def adts_frames(data):
    frames, i = [], 0
    while i + 7 <= len(data):
        length = ((data[i + 3] & 3) << 11) | (data[i + 4] << 3) | (data[i + 5] >> 5)
        frames.append(data[i:i + length])
        i += length
    return frames

def set_length(h, length):
    h[3] = (h[3] & 0xFC) | (length >> 11)
    h[4] = (length >> 3) & 0xFF
    h[5] = (h[5] & 0x1F) | ((length & 7) << 5)

aac = adts_frames(read('aac_48k_stereo.aac'))

# 9-byte headers: protection_absent 0, the CRC of the header in front of the raw data.
def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc
out = bytearray()
for f in aac:
    h = bytearray(f[:7])
    h[1] &= 0xFE
    set_length(h, len(f) + 2)
    out += h + struct.pack('>H', crc16(h)) + f[7:]
write('aac_48k_crc.aac', out)

# 1000 bytes of garbage, with a false syncword in it, between frames 20 and 21.
junk = bytes((i * 73 + 11) & 0xFF for i in range(1000))
junk = junk[:500] + b'\xff\xf1\x50\x80' + junk[504:]
write('aac_48k_garbage.aac', b''.join(aac[:20]) + junk + b''.join(aac[20:]))
# The same frames without the garbage, to compare with.
write('aac_48k_garbage_ref.aac', b''.join(aac))

# Taken up midway, 300 bytes into the stream, as from a pipe joined late.
at = 0
for f in aac:
    if at >= 300:
        break
    at += len(f)
write('aac_48k_midway.aac', b''.join(aac)[300:])
write('aac_48k_midway_ref.aac', b''.join(aac)[at:])

# Cut in the middle of its last frame.
whole = read('aac_48k_stereo.aac')
write('aac_48k_cut.aac', whole[:len(whole) - len(aac[-1]) // 2])
write('aac_48k_cut_ref.aac', whole[:len(whole) - len(aac[-1])])

# Refused: channel configuration 0, four raw data blocks a frame, a change of rate midway.
def patched(frames, fn):
    out = bytearray()
    for f in frames:
        h = bytearray(f)
        fn(h)
        out += h
    return bytes(out)
def pce(h):
    h[2] &= 0xFE
    h[3] &= 0x3F
write('aac_pce.aac', patched(aac, pce))
def blocks(h):
    h[6] = (h[6] & 0xFC) | 3
write('aac_4blocks.aac', patched(aac, blocks))
write('aac_rate_change.aac', whole + read('aac_22k_rate_change_b.aac'))

# Free format: the bitrate index of every MP3 header cleared (the frames keep their lengths).
mp3 = bytearray(read('mp3_8k_mono_mpeg25.mp3'))
i = 0
while i + 4 <= len(mp3) and mp3[i] == 0xFF:
    br = mp3[i + 2] >> 4
    kbps = [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160][br]
    length = 72 * kbps * 1000 // 8000 + ((mp3[i + 2] >> 1) & 1)
    mp3[i + 2] &= 0x0F
    i += length
write('mp3_free_format.mp3', mp3)

# An Info frame whose flags announce nothing: still no sound, libavformat passes over it too.
mp3 = bytearray(read('mp3_44k_cbr.mp3'))
at = mp3.index(b'Info')
mp3[at + 4:at + 8] = b'\0\0\0\0'
write('mp3_44k_info_no_counts.mp3', mp3)

# WAV chunks walked: RIFF, then chunks of id, little-endian size and body, padded to even sizes.
def chunks(data):
    out, i = [], 12
    while i + 8 <= len(data):
        cid, size = data[i:i + 4], struct.unpack('<I', data[i + 4:i + 8])[0]
        out.append((cid, data[i + 8:i + 8 + size]))
        i += 8 + size + (size & 1)
    return data[:12], out

def riff(form, chunk_list, data_size=None):
    body = b'WAVE'
    for cid, b in chunk_list:
        size = len(b) if cid != b'data' or data_size is None else data_size
        body += cid + struct.pack('<I', size) + b + (b'\0' if len(b) & 1 else b'')
    return form + struct.pack('<I', len(body) if form == b'RIFF' else 0xFFFFFFFF) + body

head, cs = chunks(read('wav_16k_mono_s16.wav'))
fmt = [c for c in cs if c[0] == b'fmt ']
data = [c for c in cs if c[0] == b'data']
# An odd-sized chunk and a fact chunk before the data.
write('wav_16k_odd_chunk.wav',
      riff(b'RIFF', fmt + [(b'junk', b'odd'), (b'fact', struct.pack('<I', 1))] + data))
# Recorded into a pipe: the sizes never filled in (0xFFFFFFFF), or 0.
write('wav_16k_size_ffffffff.wav', riff(b'RIFF', fmt + data, 0xFFFFFFFF))
write('wav_16k_size_0.wav', riff(b'RIFF', fmt + data, 0))
# The header cut short inside its format chunk.
write('wav_cut_header.wav', read('wav_16k_mono_s16.wav')[:30])
# A data chunk before any format chunk.
write('wav_no_fmt.wav', riff(b'RIFF', data + fmt))
# An unknown coding (IMA ADPCM, 0x11) in the format chunk.
f = bytearray(fmt[0][1])
f[0:2] = struct.pack('<H', 0x11)
write('wav_adpcm.wav', riff(b'RIFF', [(b'fmt ', bytes(f))] + data))

# Headerless PCM with one byte too many at the end.
write('raw_16k_odd.raw', read('raw_16k_mono.raw') + b'\x01')
EOF

: >empty.aac
rm -f src48k.wav src44k.wav src16k.wav src96k.wav speech22k.wav speech.wav tone.wav right.wav \
    aac_22k_rate_change_b.aac

echo done >made
