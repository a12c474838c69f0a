// Opens the library's dialogs through its exports from a Windows host and
// works them as a user would, from a second thread that finds the dialog by
// its caption and its controls by their texts (a box's label names the box
// after it), types into edits, clicks radios, picks list rows and presses OK
// or Cancel. Each case prints one line "<name> <ok|FAIL> <details>"; the job
// record is compared byte for byte before and after the dialog.
//   vek_dialogs.exe <dll> <output folder> [shots]
// With "shots" every dialog is also written as <folder>/<name>.bmp, window
// frame included, before it is closed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vek/vek.h"

namespace {

using AllocFn = VekJob*(VEKAPI*)(void);
using FreeFn = void(VEKAPI*)(VekJob*);
using OutputDlgFn = int32_t(VEKAPI*)(VekJob*, VekList*, const char*, int32_t);
using CodecDlgFn = int32_t(VEKAPI*)(VekJob*, int32_t, int32_t, int32_t, int32_t);
using LastErrorFn = void(VEKAPI*)(VekLastError*);

std::wstring g_dir;
bool g_shots = false;
int g_failures = 0;

std::wstring Text(HWND w) {
  wchar_t buf[512] = {};
  GetWindowTextW(w, buf, 511);
  return buf;
}

std::wstring ClassOf(HWND w) {
  wchar_t buf[128] = {};
  GetClassNameW(w, buf, 127);
  return buf;
}

// Children of the dialog in their order (the tab order).
std::vector<HWND> Children(HWND dlg) {
  std::vector<HWND> out;
  for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
  return out;
}

// The control whose text is `text` ("&" access keys ignored), or the first
// control of class `cls` after it when cls is given.
HWND Find(HWND dlg, const std::wstring& text, const wchar_t* cls = nullptr, int skip = 0) {
  const std::vector<HWND> all = Children(dlg);
  for (size_t i = 0; i < all.size(); ++i) {
    std::wstring t = Text(all[i]);
    std::wstring plain;
    for (wchar_t ch : t)
      if (ch != L'&') plain += ch;
    if (plain != text) continue;
    if (!cls) return all[i];
    for (size_t j = i + 1; j < all.size(); ++j)
      if (_wcsicmp(ClassOf(all[j]).c_str(), cls) == 0 && skip-- == 0) return all[j];
    return nullptr;
  }
  return nullptr;
}

HWND WaitDialog(const std::wstring& caption) {
  for (int i = 0; i < 500; ++i) {
    HWND w = FindWindowW(L"VekDialog", caption.c_str());
    if (w && IsWindowVisible(w)) {
      Sleep(150);  // painted, the OnOpen work done
      return w;
    }
    Sleep(20);
  }
  return nullptr;
}

void Shot(HWND dlg, const std::string& name) {
  if (!g_shots) return;
  RedrawWindow(dlg, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  Sleep(300);
  RECT r;
  GetWindowRect(dlg, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = static_cast<DWORD>((w * 3 + 3) & ~3);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof(fh) + sizeof(bi.bmiHeader);
  fh.bfSize = fh.bfOffBits + stride * static_cast<DWORD>(h);
  const std::wstring path = g_dir + L"\\" + std::wstring(name.begin(), name.end()) + L".bmp";
  if (FILE* f = _wfopen(path.c_str(), L"wb")) {
    fwrite(&fh, sizeof(fh), 1, f);
    fwrite(&bi.bmiHeader, sizeof(bi.bmiHeader), 1, f);
    fwrite(bits, 1, stride * static_cast<size_t>(h), f);
    fclose(f);
  }
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
}

// A user's actions, sent to the dialog's thread.
// Into an edit: focus it, replace its text, and leave it for the next control
// (the dialog thread moves the focus, so the edit hears that it lost it).
void Type(HWND edit, const wchar_t* text) {
  HWND dlg = GetParent(edit);
  SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
  SendMessageW(edit, EM_SETSEL, 0, -1);
  SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text));
  SendMessageW(dlg, WM_NEXTDLGCTL, 0, FALSE);
}
void Click(HWND button) {
  if (getenv("VEK_DIALOGS_TRACE")) std::fprintf(stderr, "click %p\n", static_cast<void*>(button));
  SendMessageW(button, BM_CLICK, 0, 0);
}
void Press(HWND dlg, const wchar_t* text) {
  if (HWND b = Find(dlg, text)) Click(b);
}
HWND FirstOf(HWND dlg, const wchar_t* cls) {
  for (HWND c : Children(dlg))
    if (_wcsicmp(ClassOf(c).c_str(), cls) == 0) return c;
  return nullptr;
}
// Clicks the first radio that is not ticked.
void OtherRadio(HWND dlg) {
  for (HWND b : Children(dlg))
    if (ClassOf(b) == L"Button" && (GetWindowLongW(b, GWL_STYLE) & 0xF) == BS_RADIOBUTTON &&
        SendMessageW(b, BM_GETCHECK, 0, 0) != BST_CHECKED) {
      Click(b);
      return;
    }
}
// The scroll bar's left arrow, clicked `lines` times; notes the value shown.
std::string Scroll(HWND dlg, int lines) {
  HWND bar = FirstOf(dlg, L"ScrollBar");
  for (int i = 0; i < lines; ++i)
    SendMessageW(dlg, WM_HSCROLL, MAKEWPARAM(SB_LINELEFT, 0), reinterpret_cast<LPARAM>(bar));
  const std::wstring shown = Text(FirstOf(dlg, L"Edit"));
  return "shows " + std::string(shown.begin(), shown.end());
}
void PickRow(HWND dlg, HWND list, int row) {
  SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(row), 0);
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
}

