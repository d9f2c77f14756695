#!/usr/bin/env python3
"""soundcheck: does a browser play an MP4's sound, and in time with its pictures?

    soundcheck.py [--browser chromium,firefox] FILE.mp4|DIR ...
    soundcheck.py --make DIR --cli build/cli/tovanmuxer-cli \\
        [--camerafile build/tests/make_camerafile]        # the files of README's table

One headless browser per kind plays file after file out loud from a local HTTP server (Range
requests answered with 206) through soundcheck.html, and one line is printed per file and
browser:

    PATH ok|FAIL [browser] reasons; figures

Sound: the browser's own counters (Chromium's webkitAudioDecodedByteCount, Firefox's
mozHasAudio) and the signal itself, as an AudioWorklet behind a MediaElementAudioSourceNode
receives it (its loudest sample and how many blocks of 128 held sound). A file whose first
stream FFmpeg decodes to sound is FAIL when the browser plays none of it.

Sync: in a file with a bright picture and a loud sound (the flash-and-beep clip of --make),
the time between showing the first bright picture (requestVideoFrameCallback's
expectedDisplayTime) and playing the first loud sample (the worklet's frame through the
context's output timestamp) is compared with FFmpeg's for the same file; more than
--tolerance apart (default 45 ms, about a picture of 25 Hz) is FAIL. A clip whose flash the
browser did not show (a dropped picture) is played again, up to twice.

Exit status: 0 if every line is ok, 1 if any FAIL, 2 on usage or set-up errors.
"""
import argparse
import http.server
import json
import os
import re
import shutil
import signal
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
PAGE = os.path.join(HERE, 'soundcheck.html')
LOUD = 0.03  # the level the page and FFmpeg take as sound


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, timeout=kw.pop('timeout', 300), **kw)


