#!/usr/bin/env python3
"""Plays what vekconv writes in headless Chromium.

Writes an MP4 and a WebM with vekconv from known frames (a photo panned a
few pixels a frame, with colour bars), serves them from a local HTTP server on the loopback
interface, and opens a page that loads each in a <video> element, seeks to
the middle of a known frame, draws it to a canvas and posts the canvas's
pixels back. The picture must be the source frame (PSNR above the
threshold, and clearly closer to it than to its neighbours), the mean
colours of its bars those of the source, and the duration that of the
frames written.

  playback_check.py VEKCONV DEMO_DATA_DIR [FORMAT...]

Exit status 0 on success, 1 on failure, 77 when no Chromium is installed.
"""
import base64
import http.server
import json
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

FPS = 25
FRAMES = 50
WIDTH, HEIGHT = 320, 240
STEP = 6  # pixels the view moves per frame: neighbours differ clearly
TARGET = 31  # the frame drawn; away from key frames at both ends
# The writers' default settings give 35 to 36 dB on this picture in Chromium;
# a frame off by one lands near 20 dB.
MIN_PSNR = 32.0
# Mean colour of each bar's inside, per channel: coding noise averages out.
# Chromium draws BT.709 saturated colours up to 16 levels off even from
# ffmpeg's own files (a wrong matrix: 40 and more); greys it draws within a
# level or two.
MAX_SHIFT = {HEIGHT - 48: 24.0, 0: 6.0}
MIN_MARGIN = 3.0  # dB above the nearest neighbour frame
# Bars of flat colour, 48x48 pixels on the macroblock grid. Saturated ones
# along the bottom show a wrong colour matrix, dark and light greys along the
# top a wrong range (either shifts some bar's mean colour by 13 levels or more).
SATURATED = ["red", "lime", "blue", "yellow", "magenta", "cyan"]
GREYS = ["0x101010", "0x202020", "0x404040", "0xc0c0c0", "0xe0e0e0", "0xf0f0f0"]
BAR_ROWS = [(HEIGHT - 48, SATURATED), (0, GREYS)]
BARS = ",".join(f"drawbox=x={i * 48}:y={y}:w=48:h=48:color={c}:t=fill"
                for y, colours in BAR_ROWS for i, c in enumerate(colours))
TIMEOUT = 60  # seconds for Chromium to load, seek and report one file

