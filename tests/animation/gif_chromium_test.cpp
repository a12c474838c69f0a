// GIF writing against a browser: headless Chromium decodes our animations
// with ImageDecoder, draws every frame to a canvas, and the pixels it reads
// back must equal the frames we quantised. Chromium is driven over its
// DevTools pipe, so the test waits for the page's own answer, not a timer.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "animation/anim_test_util.h"
#include "engine/format_dispatch.h"
#include "formats/movie/gif_writer.h"
#include "image/palette_histogram.h"

namespace {

using namespace anim_test;
using namespace vek;

constexpr const char* kChromium = "/usr/bin/chromium";

std::string Base64(const Bytes& b) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string o;
  for (size_t i = 0; i < b.size(); i += 3) {
    const uint32_t v = uint32_t(b[i]) << 16 | (i + 1 < b.size() ? uint32_t(b[i + 1]) << 8 : 0) |
                       (i + 2 < b.size() ? b[i + 2] : 0);
    o += abc[v >> 18];
    o += abc[(v >> 12) & 63];
    o += i + 1 < b.size() ? abc[(v >> 6) & 63] : '=';
    o += i + 2 < b.size() ? abc[v & 63] : '=';
  }
  return o;
}

// FNV-1a, as the page computes it over the canvas's RGBA bytes.
std::string Fnv(const Bytes& d) {
  uint32_t h = 0x811c9dc5u;
  for (uint8_t c : d) h = (h ^ c) * 16777619u;
  char s[16];
  std::snprintf(s, sizeof s, "%x", h);
  return s;
}

// The page: one line per frame, "index hash", after "frames n".
std::string Page(const Bytes& gif) {
  return "<!doctype html><meta charset=utf-8><script>\n"
         "const bytes = Uint8Array.from(atob('" + Base64(gif) + "'), c => c.charCodeAt(0));\n"
         "function fnv(d) { let h = 0x811c9dc5; for (let i = 0; i < d.length; i++) {"
         " h ^= d[i]; h = Math.imul(h, 16777619) >>> 0; } return h.toString(16); }\n"
         "window.result = (async () => {\n"
         "  const dec = new ImageDecoder({data: bytes, type: 'image/gif'});\n"
         "  await dec.tracks.ready;\n"
         "  const n = dec.tracks.selectedTrack.frameCount;\n"
         "  const lines = ['frames ' + n];\n"
         "  for (let i = 0; i < n; i++) {\n"
         "    const f = (await dec.decode({frameIndex: i})).image;\n"
         "    const c = new OffscreenCanvas(f.displayWidth, f.displayHeight);\n"
         "    const x = c.getContext('2d');\n"
         "    x.drawImage(f, 0, 0);\n"
         "    lines.push(i + ' ' + fnv(x.getImageData(0, 0, c.width, c.height).data));\n"
         "    f.close();\n"
         "  }\n"
         "  return lines.join(';');\n"
         "})().catch(e => 'error ' + e);\n"
         "</script>\n";
}