# ------------------------------------------------------------------ what FFmpeg finds
def ffmpeg_facts(path):
    """FFmpeg's view of a file: the sound's codec, and the beep's time after the flash (s)."""
    facts = {}
    p = run(['ffprobe', '-v', 'error', '-show_entries',
             'stream=codec_type,codec_name,codec_tag_string',
             '-of', 'json', path], text=True)
    try:
        streams = json.loads(p.stdout or '{}').get('streams') or []
    except ValueError:
        streams = []
    for s in streams:
        if s.get('codec_type') == 'audio' and 'sound' not in facts:
            facts['sound'] = '%s/%s' % (s.get('codec_tag_string'), s.get('codec_name'))
    if 'sound' not in facts:
        return facts
    # The first loud sample, on the timeline the command line gives every stream of the file.
    p = run(['ffmpeg', '-nostdin', '-v', 'error', '-i', path, '-map', '0:a', '-af',
             'aresample=async=1:first_pts=0', '-ac', '1', '-ar', '48000', '-f', 'f32le', '-'])
    onset = None
    import array
    a = array.array('f')
    a.frombytes(p.stdout[:len(p.stdout) // 4 * 4])
    for i, x in enumerate(a):
        if abs(x) > LOUD:
            onset = i / 48000.0
            break
    # The first bright picture.
    p = run(['ffmpeg', '-nostdin', '-v', 'info', '-i', path, '-map', '0:v', '-vf',
             'signalstats,metadata=print:key=lavfi.signalstats.YAVG', '-f', 'null', '-'], text=True)
    flash, at = None, None
    for line in p.stderr.splitlines():
        m = re.search(r'pts_time:(\S+)', line)
        if m:
            at = float(m.group(1))
        m = re.search(r'YAVG=(\S+)', line)
        if m and float(m.group(1)) > 100 and at is not None:
            flash = at
            break
    if onset is not None and flash is not None:
        facts['sync'] = onset - flash
    return facts


def make_calibration(tmp):
    """Two copies of a clip whose flash and beep both start at 1 s with nothing in between to
    get wrong: no B-frames (no composition shift), FLAC (no priming), made by FFmpeg. What a
    browser measures on it is its own delay between a picture shown and a sound played."""
    first = os.path.join(tmp, 'calibration-1.mp4')
    p = run(['ffmpeg', '-nostdin', '-v', 'error', '-y', '-f', 'lavfi', '-i',
             "color=c=black:s=320x240:r=25:d=3,drawbox=enable='eq(n,25)':x=0:y=0:w=320:h=240:"
             "c=white:t=fill", '-f', 'lavfi', '-i',
             "sine=f=1000:r=48000:d=3,volume=enable='lt(t,1)':volume=0", '-c:v', 'libx264',
             '-bf', '0', '-g', '50', '-pix_fmt', 'yuv420p', '-ac', '2', '-c:a', 'flac',
             '-strict', '-2', first], text=True)
    if p.returncode:
        sys.exit('soundcheck: cannot make the calibration clip: ' + p.stderr.strip())
    second = os.path.join(tmp, 'calibration-2.mp4')
    shutil.copyfile(first, second)
    return [first, second]


# ------------------------------------------------------------------ http server
class Server:
    """/soundcheck.html, /media/N/NAME with Range, POST /result/ID answered with the next page."""

    def __init__(self, decide):
        self.media = {}
        self.decide = decide  # (result dict) -> next page's URL or None
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = 'HTTP/1.1'

            def log_message(self, fmt, *a):
                if os.environ.get('SOUNDCHECK_LOG'):
                    sys.stderr.write(fmt % a + '\n')

            def do_GET(self):
                url = urllib.parse.urlparse(self.path)
                if url.path == '/soundcheck.html':
                    with open(PAGE, 'rb') as f:
                        return self.send(200, f.read(), 'text/html; charset=utf-8')
                m = re.match(r'^/media/(\w+)/', url.path)
                if m and m.group(1) in server.media:
                    return self.send_media(server.media[m.group(1)])
                return self.send(404, b'not found', 'text/plain')

            do_HEAD = do_GET

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get('Content-Length') or 0))
                try:
                    data = json.loads(body)
                except ValueError as e:
                    data = {'finish': 'bad json: %s' % e}
                nxt = server.decide(data)
                self.send(200, json.dumps({'next': nxt}).encode(), 'application/json')

            def send(self, code, body, ctype, extra=()):
                self.send_response(code)
                self.send_header('Content-Type', ctype)
                self.send_header('Content-Length', str(len(body)))
                self.send_header('Cache-Control', 'no-store')
                for k, v in extra:
                    self.send_header(k, v)
                self.end_headers()
                if self.command != 'HEAD':
                    self.wfile.write(body)

            def send_media(self, path):
                size = os.path.getsize(path)
                start, end, code = 0, size - 1, 200
                m = re.match(r'^bytes=(\d*)-(\d*)$', (self.headers.get('Range') or '').strip())
                if m and (m.group(1) or m.group(2)):
                    if m.group(1):
                        start = int(m.group(1))
                        end = min(int(m.group(2)), size - 1) if m.group(2) else size - 1
                    else:
                        start = max(0, size - int(m.group(2)))
                    if start >= size or start > end:
                        return self.send(416, b'', 'text/plain',
                                         [('Content-Range', 'bytes */%d' % size)])
                    code = 206
                self.send_response(code)
                self.send_header('Content-Type', 'video/mp4')
                self.send_header('Accept-Ranges', 'bytes')
                self.send_header('Content-Length', str(end - start + 1))
                self.send_header('Cache-Control', 'no-store')
                if code == 206:
                    self.send_header('Content-Range', 'bytes %d-%d/%d' % (start, end, size))
                self.end_headers()
                if self.command == 'HEAD':
                    return
                try:
                    with open(path, 'rb') as f:
                        f.seek(start)
                        left = end - start + 1
                        while left > 0:
                            chunk = f.read(min(left, 1 << 16))
                            if not chunk:
                                break
                            self.wfile.write(chunk)
                            left -= len(chunk)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # browsers drop media requests all the time

        class TServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def handle_error(self, request, client_address):
                pass

        self.httpd = TServer(('127.0.0.1', 0), Handler)
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def page(self, token, path, rid, limit):
        self.media[token] = path
        src = '/media/%s/%s' % (token, urllib.parse.quote(os.path.basename(path)))
        return 'http://127.0.0.1:%d/soundcheck.html?%s' % (
            self.port, urllib.parse.urlencode({'id': rid, 'src': src, 'limit': limit}))