struct Case {
  std::string name;
  std::wstring caption;
  std::function<int32_t(VekJob*)> open;
  // Works the dialog; returns a note for the report.
  std::function<std::string(HWND)> drive;
};

// Offsets of the bytes that differ between two job records.
std::vector<size_t> Diff(const VekJob& a, const VekJob& b) {
  std::vector<size_t> out;
  const auto* pa = reinterpret_cast<const unsigned char*>(&a);
  const auto* pb = reinterpret_cast<const unsigned char*>(&b);
  for (size_t i = 0; i < sizeof(VekJob); ++i)
    if (pa[i] != pb[i]) out.push_back(i);
  return out;
}

bool Inside(const std::vector<size_t>& offs, size_t from, size_t size) {
  for (size_t o : offs)
    if (o < from || o >= from + size) return false;
  return true;
}

void Report(const std::string& name, bool ok, const std::string& detail) {
  std::printf("%s %s %s\n", name.c_str(), ok ? "ok" : "FAIL", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

struct Driven {
  const Case* c;
  std::string note;
  bool found = false;
};

DWORD WINAPI DriverThread(void* p) {
  auto* d = static_cast<Driven*>(p);
  HWND dlg = WaitDialog(d->c->caption);
  if (!dlg) {
    // Nobody else would close it: the case fails instead of hanging.
    if (HWND other = FindWindowW(L"VekDialog", nullptr)) PostMessageW(other, WM_CLOSE, 0, 0);
    return 0;
  }
  d->found = true;
  if (getenv("VEK_DIALOGS_TRACE")) std::fprintf(stderr, "driving %s\n", d->c->name.c_str());
  d->note = d->c->drive(dlg);
  return 0;
}

// Runs one case; `expect` checks the result and the changed bytes.
void Run(VekJob* job, const Case& c,
         const std::function<std::string(int32_t, const VekJob&, const VekJob&)>& expect) {
  const VekJob before = *job;
  Driven d{&c, {}, false};
  HANDLE t = CreateThread(nullptr, 0, DriverThread, &d, 0, nullptr);
  const int32_t r = c.open(job);
  WaitForSingleObject(t, 20000);
  CloseHandle(t);
  if (!d.found) {
    Report(c.name, false, "dialog \"" + std::string(c.caption.begin(), c.caption.end()) + "\" not seen (result " + std::to_string(r) + ")");
    return;
  }
  const std::string problem = expect(r, before, *job);
  Report(c.name, problem.empty(), problem.empty() ? d.note : problem + " " + d.note);
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// Names as a Windows host gives them: a caption in the ANSI code page, and a
// file list from a drive-letter pattern whose files the preview steps through
// (the folder holds in0.bmp .. in2.bmp).
void WindowsNames(HMODULE lib, VekJob* job) {
  using ListAllocFn = VekList*(VEKAPI*)(void);
  using ListAddFn = int32_t(VEKAPI*)(VekList*, const char*, int32_t);
  using ListFreeFn = void(VEKAPI*)(VekList*);
  auto output_dlg = reinterpret_cast<OutputDlgFn>(GetProcAddress(lib, "VekOutputDlg"));
  auto list_alloc = reinterpret_cast<ListAllocFn>(GetProcAddress(lib, "VekListAlloc"));
  auto list_add = reinterpret_cast<ListAddFn>(GetProcAddress(lib, "VekListAdd"));
  auto list_free = reinterpret_cast<ListFreeFn>(GetProcAddress(lib, "VekListFree"));
  auto unchanged = [](int32_t r, const VekJob& a, const VekJob& b) -> std::string {
    if (r != 0) return "Cancel returned " + std::to_string(r);
    return Diff(a, b).empty() ? std::string() : "Cancel changed the job";
  };
  // "Café" in Windows-1252, the code page of Wine's default English locale.
  Run(job, {"ansi_caption", L"Caf\u00e9 Settings",
            [&](VekJob* j) { return output_dlg(j, nullptr, "Caf\xe9 Settings", 1); },
            [](HWND d) {
              Press(d, L"Cancel");
              return std::string("found by its wide caption");
            }},
      unchanged);
  if (!list_alloc || !list_add || !list_free) {
    Report("preview_list", false, "list exports missing");
    return;
  }
  VekList* list = list_alloc();
  // Both separators, as hosts mix them.
  list_add(list, (Narrow(g_dir) + "\\in?.BMP;" + Narrow(g_dir) + "/in2.bmp").c_str(), VEK_LIST_IMAGES);
  std::wstring shown;
  Run(job, {"preview_list", L"Output Settings",
            [&](VekJob* j) { return output_dlg(j, list, "Output Settings", 1); },
            [&shown](HWND d) {
              for (HWND c : Children(d))
                if (_wcsicmp(ClassOf(c).c_str(), L"Edit") == 0 && Text(c).find(L" / ") != std::wstring::npos)
                  shown = Text(c);
              Press(d, L"Cancel");
              return "the frame box shows \"" + Narrow(shown) + "\"";
            }},
      [&shown](int32_t r, const VekJob& a, const VekJob& b) -> std::string {
        if (shown != L"1 / 4") return "the preview lists other files than in0..in2 and in2 again";
        if (r != 0 || !Diff(a, b).empty()) return "Cancel changed the job";
        return {};
      });
  list_free(list);
}

// A visible window of the dialog's thread other than the dialog: a box it opened.
struct BoxSearch {
  HWND dlg, box;
};
BOOL CALLBACK NoteBox(HWND w, LPARAM p) {
  auto* s = reinterpret_cast<BoxSearch*>(p);
  if (w == s->dlg || !IsWindowVisible(w)) return TRUE;
  s->box = w;
  return FALSE;
}
HWND BoxOf(HWND dlg) {
  BoxSearch s{dlg, nullptr};
  EnumThreadWindows(GetWindowThreadProcessId(dlg, nullptr), NoteBox, reinterpret_cast<LPARAM>(&s));
  return s.box;
}

// The about box of the Cinepak codec, opened from the AVI dialog: it must be
// owned by the dialog, which stays disabled until the box closes. Returns
// what went wrong, if anything.
std::string CodecAboutBox(HWND d) {
  // Every installed codec listed.
  HWND show = FirstOf(d, L"ComboBox");
  const int kinds = static_cast<int>(SendMessageW(show, CB_GETCOUNT, 0, 0));
  SendMessageW(show, CB_SETCURSEL, static_cast<WPARAM>(kinds - 1), 0);
  SendMessageW(d, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(show), CBN_SELCHANGE), reinterpret_cast<LPARAM>(show));
  HWND list = FirstOf(d, L"ListBox");
  const int rows = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  int row = -1;
  for (int i = 0; i < rows && row < 0; ++i) {
    wchar_t text[256] = {};
    if (SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0) < 255)
      SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    if (wcsstr(text, L"Cinepak")) row = i;
  }
  if (row < 0) return "no Cinepak row among " + std::to_string(rows);
  PickRow(d, list, row);
  HWND about = Find(d, L"About...");
  if (!about || !IsWindowEnabled(about)) return "About... not offered for Cinepak";
  // Posted: the dialog's thread stays in the box's loop until it closes.
  PostMessageW(d, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(about), BN_CLICKED), reinterpret_cast<LPARAM>(about));
  HWND box = nullptr;
  for (int i = 0; i < 250 && !box; ++i) {
    Sleep(20);
    box = BoxOf(d);
  }
  if (!box) return "no about box";
  Sleep(150);
  std::string problem;
  if (GetWindow(box, GW_OWNER) != d) problem += "the box is not owned by the AVI dialog; ";
  if (IsWindowEnabled(d)) problem += "the AVI dialog stays enabled behind the box; ";
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  for (int i = 0; i < 250 && IsWindow(box) && IsWindowVisible(box); ++i) Sleep(20);
  Sleep(150);
  if (!IsWindowEnabled(d)) problem += "the AVI dialog stays disabled after the box closed; ";
  return problem;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vek_dialogs <dll> <folder> [shots]\n");
    return 2;
  }
  {
    const std::string d = argv[2];
    g_dir = std::wstring(d.begin(), d.end());
  }
  g_shots = argc > 3 && std::strcmp(argv[3], "shots") == 0;
  HMODULE lib = LoadLibraryA(argv[1]);
  if (!lib) {
    std::fprintf(stderr, "cannot load %s\n", argv[1]);
    return 2;
  }
  auto get = [&](const char* n) { return reinterpret_cast<void*>(GetProcAddress(lib, n)); };
  auto alloc = reinterpret_cast<AllocFn>(get("VekAlloc"));
  auto free_job = reinterpret_cast<FreeFn>(get("VekFree"));
  auto output_dlg = reinterpret_cast<OutputDlgFn>(get("VekOutputDlg"));
  auto codec_dlg = reinterpret_cast<CodecDlgFn>(get("VekCodecDlg"));
  auto last_error = reinterpret_cast<LastErrorFn>(get("VekGetLastError"));
  if (!alloc || !free_job || !output_dlg || !codec_dlg) {
    std::fprintf(stderr, "exports missing\n");
    return 2;
  }
  VekJob* job = alloc();

  // Without a display: the error, at once.
  if (argc > 3 && std::strcmp(argv[3], "nodisplay") == 0) {
    const VekJob before = *job;
    const int32_t r = output_dlg(job, nullptr, "Output", 1);
    VekLastError e{};
    if (last_error) last_error(&e);
    Report("no_display", r == 0 && std::memcmp(&before, job, sizeof(VekJob)) == 0,
           "result " + std::to_string(r) + ", status " + std::to_string(e.status));
    free_job(job);
    FreeLibrary(lib);
    return g_failures ? 1 : 0;
  }

  if (g_shots) {
    // A job as a user would have it: an AVI at 640x480 in 24 bits.
    using FileFn = void(VEKAPI*)(VekJob*, const char*, const char*);
    using TwoFn = void(VEKAPI*)(VekJob*, int32_t, int32_t);
    using OneFn = void(VEKAPI*)(VekJob*, int32_t);
    if (auto f = reinterpret_cast<FileFn>(get("VekSetOutputFile"))) f(job, "holiday.avi", nullptr);
    if (auto f = reinterpret_cast<TwoFn>(get("VekSetResolution"))) f(job, 640, 480);
    if (auto f = reinterpret_cast<OneFn>(get("VekSetBpp"))) f(job, 24);
  }
  const size_t res_w = offsetof(VekJob, width), res_h = offsetof(VekJob, height);
  const size_t opts = offsetof(VekJob, saveOpts);
  auto only = [](const std::vector<size_t>& offs, std::initializer_list<std::pair<size_t, size_t>> fields) {
    for (size_t o : offs) {
      bool in = false;
      for (auto& f : fields) in = in || (o >= f.first && o < f.first + f.second);
      if (!in) return false;
    }
    return true;
  };
  auto expect_ok = [&](std::initializer_list<std::pair<size_t, size_t>> fields) {
    std::vector<std::pair<size_t, size_t>> keep(fields);
    return [&only, keep](int32_t r, const VekJob& a, const VekJob& b) -> std::string {
      const std::vector<size_t> d = Diff(a, b);
      if (r != -1) return "OK returned " + std::to_string(r);
      if (d.empty()) return "OK changed nothing";
      for (size_t o : d) {
        bool in = false;
        for (auto& f : keep) in = in || (o >= f.first && o < f.first + f.second);
        if (!in) return "OK changed byte " + std::to_string(o) + " outside the edited fields";
      }
      (void)only;
      return {};
    };
  };
  auto expect_cancel = [](int32_t r, const VekJob& a, const VekJob& b) -> std::string {
    if (r != 0) return "Cancel returned " + std::to_string(r);
    const std::vector<size_t> d = Diff(a, b);
    if (!d.empty()) return "Cancel changed " + std::to_string(d.size()) + " bytes (first at " + std::to_string(d[0]) + ")";
    return {};
  };

  const wchar_t* kSettings = L"Output Settings";
  auto settings = [&](VekJob* j) { return output_dlg(j, nullptr, "Output Settings", 1); };
  auto codec = [&](int fmt) { return [&, fmt](VekJob* j) { return codec_dlg(j, fmt, 64, 48, 24); }; };

  // Output settings: a new size; then the same typed and cancelled.
  Run(job, {"settings_ok", kSettings, settings, [](HWND d) {
              Type(Find(d, L"Width", L"Edit"), L"320");
              Type(Find(d, L"Height", L"Edit"), L"240");
              Shot(d, "settings");
              Press(d, L"OK");
              return std::string("width 320, height 240");
            }},
      expect_ok({{res_w, 4}, {res_h, 4}, {offsetof(VekJob, sourceRes), 4}}));
  if (job->width != 320 || job->height != 240)
    Report("settings_values", false, "job holds " + std::to_string(job->width) + "x" + std::to_string(job->height));
  Run(job, {"settings_cancel", kSettings, settings, [](HWND d) {
              Type(Find(d, L"Width", L"Edit"), L"100");
              Click(Find(d, L"Dithering"));
              Press(d, L"Cancel");
              return std::string();
            }},
      expect_cancel);
  // Escape closes as Cancel does.
  Run(job, {"settings_escape", kSettings, settings, [](HWND d) {
              Type(Find(d, L"Height", L"Edit"), L"99");
              PostMessageW(d, WM_COMMAND, IDCANCEL, 0);
              return std::string();
            }},
      expect_cancel);

  // The choice dialogs: the second option, then a cancelled third.
  struct Choice {
    const char* name;
    int fmt;
    const wchar_t* caption;
    const wchar_t* option;
    size_t field;
  };
  const Choice choices[] = {
      {"tga", 1, L"TGA Compression", L"Uncompressed", offsetof(VekSaveOpts, tgaCodec)},
      {"sgi", 13, L"SGI Compression", L"Uncompressed", offsetof(VekSaveOpts, sgiCodec)},
      {"ras", 14, L"RAS Compression", L"Uncompressed", offsetof(VekSaveOpts, rasCodec)},
      {"pnm", 15, L"PNM Format", L"ASCII Encoded", offsetof(VekSaveOpts, pnmAscii)},
      {"tiff", 10, L"TIFF Compression", L"LZW Compressed", offsetof(VekSaveOpts, tiffCompression)},
  };
  for (const Choice& ch : choices) {
    const size_t field = opts + ch.field;
    Run(job, {std::string(ch.name) + "_ok", ch.caption, codec(ch.fmt), [name = std::string(ch.name)](HWND d) {
                // The option that is not ticked yet.
                for (HWND b : Children(d))
                  if ((GetWindowLongW(b, GWL_STYLE) & 0xF) == BS_RADIOBUTTON &&
                      SendMessageW(b, BM_GETCHECK, 0, 0) != BST_CHECKED) {
                    Click(b);
                    break;
                  }
                Shot(d, "option_" + name);
                Press(d, L"OK");
                return std::string();
              }},
        expect_ok({{field, 4}, {opts + offsetof(VekSaveOpts, format), 4}, {opts + offsetof(VekSaveOpts, dialog), 4}}));
    Run(job, {std::string(ch.name) + "_cancel", ch.caption, codec(ch.fmt), [](HWND d) {
                for (HWND b : Children(d))
                  if ((GetWindowLongW(b, GWL_STYLE) & 0xF) == BS_RADIOBUTTON &&
                      SendMessageW(b, BM_GETCHECK, 0, 0) != BST_CHECKED) {
                    Click(b);
                    break;
                  }
                Press(d, L"Cancel");
                return std::string();
              }},
        expect_cancel);
  }

  // The other option dialogs: one setting changed, then the same cancelled.
  struct Other {
    const char* name;
    int fmt;
    const wchar_t* caption;
    std::function<std::string(HWND)> change;
    std::vector<std::pair<size_t, size_t>> fields;
  };
  const size_t fmt_fields = opts + offsetof(VekSaveOpts, format);
  const std::vector<Other> others = {
      {"jpeg", 8, L"JPEG Quality",
       [](HWND d) { return Scroll(d, 3); },
       {{opts + offsetof(VekSaveOpts, jpegQuality), 4}}},
      {"png", 9, L"PNG Compression Level",
       [](HWND d) { return Scroll(d, 2); },
       {{opts + offsetof(VekSaveOpts, pngLevel), 4}}},
      {"hav", 7, L"HAV Settings",
       [](HWND d) { Type(Find(d, L"Key frame every", L"Edit"), L"7"); OtherRadio(d); return std::string("key frames 7"); },
       {{opts + offsetof(VekSaveOpts, havKeyFrameRate), 4}, {opts + offsetof(VekSaveOpts, havCodec), 4}}},
      {"mpeg", 11, L"MPEG Compression",
       [](HWND d) { OtherRadio(d); return std::string("the other MPEG"); },
       {{opts + offsetof(VekSaveOpts, mpegCodec), 4}, {opts + offsetof(VekSaveOpts, mpegDataRate), 4}}},
      {"avi", 6, L"Select AVI Video Format",
       [](HWND d) {
         // Every installed codec, not only those for 64x48 in 24 bits.
         HWND show = FirstOf(d, L"ComboBox");
         const int kinds = static_cast<int>(SendMessageW(show, CB_GETCOUNT, 0, 0));
         SendMessageW(show, CB_SETCURSEL, static_cast<WPARAM>(kinds - 1), 0);
         SendMessageW(d, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(show), CBN_SELCHANGE), reinterpret_cast<LPARAM>(show));
         HWND list = FirstOf(d, L"ListBox");
         const int rows = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
         const int now = static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0));
         PickRow(d, list, now == 0 ? rows - 1 : 0);
         return std::to_string(rows) + " codecs listed";
       },
       {{opts + offsetof(VekSaveOpts, prepCodec), 16}, {opts + offsetof(VekSaveOpts, avi), sizeof(VekAviCodecSettings)}}},
  };
  for (const Other& o : others) {
    std::vector<std::pair<size_t, size_t>> fields = o.fields;
    fields.push_back({fmt_fields, 8});  // format and its dialog: chosen by the call itself
    Run(job, {std::string(o.name) + "_ok", o.caption, codec(o.fmt), [&o](HWND d) {
                const std::string note = o.change(d);
                Shot(d, std::string("option_") + o.name);
                Press(d, L"OK");
                return note;
              }},
        [&](int32_t r, const VekJob& a, const VekJob& b) -> std::string {
          const std::vector<size_t> d = Diff(a, b);
          if (r != -1) return "OK returned " + std::to_string(r);
          if (d.empty()) return "OK changed nothing";
          bool edited = false;  // the setting itself, not only the format chosen by the call
          for (size_t off : d)
            for (auto& f : o.fields) edited = edited || (off >= f.first && off < f.first + f.second);
          if (!edited) return "OK left the edited setting as it was";
          if (!only(d, {})) {
            for (size_t off : d) {
              bool in = false;
              for (auto& f : fields) in = in || (off >= f.first && off < f.first + f.second);
              if (!in) return "OK changed byte " + std::to_string(off) + " outside the edited fields";
            }
          }
          return {};
        });
    Run(job, {std::string(o.name) + "_cancel", o.caption, codec(o.fmt), [&o](HWND d) {
                o.change(d);
                Press(d, L"Cancel");
                return std::string();
              }},
        expect_cancel);
  }

  WindowsNames(lib, job);
  // A codec's about box over the AVI dialog, which waits disabled behind it.
  static std::string about_problem;
  Run(job, {"avi_about", L"Select AVI Video Format", codec(6), [](HWND d) {
              about_problem = CodecAboutBox(d);
              Press(d, L"Cancel");
              return std::string("about box owned by the dialog");
            }},
      [](int32_t r, const VekJob& a, const VekJob& b) -> std::string {
        if (!about_problem.empty()) return about_problem;
        if (r != 0 || !Diff(a, b).empty()) return "Cancel returned " + std::to_string(r) + " or changed the job";
        return {};
      });

  // GIF, an extension format: its settings are process-wide, so the job
  // keeps no more than the format the call chose; the refinement passes are
  // offered with the palette optimiser alone.
  using SetFn = int32_t(VEKAPI*)(int32_t);
  auto ext_formats = reinterpret_cast<SetFn>(get("VekExtSetFormats"));
  auto ext_loop = reinterpret_cast<SetFn>(get("VekExtSetLoopCount"));
  auto ext_mode = reinterpret_cast<SetFn>(get("VekExtSetPaletteMode"));
  auto ext_refine = reinterpret_cast<SetFn>(get("VekExtSetPaletteRefinement"));
  if (!ext_formats || !ext_loop || !ext_mode || !ext_refine) {
    Report("gif", false, "extension exports missing");
  } else {
    ext_formats(-1);
    for (bool ok : {false, true}) {
      static std::string gif_problem;
      gif_problem.clear();
      Run(job, {ok ? "gif_ok" : "gif_cancel", L"GIF Settings", codec(4), [ok](HWND d) {
                  HWND refine = Find(d, L"Refinement", L"Edit");
                  if (!refine || IsWindowEnabled(refine)) gif_problem = "refinement offered with the quantiser;";
                  Press(d, L"Palette optimiser");
                  if (!refine || !IsWindowEnabled(refine)) gif_problem += "refinement not offered with the optimiser;";
                  Type(Find(d, L"Play", L"Edit"), L"3");
                  if (refine) Type(refine, L"2");
                  if (ok) Shot(d, "option_gif");
                  Press(d, ok ? L"OK" : L"Cancel");
                  return std::string("optimiser, 3 plays, 2 passes");
                }},
          [&, ok](int32_t r, const VekJob& a, const VekJob& b) -> std::string {
            if (!gif_problem.empty()) return gif_problem;
            if (r != (ok ? -1 : 0)) return "returned " + std::to_string(r);
            for (size_t off : Diff(a, b))
              if (off < fmt_fields || off >= fmt_fields + 8) return "changed byte " + std::to_string(off) + " of the job";
            const int32_t loop = ext_loop(VEK_UNDEFINED), mode = ext_mode(VEK_UNDEFINED),
                          passes = ext_refine(VEK_UNDEFINED);
            if (ok ? loop != 3 || mode != 1 || passes != 2 : loop != 0 || mode != 0 || passes != 0)
              return "settings " + std::to_string(loop) + " plays, mode " + std::to_string(mode) + ", " +
                     std::to_string(passes) + " passes";
            return {};
          });
    }
    ext_loop(0);
    ext_mode(0);
    ext_refine(0);
    ext_formats(0);
  }
  {
    // The MP4 and WebM options, with the extension formats on: quality, data
    // rate and key-frame interval changed, then the same cancelled; the job
    // is read back as a host reads it.
    using SwitchFn = int32_t(VEKAPI*)(int32_t);
    using VideoFormatFn = int32_t(VEKAPI*)(VekJob*, int32_t, int32_t, int32_t, int32_t, int32_t*, int32_t*, int32_t*,
                                           int32_t*);
    auto ext_formats = reinterpret_cast<SwitchFn>(get("VekExtSetFormats"));
    auto video_format = reinterpret_cast<VideoFormatFn>(get("VekGetVideoFormat"));
    if (!ext_formats || !video_format) {
      Report("video_options", false, "VekExtSetFormats or VekGetVideoFormat missing");
    } else {
      ext_formats(1);
      struct Video {
        const char* name;
        int fmt;
        const wchar_t* caption;
      };
      for (const Video& vd : {Video{"mp4", 20, L"MP4 Settings"}, Video{"webm", 21, L"WebM Settings"}}) {
        auto change = [](HWND d) {
          HWND bar = FirstOf(d, L"ScrollBar");
          for (int i = 0; i < 5; ++i)
            SendMessageW(d, WM_HSCROLL, MAKEWPARAM(SB_LINELEFT, 0), reinterpret_cast<LPARAM>(bar));
          Type(Find(d, L"Data rate", L"Edit"), L"1600");
          Type(Find(d, L"Key frame every", L"Edit"), L"50");
          return std::string("quality 5 lower, 1600 kilobits/sec, key frames 50");
        };
        int32_t q0 = 0, r0 = 0, k0 = 0;
        video_format(job, vd.fmt, 64, 48, 24, nullptr, &q0, &r0, &k0);
        Run(job, {std::string(vd.name) + "_ok", vd.caption, codec(vd.fmt), [&](HWND d) {
                    const std::string note = change(d);
                    Shot(d, std::string("option_") + vd.name);
                    Press(d, L"OK");
                    return note;
                  }},
            [&](int32_t r, const VekJob&, const VekJob&) -> std::string {
              if (r != -1) return "OK returned " + std::to_string(r);
              int32_t q = 0, rate = 0, k = 0;
              video_format(job, vd.fmt, 64, 48, 24, nullptr, &q, &rate, &k);
              if (q != q0 - 5 || rate != 200 || k != 50)
                return "the job holds quality " + std::to_string(q) + " (was " + std::to_string(q0) + "), " +
                       std::to_string(rate) + " kilobytes/sec, key frames " + std::to_string(k);
              return {};
            });
        Run(job, {std::string(vd.name) + "_cancel", vd.caption, codec(vd.fmt), [&](HWND d) {
                    change(d);
                    Press(d, L"Cancel");
                    return std::string();
                  }},
            expect_cancel);
        (void)r0, (void)k0;
      }
      ext_formats(0);
    }
  }

  free_job(job);
  FreeLibrary(lib);
  (void)Narrow;
  (void)Inside;
  return g_failures ? 1 : 0;
}
