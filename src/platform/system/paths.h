// Taking file names apart: folder, name, extension, root, and putting them
// together again. Windows names know both separators, drive letters ("C:",
// "C:\") and "\\server\share" roots; elsewhere '/' alone separates. Both rule
// sets are the same code, the build picks the native one, and tests can ask
// for the other.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vek::paths {

enum class Style { kPosix, kWindows };

#ifdef _WIN32
inline constexpr Style kNative = Style::kWindows;
#else
inline constexpr Style kNative = Style::kPosix;
#endif

bool IsSeparator(char c, Style style = kNative);
// The separator the style writes: '\' on Windows, '/' elsewhere.
char Separator(Style style = kNative);

// Length of the root: "/" (1); on Windows "C:" (2), "C:\" (3), "\" (1),
// "\\server\share\" (the whole server and share with the separator after it).
size_t RootLength(std::string_view path, Style style = kNative);
std::string Root(std::string_view path, Style style = kNative);

// Everything up to and including the last separator (or the bare drive
// "C:"); empty when the name has no folder.
std::string Folder(std::string_view path, Style style = kNative);
// What follows the folder.
std::string Name(std::string_view path, Style style = kNative);
bool HasFolder(std::string_view path, Style style = kNative);
// The last point of the name and what follows it (".bmp"); empty without one.
// A point inside a folder name is no extension.
std::string Extension(std::string_view path, Style style = kNative);
// The path without its extension.
std::string StripExtension(std::string_view path, Style style = kNative);
// The name without folder and extension.
std::string Stem(std::string_view path, Style style = kNative);

// The folder with a separator at its end (unless empty or a bare drive "C:").
std::string WithSeparator(std::string_view folder, Style style = kNative);
// folder + name with exactly one separator between them; an empty folder
// gives the name.
std::string Join(std::string_view folder, std::string_view name, Style style = kNative);

}  // namespace vek::paths