# ------------------------------------------------------------------ browsers
def start_browser(kind, url, profiles, helpers):
    env = None
    profile = tempfile.mkdtemp(dir=profiles)  # a fresh one each start
    if kind == 'chromium':
        exe = shutil.which('chromium') or shutil.which('chromium-browser')
        if not exe:
            sys.exit('soundcheck: needs chromium (apt-get install chromium)')
        cmd = [exe, '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run',
               '--no-default-browser-check', '--user-data-dir=' + profile,
               '--autoplay-policy=no-user-gesture-required',
               '--disable-background-media-suspend', '--disable-renderer-backgrounding',
               '--disable-background-timer-throttling', url]
    else:
        exe = shutil.which('firefox-esr') or shutil.which('firefox')
        if not exe:
            sys.exit('soundcheck: needs firefox-esr (apt-get install firefox-esr)')
        prefs = {
            'media.autoplay.default': 0, 'media.autoplay.block-webaudio': False,
            'media.autoplay.blocking_policy': 0, 'browser.shell.checkDefaultBrowser': False,
            'datareporting.policy.dataSubmissionEnabled': False, 'app.update.auto': False,
            'browser.startup.homepage_override.mstone': 'ignore',
            'toolkit.startup.max_resumed_crashes': -1,
            'media.block-autoplay-until-in-foreground': False,
            # No first-run tab that would put the page behind it.
            'browser.aboutwelcome.enabled': False, 'startup.homepage_welcome_url': '',
            'datareporting.policy.firstRunURL': '', 'browser.startup.page': 0,
            'toolkit.telemetry.reportingpolicy.firstRun': False,
            'trailhead.firstrun.didSeeAboutWelcome': True,
        }
        with open(os.path.join(profile, 'user.js'), 'w') as f:
            for k, v in prefs.items():
                f.write('user_pref(%s, %s);\n' % (json.dumps(k), json.dumps(v)))
        # Without a sound device Firefox never starts an audio context (nor plays sound): a
        # PulseAudio server of our own with a null sink is one.
        pulse = shutil.which('pulseaudio')
        if not pulse:
            sys.exit('soundcheck: firefox needs pulseaudio (apt-get install pulseaudio)')
        sock = os.path.join(profile, 'pulse.sock')
        helpers.append(subprocess.Popen(
            [pulse, '-n', '--daemonize=no', '--exit-idle-time=-1', '--disable-shm=yes',
             '--use-pid-file=no', '-L', 'module-null-sink sink_name=null',
             '-L', 'module-native-protocol-unix socket=%s auth-anonymous=1' % sock],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
            env=dict(os.environ, HOME=profile, XDG_RUNTIME_DIR=profile)))
        for _ in range(100):
            if os.path.exists(sock):
                break
            time.sleep(0.1)
        env = dict(os.environ, PULSE_SERVER='unix:' + sock)
        cmd = [exe, '--headless', '--no-remote', '--profile', profile, url]
    return subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True, env=env)


