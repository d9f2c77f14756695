#!/usr/bin/python3
"""gst_decode.py FILE.mp4: plays an MP4 through GStreamer, as most Linux desktop players do
(filesrc ! qtdemux ! h264parse ! avdec_h264 ! appsink, or h265parse ! avdec_h265 for an H.265
track, chosen by the caps of qtdemux's video pad), and prints one JSON object:

  md5                each decoded picture's MD5 (hex) over its planes, in output order, each
                     plane's rows without padding one after the other (two bytes a sample,
                     little-endian, above 8 bits): the digest that tests/support/decode.cpp
                     takes of libavcodec's pictures
  stream_times       each picture's stream time in ns (after the segment, i.e. the edit list)
  error              the first error on the bus, or null

The tests run it as a separate process, so that GStreamer's global state stays out of the test
binaries and their leak checks. Needs python3-gi, gir1.2-gst-plugins-base-1.0 and the
gstreamer1.0 plugins good, bad (h265parse) and libav."""
import hashlib
import json
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstVideo  # noqa: E402

PLANAR = (GstVideo.VideoFormatFlags.YUV | GstVideo.VideoFormatFlags.GRAY)
# The parser and decoder for each video caps qtdemux may give its pad.
CODECS = {"video/x-h264": ("h264parse", "avdec_h264"), "video/x-h265": ("h265parse", "avdec_h265")}


def picture_md5(sample):
    """The MD5 of the picture's planes, rows of width * bytes per sample, in plane order."""
    info = GstVideo.VideoInfo.new_from_caps(sample.get_caps())
    f = info.finfo
    if not f.flags & PLANAR or f.n_planes != f.n_components:
        raise ValueError("not a planar YUV format: " + info.finfo.name)
    buf = sample.get_buffer()
    ok, m = buf.map(Gst.MapFlags.READ)
    if not ok:
        raise ValueError("cannot map a decoded picture")
    try:
        h = hashlib.md5()
        for c in range(f.n_components):
            p = f.plane[c]
            w = -((-info.width) >> f.w_sub[c]) * f.pixel_stride[c]
            rows = -((-info.height) >> f.h_sub[c])
            off, stride = info.offset[p] + f.poffset[c], info.stride[p]
            for y in range(rows):
                h.update(m.data[off + y * stride:off + y * stride + w])
        return h.hexdigest()
    finally:
        buf.unmap(m)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gst_decode.py FILE.mp4")
    Gst.init(None)
    out = {"md5": [], "stream_times": [], "error": None}
    pipe = Gst.Pipeline.new()
    elements = [Gst.ElementFactory.make(n) for n in ("filesrc", "qtdemux", "appsink")]
    if None in elements:
        sys.exit("GStreamer lacks one of filesrc, qtdemux, appsink")
    src, demux, sink = elements
    src.set_property("location", sys.argv[1])
    sink.set_property("sync", False)
    for e in elements:
        pipe.add(e)
    src.link(demux)

    def video_pad(_, pad):
        """Links qtdemux's pad to the parser and decoder of its codec."""
        caps = pad.get_current_caps() or pad.query_caps(None)
        kind = caps.get_structure(0).get_name() if caps and caps.get_size() else "no caps"
        names = CODECS.get(kind)
        if names is None:
            if kind.startswith("video/"):
                out["error"] = "no decoder chosen for " + kind
            return
        chain = [Gst.ElementFactory.make(n) for n in names]
        if None in chain:
            out["error"] = "GStreamer lacks one of " + ", ".join(names)
            return
        for e in chain:
            pipe.add(e)
        chain[0].link(chain[1])
        chain[1].link(sink)
        for e in chain:
            e.sync_state_with_parent()
        pad.link(chain[0].get_static_pad("sink"))

    demux.connect("pad-added", video_pad)

    pipe.set_state(Gst.State.PLAYING)
    bus = pipe.get_bus()
    while out["error"] is None:
        sample = sink.emit("try-pull-sample", 100 * Gst.MSECOND)
        if sample is not None:
            try:
                out["md5"].append(picture_md5(sample))
            except ValueError as e:
                out["error"] = str(e)
                break
            seg, pts = sample.get_segment(), sample.get_buffer().pts
            out["stream_times"].append(seg.to_stream_time(Gst.Format.TIME, pts))
            continue
        if sink.get_property("eos"):
            break
        msg = bus.pop_filtered(Gst.MessageType.ERROR)
        if msg is not None:
            err, debug = msg.parse_error()
            out["error"] = "%s: %s (%s)" % (msg.src.get_name(), err.message, debug)
            break
    pipe.set_state(Gst.State.NULL)
    print(json.dumps(out))


if __name__ == "__main__":
    main()
