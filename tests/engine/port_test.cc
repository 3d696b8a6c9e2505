// The platform calls of base/port.h that touch files: files that get their
// name only once complete, with and without the file system's help.

#include "base/port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace pallix {
namespace {

using test::TempDir;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void Write(const port::PendingFile& file, const std::string& bytes) {
  ASSERT_EQ(pwrite(file.fd(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
}

// Both ways of making a pending file behave alike: it is never seen under
// another name than the one it is given, linking never replaces (even a
// dangling link), replacing does, and one never named leaves nothing.
TEST(PortTest, PendingFilesGetOnlyTheirNames) {
  for (auto create : {&port::PendingFile::Create, &port::PendingFile::CreateNamed}) {
    TempDir dir;
    const std::string d = dir.path();
    std::ofstream(d + "/theirs") << "theirs";
    std::filesystem::create_symlink("nowhere", d + "/dangling");
    {
      port::PendingFile dropped;
      ASSERT_EQ(create(d + "/dropped", port::Staging::kBackup, 0644, &dropped), 0);
      Write(dropped, "dropped");
    }
    EXPECT_EQ(Names(d), (std::vector<std::string>{"dangling", "theirs"}));
    {
      port::PendingFile file;
      ASSERT_EQ(create(d + "/mine", port::Staging::kBackup, 0644, &file), 0);
      Write(file, "mine");
      EXPECT_EQ(file.Link(d + "/theirs"), EEXIST);
      EXPECT_EQ(file.Link(d + "/dangling"), EEXIST);
      ASSERT_EQ(file.Link(d + "/mine"), 0);
    }
    EXPECT_EQ(test::ReadFile(d + "/theirs"), "theirs");
    EXPECT_EQ(test::ReadFile(d + "/mine"), "mine");
    struct stat st;
    ASSERT_EQ(stat((d + "/mine").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~[] { mode_t m = umask(0); umask(m); return m; }());
    {
      port::PendingFile file;
      ASSERT_EQ(create(d + "/theirs", port::Staging::kCompact, 0644, &file), 0);
      Write(file, "replaced");
      ASSERT_EQ(file.Replace(d + "/theirs"), 0);
    }
    EXPECT_EQ(test::ReadFile(d + "/theirs"), "replaced");
    EXPECT_EQ(Names(d), (std::vector<std::string>{"dangling", "mine", "theirs"}));
    port::PendingFile nowhere;
    EXPECT_EQ(create(d + "/no/such/x", port::Staging::kBackup, 0644, &nowhere), ENOENT);
  }
}

TEST(PortTest, AnonymousFilesHaveNoName) {
  TempDir dir;
  int fd = -1;
  ASSERT_EQ(port::OpenAnonymousFile(dir.path(), &fd), 0);
  ASSERT_EQ(write(fd, "x", 1), 1);
  EXPECT_TRUE(Names(dir.path()).empty());
  close(fd);
}

}  // namespace
}  // namespace pallix
