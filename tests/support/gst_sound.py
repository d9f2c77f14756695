#!/usr/bin/python3
"""gst_sound.py FILE.mp4 OUT.raw: plays the sound track of an MP4 through GStreamer (filesrc !
qtdemux ! decodebin ! audioconvert ! appsink, as desktop players do), writes its samples to
OUT.raw as interleaved 64-bit float, and prints one JSON object:

  rate, channels   of the decoded sound
  first_ns         the stream time of the first sample (after the segment, i.e. the edit list)
  onset_ns         the stream time of the first sample louder than -30 dBFS, or null
  error            the first error on the bus, or null

Run as a separate process, as gst_decode.py is."""
import json
import struct
import sys

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: gst_sound.py FILE.mp4 OUT.raw")
    Gst.init(None)
    out = {"rate": 0, "channels": 0, "first_ns": None, "onset_ns": None, "error": None}
    pipe = Gst.parse_launch(
        "filesrc name=src ! qtdemux name=d d.audio_0 ! queue ! decodebin ! audioconvert ! "
        "audio/x-raw,format=F64LE,layout=interleaved ! appsink name=sink sync=false")
    pipe.get_by_name("src").set_property("location", sys.argv[1])
    sink = pipe.get_by_name("sink")
    raw = open(sys.argv[2], "wb")
    pipe.set_state(Gst.State.PLAYING)
    bus = pipe.get_bus()
    while out["error"] is None:
        sample = sink.emit("try-pull-sample", 100 * Gst.MSECOND)
        if sample is not None:
            s = sample.get_caps().get_structure(0)
            rate, channels = s.get_value("rate"), s.get_value("channels")
            out["rate"], out["channels"] = rate, channels
            buf = sample.get_buffer()
            at = sample.get_segment().to_stream_time(Gst.Format.TIME, buf.pts)
            if out["first_ns"] is None:
                out["first_ns"] = at
            ok, m = buf.map(Gst.MapFlags.READ)
            data = bytes(m.data)
            buf.unmap(m)
            raw.write(data)
            if out["onset_ns"] is None:
                values = struct.unpack("<%dd" % (len(data) // 8), data)
                for i, v in enumerate(values):
                    if abs(v) > 0.03:
                        out["onset_ns"] = at + (i // channels) * 1000000000 // rate
                        break
            continue
        if sink.get_property("eos"):
            break
        msg = bus.pop_filtered(Gst.MessageType.ERROR)
        if msg is not None:
            err, debug = msg.parse_error()
            out["error"] = "%s: %s (%s)" % (msg.src.get_name(), err.message, debug)
    pipe.set_state(Gst.State.NULL)
    raw.close()
    print(json.dumps(out))


if __name__ == "__main__":
    main()