def stop(proc, helpers):
    """Ends a browser (its whole process group) and the helpers started for it."""
    for p in [proc] + helpers:
        try:
            os.killpg(p.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
    helpers.clear()


def verdict(facts, r, tolerance, bias):
    """(ok, reasons, figures) of one play; `bias` the browser's own delay of sound (ms)."""
    bad, figs = [], []
    if r.get('error'):
        bad.append('media error %s' % r['error'])
    if r.get('finish') != 'ended':
        bad.append('finished by %s' % r.get('finish'))
    if r.get('graphError'):
        bad.append('no audio graph: %s' % r['graphError'])
    if not r.get('frames'):
        bad.append('no picture shown')
    sig = r.get('signal') or {}
    heard = sig.get('loud', 0) > 0
    decoded = (r.get('audioBytes') or 0) > 0 or bool(r.get('mozHasAudio'))
    if 'sound' in facts:
        if not decoded:
            bad.append('sound not decoded')
        if not heard:
            bad.append('no sound heard')
    figs.append('pictures %s' % r.get('frames'))
    if r.get('audioBytes') is not None:
        figs.append('audio bytes %d' % r['audioBytes'])
    if r.get('mozHasAudio') is not None:
        figs.append('mozHasAudio %s' % r['mozHasAudio'])
    figs.append('peak %.2f loud blocks %d/%d' % (sig.get('peak', 0), sig.get('loud', 0),
                                                 sig.get('blocks', 0)))
    if 'sync' in facts and heard:
        if r.get('syncMs') is None:
            bad.append('flash not seen' if r.get('flashAt') is None else 'beep not heard')
        else:
            sync = r['syncMs'] - bias
            off = sync - facts['sync'] * 1000
            figs.append('beep-flash %.1f ms (FFmpeg %.1f)' % (sync, facts['sync'] * 1000))
            if abs(off) > tolerance:
                bad.append('sound %+.0f ms off the pictures' % off)
    return not bad, bad, figs


def check(kind, files, facts, limit, verbose):
    """Plays every file in one browser; returns {path: the page's result}."""
    results = {}
    todo = list(files)
    tries = {}
    lock = threading.Condition()
    state = {'current': None}

    def next_url():
        if not todo:
            return None
        path = todo[0]
        tries[path] = tries.get(path, 0) + 1
        state['current'] = path
        state['since'] = time.time()
        rid = 'r%d_%d' % (files.index(path), tries[path])
        return server.page('m%d' % files.index(path), path, rid, limit)

    def decide(r):
        with lock:
            path = state['current']
            if path is None or not todo or todo[0] != path:
                return None
            if verbose:
                print(json.dumps(r), file=sys.stderr)
            # A clip whose flash was dropped (or beep missed) is played again.
            missed = 'sync' in facts[path] and r.get('syncMs') is None and \
                (r.get('signal') or {}).get('loud', 0) > 0 and not r.get('error')
            if not missed or tries[path] >= 3:
                results[path] = r
                todo.pop(0)
            nxt = next_url()
            lock.notify_all()
            return nxt

    server = Server(decide)
    profile = tempfile.mkdtemp(prefix='soundcheck-')
    with lock:
        first = next_url()
    helpers = []
    proc = start_browser(kind, first, profile, helpers)
    try:
        with lock:
            while todo:
                lock.wait(1)
                # The page gives up by itself. A browser that died, or whose page never answers
                # (Firefox now and then leaves its first page hanging), starts again at the file,
                # which counts as one of its tries.
                if proc.poll() is None and time.time() - state['since'] < limit + 20:
                    continue
                stop(proc, helpers)
                path = todo[0]
                if tries[path] >= 3:
                    results[path] = {'finish': 'no answer from the page'}
                    todo.pop(0)
                url = next_url()
                if url:
                    proc = start_browser(kind, url, profile, helpers)
    finally:
        stop(proc, helpers)
        server.httpd.shutdown()
        shutil.rmtree(profile, ignore_errors=True)
    return results


# ------------------------------------------------------------------ the files of the table
def make(out, cli, camerafile):
    """The flash-and-beep clip in every sound format, layout and a few offsets."""
    os.makedirs(out, exist_ok=True)

    def ff(*args):
        p = run(['ffmpeg', '-nostdin', '-v', 'error', '-y'] + list(args), text=True)
        if p.returncode:
            sys.exit('soundcheck: ffmpeg %s: %s' % (' '.join(args), p.stderr.strip()))

    src = os.path.join(out, 'src')
    os.makedirs(src, exist_ok=True)
    flash, beep = os.path.join(src, 'flash.h264'), os.path.join(src, 'beep.wav')
    # As the sync rows of tests/test_cli.cpp make it: a white picture 25 (1 s) among black ones,
    # B-frames, and a 1 kHz beep from 1 s on.
    ff('-f', 'lavfi', '-i', "color=c=black:s=320x240:r=25:d=3,drawbox=enable='eq(n,25)':x=0:"
       "y=0:w=320:h=240:c=white:t=fill", '-c:v', 'libx264', '-bf', '3', '-g', '50',
       '-pix_fmt', 'yuv420p', '-f', 'h264', flash)
    ff('-f', 'lavfi', '-i', "sine=f=1000:r=48000:d=3,volume=enable='lt(t,1)':volume=0",
       '-ac', '2', beep)
    sounds = {
        'aac': ('beep.aac', ['-c:a', 'aac', '-b:a', '128k', '-f', 'adts']),
        'mp3': ('beep.mp3', ['-c:a', 'libmp3lame', '-b:a', '128k']),
        'sowt': ('beep.pcm', ['-f', 's16le']),
        'lpcm24': ('beep24.wav', ['-c:a', 'pcm_s24le']),
        'lpcmf32': ('beepf32.wav', ['-c:a', 'pcm_f32le']),
        'raw8': ('beep8.wav', ['-c:a', 'pcm_u8']),
        'alaw': ('beep.alaw', ['-ar', '8000', '-ac', '1', '-f', 'alaw']),
        'ulaw': ('beep.ulaw', ['-ar', '8000', '-ac', '1', '-f', 'mulaw']),
    }
    for name, (fname, args) in sounds.items():
        ff('-i', beep, *args, os.path.join(src, fname))
    layouts = {'classic': [], 'faststart': ['--faststart'], 'fragment': ['--fragment', '1']}
    jobs = []
    for name, (fname, _) in sounds.items():
        for layout, opts in layouts.items():
            jobs.append(('%s-%s.mp4' % (name, layout),
                         [flash, '--audio', os.path.join(src, fname)] + opts))
    for off in ('0.5', '-0.25'):
        for layout in ('classic', 'fragment'):
            jobs.append(('aac-%s-offset%s.mp4' % (layout, off),
                         [flash, '--audio', os.path.join(src, 'beep.aac'), '--audio-offset', off]
                         + layouts[layout]))
    if camerafile:
        dav = os.path.join(src, 'camera.dav')
        p = run([camerafile, flash, os.path.join(src, 'beep.alaw'), dav], text=True)
        if p.returncode:
            sys.exit('soundcheck: %s: %s' % (camerafile, p.stderr.strip()))
        for layout, opts in layouts.items():
            jobs.append(('dhav-alaw-%s.mp4' % layout, [dav] + opts))
    for name, args in jobs:
        target = os.path.join(out, name)
        if os.path.exists(target):
            os.unlink(target)
        p = run([cli] + args + ['-o', target], text=True)
        if p.returncode:
            sys.exit('soundcheck: %s %s: %s' % (cli, ' '.join(args), p.stderr.strip()))
    # FFmpeg's own files of the AAC clip, for comparison.
    ff('-r', '25', '-i', flash, '-i', os.path.join(src, 'beep.aac'), '-c', 'copy',
       os.path.join(out, 'ffmpeg-aac-classic.mp4'))
    ff('-r', '25', '-i', flash, '-i', os.path.join(src, 'beep.aac'), '-c', 'copy',
       '-bsf:a', 'aac_adtstoasc', '-movflags',
       'frag_keyframe+empty_moov+default_base_moof', os.path.join(out, 'ffmpeg-aac-fragment.mp4'))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('paths', nargs='*', help='MP4 files or directories of them')
    ap.add_argument('--browser', default='chromium', help='chromium, firefox or both (comma)')
    ap.add_argument('--tolerance', type=float, default=45.0, help='ms the sync may be off')
    ap.add_argument('--limit', type=float, default=20.0, help='s a file may take to play')
    ap.add_argument('--make', metavar='DIR', help='make the clips into DIR and check them')
    ap.add_argument('--cli', help='tovanmuxer-cli that --make uses')
    ap.add_argument('--camerafile', help='make_camerafile that --make uses for a DHAV file')
    ap.add_argument('--json', metavar='FILE', help='keep every raw measurement')
    ap.add_argument('-v', '--verbose', action='store_true')
    a = ap.parse_args()
    if a.make:
        if not a.cli:
            ap.error('--make needs --cli')
        make(a.make, a.cli, a.camerafile)
        a.paths.append(a.make)
    files = []
    for p in a.paths:
        if os.path.isdir(p):
            files += sorted(os.path.join(p, n) for n in os.listdir(p) if n.endswith('.mp4'))
        elif os.path.isfile(p):
            files.append(p)
        else:
            ap.error('%s: no such file' % p)
    if not files:
        ap.error('no files')
    files = [os.path.abspath(f) for f in files]
    tmp = tempfile.mkdtemp(prefix='soundcheck-calibration-')
    calibration = make_calibration(tmp)
    facts = {f: ffmpeg_facts(f) for f in files + calibration}
    kinds = [k.strip() for k in a.browser.split(',') if k.strip()]
    kinds = ['firefox' if k.startswith('firefox') else k for k in kinds]
    if any(k not in ('chromium', 'firefox') for k in kinds):
        ap.error('--browser: chromium, firefox')
    all_ok, raw = True, {}
    try:
        for kind in kinds:
            results = check(kind, calibration[:1] + files + calibration[1:], facts, a.limit,
                            a.verbose)
            syncs = [results[c]['syncMs'] - facts[c]['sync'] * 1000 for c in calibration
                     if results[c].get('syncMs') is not None and 'sync' in facts[c]]
            if not syncs:
                print('calibration FAIL [%s] the clip of known sync did not play with its flash '
                      'and beep; no sync measured' % kind, flush=True)
                all_ok = False
            bias = sum(syncs) / len(syncs) if syncs else 0.0
            print('calibration [%s] the browser plays sound %s ms behind its pictures' % (
                kind, ', '.join('%.1f' % x for x in syncs) or 'unknown'), flush=True)
            for path in files:
                r = results[path]
                ok, bad, figs = verdict(facts[path], r, a.tolerance if syncs else 1e9, bias)
                all_ok &= ok
                raw.setdefault(path, {})[kind] = r
                print('%s %s [%s] %s; %s' % (
                    os.path.relpath(path), 'ok' if ok else 'FAIL', kind,
                    ', '.join(bad) or facts[path].get('sound', 'no sound'), ', '.join(figs)),
                    flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if a.json:
        with open(a.json, 'w') as f:
            json.dump({'facts': facts, 'results': raw}, f, indent=1)
    return 0 if all_ok else 1


if __name__ == '__main__':
    # A SIGTERM ends the browsers and their sound server as Ctrl-C does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    sys.exit(main())
