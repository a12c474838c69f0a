#include <gtest/gtest.h>

#include "platform/system/paths.h"

using vek::paths::Style;

namespace {

struct Case {
  Style style;
  const char* path;
  const char* root;
  const char* folder;
  const char* name;
  const char* ext;
};

constexpr Style W = Style::kWindows;
constexpr Style P = Style::kPosix;

// Both rule sets on the same names: what is a separator on one is a plain
// character on the other.
const Case kCases[] = {
    {W, "C:\\dir\\a.bmp", "C:\\", "C:\\dir\\", "a.bmp", ".bmp"},
    {W, "C:/dir\\sub/a.b.bmp", "C:/", "C:/dir\\sub/", "a.b.bmp", ".bmp"},
    {W, "C:a.bmp", "C:", "C:", "a.bmp", ".bmp"},
    {W, "C:\\", "C:\\", "C:\\", "", ""},
    {W, "\\\\srv\\share\\in\\*.bmp", "\\\\srv\\share\\", "\\\\srv\\share\\in\\", "*.bmp", ".bmp"},
    {W, "\\\\srv\\share", "\\\\srv\\share", "\\\\srv\\share", "", ""},
    {W, "\\top\\x", "\\", "\\top\\", "x", ""},
    {W, "Z:\\my dir.v1\\clip", "Z:\\", "Z:\\my dir.v1\\", "clip", ""},
    {W, "rel\\out.mpg", "", "rel\\", "out.mpg", ".mpg"},
    {W, "out", "", "", "out", ""},
    {W, ".hidden", "", "", ".hidden", ".hidden"},
    {P, "/tmp/my dir.v1/clip", "/", "/tmp/my dir.v1/", "clip", ""},
    {P, "/a/b.c", "/", "/a/", "b.c", ".c"},
    {P, "C:\\dir\\a.bmp", "", "", "C:\\dir\\a.bmp", ".bmp"},
    {P, "rel/x\\y.gif", "", "rel/", "x\\y.gif", ".gif"},
    {P, "/", "/", "/", "", ""},
};

TEST(Paths, TakesNamesApartOnBothSeparatorSets) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.style == W ? "windows " : "posix ") + c.path);
    EXPECT_EQ(vek::paths::Root(c.path, c.style), c.root);
    EXPECT_EQ(vek::paths::Folder(c.path, c.style), c.folder);
    EXPECT_EQ(vek::paths::Name(c.path, c.style), c.name);
    EXPECT_EQ(vek::paths::Extension(c.path, c.style), c.ext);
    EXPECT_EQ(vek::paths::HasFolder(c.path, c.style), *c.folder != 0);
    // Folder and name always give the path back.
    EXPECT_EQ(vek::paths::Folder(c.path, c.style) + vek::paths::Name(c.path, c.style), c.path);
    EXPECT_EQ(vek::paths::StripExtension(c.path, c.style) + c.ext, c.path);
  }
}

TEST(Paths, JoinsWithOneSeparator) {
  EXPECT_EQ(vek::paths::Join("C:\\dir", "a.bmp", W), "C:\\dir\\a.bmp");
  EXPECT_EQ(vek::paths::Join("C:\\dir/", "a.bmp", W), "C:\\dir/a.bmp");
  EXPECT_EQ(vek::paths::Join("C:", "a.bmp", W), "C:a.bmp");
  EXPECT_EQ(vek::paths::Join("", "a.bmp", W), "a.bmp");
  EXPECT_EQ(vek::paths::Join("/tmp", "a.bmp", P), "/tmp/a.bmp");
  EXPECT_EQ(vek::paths::Join("dir\\", "a.bmp", P), "dir\\/a.bmp");
  EXPECT_EQ(vek::paths::Stem("Z:\\in\\my clip.v2.avi", W), "my clip.v2");
}

}  // namespace
