// The platform calls of base/port.h that touch files: files that get their
// name only once complete, with and without the file system's help.

#include "base/port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
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

// A staging name of the target's own file is a spare name and goes, even
// while the file is held locked. A staging name that the target, a link,
// leads to is its file's only name: it stays while a maker holds it, as
// does a staging name that is a second name of another file.
TEST(PortTest, StagingNameOfTheTargetItselfGoes) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  const std::string hex = "0123456789abcdef";
  std::ofstream(d + "t") << "t";
  std::ofstream(d + "other") << "other";
  std::filesystem::create_hard_link(d + "t", d + ".t.pallix-backup-" + hex);
  std::filesystem::create_hard_link(d + "other", d + ".t.pallix-backup-1111111111111111");
  std::ofstream(d + ".l.pallix-backup-" + hex) << "made";
  std::filesystem::create_symlink(".l.pallix-backup-" + hex, d + "l");
  const int held = open((d + ".l.pallix-backup-" + hex).c_str(), O_RDONLY | O_CLOEXEC);
  const int target = open((d + "t").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_GE(target, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(flock(target, LOCK_EX | LOCK_NB), 0);
  auto any = +[](int) { return true; };
  EXPECT_EQ(port::RemoveStaleStaging(d + "t", port::Staging::kBackup, any), 1u);
  EXPECT_EQ(port::RemoveStaleStaging(d + "l", port::Staging::kBackup, any), 0u);
  close(held);
  close(target);
  EXPECT_EQ(Names(d), (std::vector<std::string>{".l.pallix-backup-" + hex, ".t.pallix-backup-1111111111111111", "l",
                                                "other", "t"}));
  EXPECT_EQ(test::ReadFile(d + "t"), "t");
  EXPECT_EQ(std::filesystem::hard_link_count(d + "t"), 1u);
  EXPECT_EQ(std::filesystem::hard_link_count(d + "other"), 2u);
}

TEST(PortTest, AnonymousFilesHaveNoName) {
  TempDir dir;
  int fd = -1;
  ASSERT_EQ(port::OpenAnonymousFile(dir.path(), &fd), 0);
  ASSERT_EQ(write(fd, "x", 1), 1);
  EXPECT_TRUE(Names(dir.path()).empty());
  close(fd);
}

// Huge-page mappings are cut out of a longer one: every size must come
// back zeroed, whole, and aligned for huge pages once it is that large,
// and unmapping must free exactly it (a neighbouring mapping stays usable).
TEST(PortTest, HugePageMappingsAreZeroedWholeAndAligned) {
  constexpr size_t kHuge = size_t{2} << 20;
  for (const size_t bytes : {size_t{1}, size_t{4096}, size_t{100000}, kHuge - 1, kHuge, kHuge + 1, 3 * kHuge + 12345}) {
    SCOPED_TRACE(bytes);
    auto* a = static_cast<unsigned char*>(port::MapHugePages(bytes));
    auto* b = static_cast<unsigned char*>(port::MapHugePages(bytes));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    if (bytes >= kHuge) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % kHuge, 0u);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % kHuge, 0u);
    }
    EXPECT_EQ(std::count(a, a + bytes, 0), static_cast<ptrdiff_t>(bytes));
    std::fill(a, a + bytes, 0xA5);
    std::fill(b, b + bytes, 0x5A);
    EXPECT_EQ(std::count(a, a + bytes, 0xA5), static_cast<ptrdiff_t>(bytes));
    port::UnmapPages(a, bytes);
    EXPECT_EQ(std::count(b, b + bytes, 0x5A), static_cast<ptrdiff_t>(bytes));
    port::UnmapPages(b, bytes);
  }
}

}  // namespace
}  // namespace pallix
