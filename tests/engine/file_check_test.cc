#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "storage/read_view.h"
#include "storage/rows.h"
#include "storage/store.h"
#include "tests/engine/test_util.h"

namespace pallix {
namespace {

using test::TempDir;

// A database of a few dozen pages: rows of several sizes, some on
// overflow pages, written over several commits.
std::string MakeDatabase(const std::string& path) {
  auto store = Store::OpenFile(path);
  EXPECT_TRUE(store.has_value());
  for (int i = 0; i < 40; ++i) {
    std::string value(i % 7 == 0 ? 9000 : 300, static_cast<char>('a' + i % 26));
    EXPECT_TRUE(put_row_once(**store, "c", "k" + std::to_string(i), value).has_value());
  }
  store->reset();
  return test::ReadFile(path);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

TEST(FileCheckTest, TruncatedFileIsRefusedAtEveryLength) {
  TempDir dir;
  const std::string whole = MakeDatabase(dir.path() + "/whole");
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  ASSERT_EQ(whole.size() % page, 0u);
  ASSERT_GT(whole.size(), 20 * page);
  // Every page boundary, half the file, and cuts inside the meta pages
  // (inside the magic, the page size, the last page number; short of the
  // second meta page).
  std::set<size_t> lengths = {whole.size() / 2, whole.size() / 2 + 1, 20, 44, 100, 140, page + 100, 2 * page - 1,
                              whole.size() - 1};
  for (size_t n = page; n < whole.size(); n += page) lengths.insert(n);
  const std::string path = dir.path() + "/cut";
  for (size_t n : lengths) {
    const std::string cut = whole.substr(0, n);
    WriteFile(path, cut);
    auto store = Store::OpenFile(path);
    ASSERT_FALSE(store.has_value()) << n;
    EXPECT_EQ(store.error().code(), 1u) << n;
    const std::string prefix = "database: file is truncated: " + std::to_string(n) + " bytes, ";
    EXPECT_TRUE(store.error().Message().starts_with(prefix)) << n << ": " << store.error().Message();
    // Past the meta pages, LMDB's own reading of them names the full size.
    if (n >= 2 * page) {
      EXPECT_EQ(store.error().Message(), prefix + std::to_string(whole.size()) + " expected") << n;
    }
    EXPECT_EQ(test::ReadFile(path), cut) << n;
  }
}

TEST(FileCheckTest, EmptyFileIsNewDatabaseAndWholeFileOpens) {
  TempDir dir;
  const std::string path = dir.path() + "/db";
  const std::string whole = MakeDatabase(path);
  {
    auto store = Store::OpenFile(path);
    ASSERT_TRUE(store.has_value()) << store.error().Message();
    EXPECT_EQ(*count_rows(**store, "c"), 40u);
  }
  WriteFile(path, "");
  auto store = Store::OpenFile(path);
  ASSERT_TRUE(store.has_value()) << store.error().Message();
  EXPECT_EQ(*count_rows(**store, "c"), 0u);
}

TEST(FileCheckTest, FileWithoutTheMagicIsLeftToLmdb) {
  TempDir dir;
  const std::string path = dir.path() + "/db";
  std::string whole = MakeDatabase(path);
  // Short files without LMDB's magic are not databases cut short.
  for (std::string bytes : {std::string("x"), std::string(19, 'x'), std::string(4096, 'x')}) {
    WriteFile(path, bytes);
    auto store = Store::OpenFile(path);
    ASSERT_FALSE(store.has_value());
    EXPECT_EQ(store.error().code(), 1u);
    EXPECT_FALSE(store.error().Message().starts_with("database: file is truncated")) << store.error().Message();
  }
  // A damaged first meta page with a full-length file: LMDB refuses it.
  whole[16] ^= 0x5A;
  WriteFile(path, whole);
  auto store = Store::OpenFile(path);
  ASSERT_FALSE(store.has_value());
  EXPECT_EQ(store.error().code(), 1u);
  EXPECT_EQ(test::ReadFile(path), whole);
}


// Pages a transaction wrote and freed again are never written, so when
// they are the file's last pages, the file would end short of the pages
// its meta page counts and read as cut short at the next open. A database
// closed normally after such transactions always opens again.
TEST(FileCheckTest, PagesFreedByTheTransactionThatMadeThemStillOpen) {
  TempDir dir;
  const std::string path = dir.path() + "/db";
  for (int round = 0; round < 3; ++round) {
    {
      auto store = Store::OpenFile(path);
      ASSERT_TRUE(store.has_value()) << round << ": " << store.error().Message();
      auto ctx = BeginWriteCtx(**store);
      ASSERT_TRUE(ctx.has_value());
      const std::string pad(3000, 'p');
      for (int i = 0; i < 300; ++i) ASSERT_TRUE(put_row(*ctx, "pad", std::to_string(i), pad).has_value());
      for (int i = 0; i < 300; ++i) ASSERT_TRUE(delete_row_counted(*ctx, "pad", std::to_string(i)).has_value());
      ASSERT_TRUE(put_row(*ctx, "c", "k" + std::to_string(round), "v").has_value());
      ASSERT_TRUE(ctx->Commit().has_value());
    }
    auto store = Store::OpenFile(path);
    ASSERT_TRUE(store.has_value()) << round << ": " << store.error().Message();
    EXPECT_EQ(*count_rows(**store, "c"), static_cast<uint64_t>(round + 1));
  }
}
}  // namespace
}  // namespace pallix