PAGE = """<!doctype html><html><body><script>
const params = new URLSearchParams(location.search);
const name = params.get('v'), t = parseFloat(params.get('t'));
let done = false;
function report(obj) {
  if (done) return;
  done = true;
  fetch('/result', {method: 'POST', body: JSON.stringify(obj)});
}
const v = document.createElement('video');
v.muted = true;
v.preload = 'auto';
v.addEventListener('error', () =>
  report({error: 'media error ' + (v.error ? v.error.code + ' ' + v.error.message : '?'),
          canPlay: v.canPlayType(params.get('type'))}));
v.addEventListener('loadeddata', () => { v.currentTime = t; }, {once: true});
v.addEventListener('seeked', () => {
  // The frame at the new position is decoded once 'seeked' fires; one more
  // animation frame lets the compositor hand it to drawImage.
  requestAnimationFrame(() => {
    const c = document.createElement('canvas');
    c.width = v.videoWidth;
    c.height = v.videoHeight;
    const g = c.getContext('2d');
    g.drawImage(v, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data;
    const rgb = new Uint8Array(c.width * c.height * 3);
    for (let i = 0, j = 0; i < d.length; i += 4, j += 3) {
      rgb[j] = d[i]; rgb[j + 1] = d[i + 1]; rgb[j + 2] = d[i + 2];
    }
    let s = '';
    for (let i = 0; i < rgb.length; i += 0x8000) s += String.fromCharCode.apply(null, rgb.subarray(i, i + 0x8000));
    report({width: c.width, height: c.height, duration: v.duration, time: v.currentTime, pixels: btoa(s)});
  });
}, {once: true});
v.src = name;
document.body.appendChild(v);
</script></body></html>
"""


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def find_chromium():
    for name in (os.environ.get("CHROMIUM"), "chromium", "chromium-browser", "google-chrome"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def read_bmp(path):
    """RGB rows top-down of a 24-bit uncompressed BMP."""
    data = open(path, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    w, h, _, bits, comp = struct.unpack_from("<iiHHI", data, 18)
    if bits != 24 or comp != 0:
        fail(f"{path}: not a 24-bit BMP")
    stride = (w * 3 + 3) & ~3
    out = bytearray()
    rows = range(abs(h) - 1, -1, -1) if h > 0 else range(abs(h))
    for y in rows:
        row = data[offset + y * stride: offset + y * stride + w * 3]
        for x in range(0, len(row), 3):
            out += bytes((row[x + 2], row[x + 1], row[x]))
    return w, abs(h), bytes(out)


def bar_means(rgb, top):
    """Mean red, green and blue inside each bar of a row (8 pixels off its edges)."""
    out = []
    for i in range(6):
        sums, n = [0, 0, 0], 0
        for y in range(top + 8, top + 40):
            row = rgb[(y * WIDTH + i * 48 + 8) * 3:(y * WIDTH + i * 48 + 40) * 3]
            for c in range(3):
                sums[c] += sum(row[c::3])
            n += 32
        out.append([v / n for v in sums])
    return out


def psnr(a, b):
    se = sum((x - y) * (x - y) for x, y in zip(a, b))
    if se == 0:
        return 99.0
    return 10 * math.log10(255 * 255 * len(a) / se)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    result = None
    got = threading.Event()


def handler_for(folder):
    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *a, **k):
            super().__init__(*a, directory=folder, **k)

        # Media elements seek only in files served with byte ranges.
        def do_GET(self):
            path = self.translate_path(self.path)
            rng = self.headers.get("Range", "")
            if not rng.startswith("bytes=") or not os.path.isfile(path):
                return super().do_GET()
            data = open(path, "rb").read()
            first, _, last = rng[6:].split(",")[0].partition("-")
            start = int(first) if first else max(len(data) - int(last), 0)
            end = min(int(last), len(data) - 1) if first and last else len(data) - 1
            if start >= len(data) or start > end:
                self.send_response(416)
                self.send_header("Content-Range", f"bytes */{len(data)}")
                self.end_headers()
                return
            self.send_response(206)
            self.send_header("Content-Type", self.guess_type(path))
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Range", f"bytes {start}-{end}/{len(data)}")
            self.send_header("Content-Length", str(end - start + 1))
            self.end_headers()
            self.wfile.write(data[start:end + 1])

        def end_headers(self):
            self.send_header("Accept-Ranges", "bytes")
            super().end_headers()

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            self.send_response(204)
            self.end_headers()
            self.server.result = json.loads(body or b"{}")
            self.server.got.set()

        def log_message(self, *a):
            pass

    return Handler


def play(chromium, server, work, name, mime):
    server.result = None
    server.got.clear()
    port = server.server_address[1]
    t = (TARGET + 0.5) / FPS
    url = f"http://127.0.0.1:{port}/page.html?v={name}&t={t}&type={mime}"
    profile = tempfile.mkdtemp(dir=work)
    log = open(os.path.join(work, name + ".chromium.log"), "w")
    args = [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--no-default-browser-check", "--disable-extensions", "--disable-background-networking",
            "--mute-audio", "--autoplay-policy=no-user-gesture-required",
            f"--user-data-dir={profile}", url]
    # A home of its own: CI may run without one, or with one not writable.
    env = dict(os.environ, HOME=profile, XDG_CONFIG_HOME=profile, XDG_CACHE_HOME=profile)
    proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, start_new_session=True, env=env)
    try:
        ok = server.got.wait(TIMEOUT)
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        log.close()
    if not ok:
        tail = open(log.name, errors="replace").read()[-1500:]
        fail(f"{name}: Chromium reported nothing within {TIMEOUT} s; its log ends:\n{tail}")
    return server.result


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    vekconv, demo = sys.argv[1], sys.argv[2]
    formats = sys.argv[3:] or ["mp4", "webm"]
    chromium = find_chromium()
    if not chromium:
        print("SKIP: no Chromium installed (Debian package chromium)")
        return 77
    work = tempfile.mkdtemp(prefix="vek-playback-")
    try:
        frames = os.path.join(work, "in")
        os.mkdir(frames)
        # The photo panned STEP pixels a frame, right and down.
        r = subprocess.run(["ffmpeg", "-v", "error", "-loop", "1", "-i", os.path.join(demo, "chelsea_400.png"),
                            "-vf", f"scale=640:480,crop={WIDTH}:{HEIGHT}:'n*{STEP}':'n*{STEP // 2}'," + BARS,
                            "-frames:v", str(FRAMES), "-start_number", "0", "-pix_fmt", "bgr24",
                            os.path.join(frames, "in%04d.bmp")], capture_output=True, text=True)
        if r.returncode != 0:
            fail("ffmpeg could not make the source frames: " + r.stderr)
        source = [read_bmp(os.path.join(frames, f"in{i:04d}.bmp"))[2] for i in (TARGET - 1, TARGET, TARGET + 1)]
        with open(os.path.join(work, "page.html"), "w") as f:
            f.write(PAGE)
        server = Server(("127.0.0.1", 0), handler_for(work))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        failures = 0
        for fmt in formats:
            name = "out." + fmt
            mime = {"mp4": 'video/mp4; codecs="avc1.42E01E"', "webm": 'video/webm; codecs="vp9"'}.get(fmt, "")
            r = subprocess.run([vekconv, "-q", "-r", str(FPS), os.path.join(work, name),
                                os.path.join(frames, "in%04d.bmp")], capture_output=True, text=True, timeout=300)
            if r.returncode != 0 or not os.path.exists(os.path.join(work, name)):
                fail(f"vekconv could not write {name} (status {r.returncode}): {r.stdout}{r.stderr}")
            res = play(chromium, server, work, name, mime)
            if "error" in res:
                print(f"FAIL {name}: Chromium could not play it: {res['error']} (canPlayType: {res.get('canPlay')!r})")
                failures += 1
                continue
            pixels = base64.b64decode(res["pixels"])
            if (res["width"], res["height"]) != (WIDTH, HEIGHT) or len(pixels) != WIDTH * HEIGHT * 3:
                print(f"FAIL {name}: Chromium shows {res['width']}x{res['height']}, not {WIDTH}x{HEIGHT}")
                failures += 1
                continue
            before, at, after = (psnr(pixels, s) for s in source)
            problems = []
            shifts = []
            for top, _ in BAR_ROWS:
                got, want = bar_means(pixels, top), bar_means(source[1], top)
                shift = max(abs(a - b) for g, w in zip(got, want) for a, b in zip(g, w))
                shifts.append(f"{shift:.1f}")
                if shift > MAX_SHIFT[top]:
                    problems.append(f"bars at row {top} off by up to {shift:.1f} levels (wrong colour "
                                    f"matrix or range?): shown {[[round(v) for v in m] for m in got]}, "
                                    f"source {[[round(v) for v in m] for m in want]}")
            if abs(res["duration"] - FRAMES / FPS) > 1.5 / FPS:
                problems.append(f"duration {res['duration']:.3f} s, not {FRAMES / FPS:.3f} s")
            if at < MIN_PSNR:
                problems.append(f"frame {TARGET} at {at:.2f} dB, below {MIN_PSNR} dB")
            if at < max(before, after) + MIN_MARGIN:
                problems.append(f"not clearly frame {TARGET}: neighbours at {before:.2f} and {after:.2f} dB")
            verdict = "FAIL" if problems else "ok"
            print(f"{verdict} {name}: {os.path.getsize(os.path.join(work, name))} bytes, duration "
                  f"{res['duration']:.3f} s, seeked to {res['time']:.3f} s, frame {TARGET} at {at:.2f} dB "
                  f"(frames {TARGET - 1} and {TARGET + 1}: {before:.2f}, {after:.2f} dB), bars within {' and '.join(shifts)} levels"
                  + ("; " + "; ".join(problems) if problems else ""))
            failures += bool(problems)
        server.shutdown()
        return 1 if failures else 0
    finally:
        if os.environ.get("VEK_KEEP_PLAYBACK"):
            print("kept " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