#ifndef _WIN32
// Chromium with its DevTools protocol on descriptors 3 (commands) and 4
// (answers), messages ending in a zero byte.
class Browser {
 public:
  explicit Browser(const std::string& profile) {
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);  // the browser's helpers end with it
      dup2(to[0], 3);
      dup2(from[1], 4);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      for (int fd = 5; fd < 1024; ++fd) close(fd);
      const std::string dir = "--user-data-dir=" + profile;
      execl(kChromium, kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--remote-debugging-pipe", "--mute-audio", dir.c_str(), "about:blank", static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid_ > 0) setpgid(pid_, pid_);
    close(to[0]);
    close(from[1]);
    out_ = to[1];
    in_ = from[0];
  }
  ~Browser() {
    if (pid_ > 0) {
      Call(R"("method":"Browser.close")", 5);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      int status = 0;
      while (waitpid(pid_, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < end) usleep(20000);
      kill(-pid_, SIGKILL);
      waitpid(pid_, &status, WNOHANG);
    }
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
  }
  bool ok() const { return pid_ > 0; }

  // Sends `body` (the fields after the id) and returns the answer with that
  // id; empty after `seconds`.
  std::string Call(const std::string& body, int seconds, const std::string& session = "") {
    const int id = ++id_;
    std::string msg = "{\"id\":" + std::to_string(id) + "," + body;
    if (!session.empty()) msg += ",\"sessionId\":\"" + session + "\"";
    msg += "}";
    msg.push_back('\0');
    for (size_t at = 0; at < msg.size();) {
      const ssize_t n = write(out_, msg.data() + at, msg.size() - at);
      if (n <= 0) return "";
      at += size_t(n);
    }
    const std::string tag = "{\"id\":" + std::to_string(id) + ",";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (true) {
      for (size_t z; (z = buf_.find('\0')) != std::string::npos;) {
        std::string one = buf_.substr(0, z);
        buf_.erase(0, z + 1);
        if (one.compare(0, tag.size(), tag) == 0) return one;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p{in_, POLLIN, 0};
      if (poll(&p, 1, int(left.count())) <= 0) continue;
      char chunk[65536];
      const ssize_t n = read(in_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buf_.append(chunk, size_t(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, in_ = -1, id_ = 0;
  std::string buf_;
};

// The text of field `key` in a flat answer.
std::string Field(const std::string& json, const std::string& key) {
  const std::string k = "\"" + key + "\":\"";
  const size_t at = json.find(k);
  if (at == std::string::npos) return "";
  return json.substr(at + k.size(), json.find('"', at + k.size()) - at - k.size());
}

// Frame hashes as Chromium draws them, "frames n;0 h;1 h;..." or an error.
std::string ChromiumFrames(const std::string& page) {
  Browser b(Temp("chromium-profile"));
  if (!b.ok()) return "error: no browser";
  const std::string target =
      Field(b.Call(R"("method":"Target.createTarget","params":{"url":"file://)" + page + "\"}", 60), "targetId");
  if (target.empty()) return "error: no page";
  const std::string session = Field(
      b.Call(R"("method":"Target.attachToTarget","params":{"targetId":")" + target + R"(","flatten":true})", 60),
      "sessionId");
  if (session.empty()) return "error: no session";
  // Waits for the page's answer; an evaluation that began in the blank
  // document before the page replaced it is asked again.
  const std::string wait =
      "new Promise(ok => { const f = () => location.protocol === 'file:' && window.result"
      " ? window.result.then(ok) : setTimeout(f, 20); f(); })";
  for (int attempt = 0; attempt < 20; ++attempt) {
    const std::string a = b.Call(R"("method":"Runtime.evaluate","params":{"expression":")" + wait +
                                     R"(","awaitPromise":true,"returnByValue":true})",
                                 120, session);
    const std::string v = Field(a, "value");
    if (!v.empty()) return v;
    if (a.empty()) return "error: no answer";
    usleep(100000);
  }
  return "error: no result";
}
#endif

struct Clip {
  std::vector<QImg> frames;
  ~Clip() {
    for (QImg& f : frames) ImgFree(&f);
  }
};

// Writes `clip` and checks Chromium's frames against it.
void ExpectChromiumDrawsAsQuantised(const Clip& clip, const std::string& name) {
  const std::string gif = Temp(name + ".gif");
  GifWriter gw;
  MonitoredBoundary("T.Write", [&] {
    GifWriterCreate(gw, gif, 25, false);
    for (const QImg& f : clip.frames) GifWriterSave(gw, const_cast<QImg&>(f));
    GifWriterClose(gw);
  });
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
#ifndef _WIN32
  const std::string page = Temp(name + ".html");
  const std::string html = Page(ReadAll(gif));
  WriteAll(page, Bytes(html.begin(), html.end()));
  std::string want = "frames " + std::to_string(clip.frames.size());
  for (size_t i = 0; i < clip.frames.size(); ++i) want += ";" + std::to_string(i) + " " + Fnv(ToRgba(clip.frames[i]));
  EXPECT_EQ(ChromiumFrames(page), want) << name;
#endif
}

TEST_F(AnimTest, ChromiumDrawsEveryFrameAsQuantised) {
  if (kWindowsBuild || access(kChromium, X_OK) != 0) GTEST_SKIP() << "Chromium is missing";
  // A photo panned under a still corner, dithered for LZW into one palette:
  // frames that change almost everywhere.
  {
    constexpr int kW = 120, kH = 90, kFrames = 12;
    QImg photo{};
    MonitoredBoundary("T.Photo", [&] {
      ImgLoad(std::string(VEK_TEST_DATA) + "/still/rocket_640x427.jpg", photo, kUndefined);
    });
    ASSERT_TRUE(ErrNone());
    std::vector<QImg> src(kFrames);
    HqBegin(true);
    for (int i = 0; i < kFrames; ++i) {
      ImgAlloc(&src[i], kW, kH, 24, 1, "Test.src");
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          const bool still = x < 30 && y < 20;
          const uint8_t* p =
              photo.pixels + 3 * (size_t(still ? y + 300 : y + 2 * i) * photo.width + (still ? x + 500 : x + 5 * i));
          std::memcpy(src[i].pixels + 3 * (size_t(y) * kW + x), p, 3);
        }
      HqCount(&src[i]);
    }
    HqBuild(255);
    Clip pan;
    pan.frames.resize(kFrames);
    for (int i = 0; i < kFrames; ++i) HqRemap(&src[i], &pan.frames[i], true);
    HqEnd();
    for (QImg& s : src) ImgFree(&s);
    ImgFree(&photo);
    ExpectChromiumDrawsAsQuantised(pan, "pan");
  }
  // A few flat colours with a moving box and a frame that changes nothing:
  // small rectangles, transparent holes, codes shorter than the table.
  {
    constexpr int kW = 64, kH = 48;
    Clip boxes;
    for (int i = 0; i < 8; ++i) {
      QImg f{};
      ImgAlloc(&f, kW, kH, 8, 1, "Test.box");
      for (int k = 0; k < 40; ++k) {
        f.palette[3 * k] = uint8_t(k * 6);
        f.palette[3 * k + 1] = uint8_t(255 - k * 5);
        f.palette[3 * k + 2] = uint8_t(k * 11 % 256);
      }
      const int at = i == 5 ? 4 : i;  // frame 5 repeats frame 4
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          const bool box = x >= 6 * at && x < 6 * at + 10 && y >= 3 * at && y < 3 * at + 12;
          f.pixels[size_t(y) * kW + x] = uint8_t(box ? 1 + (x + y) % 3 : (x / 16 + y / 12) % 2 ? 4 : 5);
      f.pixels[size_t(kW) * kH - 1] = 39;  // a 64-entry table; the box's frames need 3-bit codes
        }
      boxes.frames.push_back(f);
    }
    ExpectChromiumDrawsAsQuantised(boxes, "boxes");
  }
}

}  // namespace
