#include "platform/system/paths.h"

namespace vek::paths {

namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Index just past the last separator of the part after the root (the root's
// end when there is none).
size_t FolderEnd(std::string_view path, Style style) {
  const size_t root = RootLength(path, style);
  for (size_t i = path.size(); i > root; --i)
    if (IsSeparator(path[i - 1], style)) return i;
  return root;
}

}  // namespace

bool IsSeparator(char c, Style style) {
  return c == '/' || (style == Style::kWindows && c == '\\');
}

char Separator(Style style) { return style == Style::kWindows ? '\\' : '/'; }

size_t RootLength(std::string_view path, Style style) {
  if (path.empty()) return 0;
  if (style == Style::kPosix) return path[0] == '/' ? 1 : 0;
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == ':')
    return path.size() >= 3 && IsSeparator(path[2], style) ? 3 : 2;
  if (path.size() >= 2 && IsSeparator(path[0], style) && IsSeparator(path[1], style)) {
    // \\server\share\ : two names after the double separator.
    size_t i = 2;
    for (int part = 0; part < 2; ++part) {
      while (i < path.size() && !IsSeparator(path[i], style)) ++i;
      if (i < path.size()) ++i;
    }
    return i;
  }
  return IsSeparator(path[0], style) ? 1 : 0;
}

std::string Root(std::string_view path, Style style) {
  return std::string(path.substr(0, RootLength(path, style)));
}

std::string Folder(std::string_view path, Style style) {
  return std::string(path.substr(0, FolderEnd(path, style)));
}

std::string Name(std::string_view path, Style style) {
  return std::string(path.substr(FolderEnd(path, style)));
}

bool HasFolder(std::string_view path, Style style) { return FolderEnd(path, style) > 0; }

std::string Extension(std::string_view path, Style style) {
  const size_t start = FolderEnd(path, style);
  const size_t dot = path.rfind('.');
  return dot == std::string_view::npos || dot < start ? std::string() : std::string(path.substr(dot));
}

std::string StripExtension(std::string_view path, Style style) {
  return std::string(path.substr(0, path.size() - Extension(path, style).size()));
}

std::string Stem(std::string_view path, Style style) { return Name(StripExtension(path, style), style); }

std::string WithSeparator(std::string_view folder, Style style) {
  std::string out(folder);
  if (out.empty() || IsSeparator(out.back(), style)) return out;
  if (style == Style::kWindows && out.size() == 2 && RootLength(out, style) == 2) return out;
  out += Separator(style);
  return out;
}

std::string Join(std::string_view folder, std::string_view name, Style style) {
  return WithSeparator(folder, style) + std::string(name);
}

}  // namespace vek::paths
