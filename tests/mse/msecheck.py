#!/usr/bin/env python3
"""By hand: does a fragmented MP4 of tovanmuxer-cli play through Media Source Extensions?

    tests/mse/msecheck.py FILE.mp4 [FILE.mp4 ...]      # needs chromium (apt-get install chromium)

Serves a small page and the file on 127.0.0.1; the page (headless Chromium) fetches the file,
appends the initialization segment (ftyp, moov) and then each fragment (moof, mdat) to a
SourceBuffer one by one, as a live player would, ends the stream and plays it muted, counting
the presented frames with requestVideoFrameCallback. One line per file: ok or FAIL, with the
frames presented against ffprobe's count, the first frame's time and the buffered range.
H.264 files only (headless Chromium has no H.265 decoder).
"""
import http.server, json, os, subprocess, sys, tempfile, threading

PAGE = """<!doctype html><video id=v muted playsinline></video><script>
const v = document.getElementById('v');
const report = r => fetch('/result', {method: 'POST', body: JSON.stringify(r)});
window.onerror = e => report({error: String(e)});
(async () => {
  const bytes = new Uint8Array(await (await fetch('/file.mp4')).arrayBuffer());
  // the top-level boxes: the init segment is everything before the first moof, then each
  // moof with the mdat behind it; mfra at the end is not media
  const boxes = [];
  for (let at = 0; at + 8 <= bytes.length;) {
    const size = new DataView(bytes.buffer).getUint32(at);
    const type = String.fromCharCode(...bytes.slice(at + 4, at + 8));
    boxes.push({at, size, type});
    if (size < 8) break;
    at += size;
  }
  const segments = [];
  let init = boxes.findIndex(b => b.type === 'moof');
  segments.push(bytes.slice(0, boxes[init].at));
  for (let i = init; i < boxes.length; i++)
    if (boxes[i].type === 'moof') segments.push(bytes.slice(boxes[i].at, boxes[i + 1].at + boxes[i + 1].size));
  // frames from the first one on, which is shown as soon as it is appended
  const times = [];
  const frame = (now, m) => { times.push(m.mediaTime); v.requestVideoFrameCallback(frame); };
  v.requestVideoFrameCallback(frame);
  const ms = new MediaSource();
  v.src = URL.createObjectURL(ms);
  await new Promise(r => ms.addEventListener('sourceopen', r, {once: true}));
  const sb = ms.addSourceBuffer('video/mp4; codecs="CODEC"');
  for (const s of segments) {
    sb.appendBuffer(s);
    await new Promise((r, e) => { sb.onupdateend = r; sb.onerror = e; });
  }
  ms.endOfStream();
  v.playbackRate = 0.25;  // slowly: no frame dropped on a busy machine
  await v.play();
  await new Promise(r => v.addEventListener('ended', r, {once: true}));
  const b = sb.buffered;
  const q = v.getVideoPlaybackQuality();
  report({fragments: segments.length - 1, times, decoded: q.totalVideoFrames,
          dropped: q.droppedVideoFrames,
          buffered: b.length ? [b.start(0), b.end(b.length - 1)] : [], ranges: b.length,
          error: v.error ? v.error.message : null});
})().catch(e => report({error: String(e)}));
</script>"""


def codec_of(data):
    at = data.find(b"avcC")
    if at < 0:
        return None
    return "avc1.%02x%02x%02x" % (data[at + 5], data[at + 6], data[at + 7])


def check(path, browser):
    data = open(path, "rb").read()
    codec = codec_of(data)
    if not codec:
        return "%s FAIL not an H.264 file" % path
    want = int(subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                               "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path],
                              capture_output=True, text=True).stdout.strip() or 0)
    result = {}
    done = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *a):
            pass

        def do_GET(self):
            body = PAGE.replace("CODEC", codec).encode() if self.path == "/" else data
            self.send_response(200)
            self.send_header("Content-Type", "text/html" if self.path == "/" else "video/mp4")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_POST(self):
            result.update(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
            self.send_response(204)
            self.end_headers()
            done.set()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        b = subprocess.Popen([browser, "--headless=new", "--no-sandbox", "--mute-audio",
                              "--autoplay-policy=no-user-gesture-required",
                              "--user-data-dir=" + profile,
                              "http://127.0.0.1:%d/" % server.server_port],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        done.wait(120)
        os.killpg(b.pid, 9)  # the browser and the processes it started
        b.wait()
    server.shutdown()
    if not result:
        return "%s FAIL no result from the page" % path
    if result.get("error"):
        return "%s FAIL %s" % (path, result["error"])
    times = sorted(set(result["times"]))
    ok = len(times) == want and times and times[0] < 1e-3 and result["ranges"] == 1
    return ("%s %s [chromium MSE] %d fragments appended one by one, frames=%d/%d decoded=%d "
            "dropped=%d first=%.3f buffered=%s" % (
                path, "ok" if ok else "FAIL", result["fragments"], len(times), want,
                result["decoded"], result["dropped"], times[0] if times else -1,
                result["buffered"]))


def main():
    browser = next((b for b in ("chromium", "chromium-browser") if
                    subprocess.run(["sh", "-c", "command -v " + b], capture_output=True).returncode == 0), None)
    if not browser or len(sys.argv) < 2:
        print(__doc__ if browser else "needs chromium (apt-get install chromium)")
        return 2
    lines = [check(p, browser) for p in sys.argv[1:]]
    print("\n".join(lines))
    return 0 if all(" ok " in l for l in lines) else 1


if __name__ == "__main__":
    sys.exit(main())
