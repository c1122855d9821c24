#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/profile/ProfileCache.h"
#include "platform/profile/ProfileFile.h"
#include "tests/platform/profile/ProfileTestSupport.h"

namespace qrv::test {
namespace {

using platform::LastError;
using platform::ProfileCache;
using platform::ProfileFile;

class ProfileCacheTest : public ProfileTest {};

// "w<writer>k<index>"; built by appending, as "w" + std::string trips GCC 12's
// -Wrestrict at -O3
std::string ThreadKey(int writer, int index) {
  std::string key = "w";
  key.append(std::to_string(writer)).append("k").append(std::to_string(index));
  return key;
}

TEST_F(ProfileCacheTest, ManyReadsOfAnUnchangedFileParseItOnce) {
  std::string text = "[Product]\n";
  for (int i = 0; i < 10000; ++i) text += "Key" + std::to_string(i) + "=Value" + std::to_string(i) + "\n";
  std::string file = Make("product.ini", text);
  ProfileCache::Stats before = ProfileCache::Instance().GetStats();
  for (int i = 0; i < 10000; ++i) {
    ASSERT_EQ(ProfileFile::GetString(file, "product", "key" + std::to_string(i)), "Value" + std::to_string(i));
  }
  ProfileCache::Stats after = ProfileCache::Instance().GetStats();
  EXPECT_EQ(after.misses - before.misses, 1U) << "the file was parsed once";
  EXPECT_EQ(after.hits - before.hits, 9999U);
}

TEST_F(ProfileCacheTest, FileRewrittenInPlaceIsReadAgain) {
  std::string file = Make("plain.ini", "[S]\nk=1\n");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k"), "1");
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);  // same inode, different size
    out << "[S]\nk=22\n";
  }
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k"), "22");
  {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out << "n=3\n";
  }
  EXPECT_EQ(ProfileFile::GetInt(file, "S", "n", 0), 3U);
}

TEST_F(ProfileCacheTest, WriteThroughAnotherPathIsSeen) {
  std::string file = Make("dir/shared.ini", "[S]\nk=1\n");
  std::string other = PathOf("dir/../dir/./shared.ini");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k"), "1");
  EXPECT_EQ(ProfileFile::GetString(other, "S", "k"), "1");
  ASSERT_TRUE(ProfileFile::WriteString(other, "S", "k", "2"));
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k"), "2");
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "k", "3"));
  EXPECT_EQ(ProfileFile::GetString(other, "S", "k"), "3");
  std::filesystem::remove(file);
  EXPECT_EQ(ProfileFile::GetString(other, "S", "k", "gone"), "gone");
}

TEST_F(ProfileCacheTest, CacheIsBounded) {
  for (int i = 0; i < 100; ++i) {
    std::string file = Make("many/" + std::to_string(i) + ".ini", "[S]\nk=" + std::to_string(i) + "\n");
    EXPECT_EQ(ProfileFile::GetInt(file, "S", "k", -1), static_cast<uint32_t>(i));
  }
  EXPECT_EQ(ProfileCache::Instance().GetStats().files, ProfileCache::kMaxFiles);
  // the most recent ones are kept
  ProfileCache::Stats before = ProfileCache::Instance().GetStats();
  EXPECT_EQ(ProfileFile::GetInt(PathOf("many/99.ini"), "S", "k", -1), 99U);
  EXPECT_EQ(ProfileCache::Instance().GetStats().hits, before.hits + 1);
  // a document larger than the byte budget is not kept at all
  std::string big = Make("big.ini", "[S]\n" + std::string(15 * 1024 * 1024, 'x') + "\nk=1\n");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ProfileFile::GetInt(big, "S", "k", 0), 1U);
  EXPECT_LE(ProfileCache::Instance().GetStats().bytes, ProfileCache::kMaxBytes);
}

TEST_F(ProfileCacheTest, ReadersAndWritersOnManyThreads) {
  std::string file = Make("threads.ini", "; shared\n[S]\nbase=0\n");
  constexpr int kWriters = 6;
  constexpr int kKeysPerWriter = 25;
  std::atomic<bool> done{false};
  std::atomic<int> badReads{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kKeysPerWriter; ++i) {
        std::string key = ThreadKey(w, i);
        if (!ProfileFile::WriteString(file, w % 2 == 0 ? "S" : "T", key, std::to_string(i))) badReads++;
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!done.load()) {
        if (ProfileFile::GetString(file, "S", "base", "missing") != "0") badReads++;
        std::string value = ProfileFile::GetString(file, "S", "w0k3", "none");
        if (value != "none" && value != "3") badReads++;
        (void)ProfileFile::SectionNames(file);
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[static_cast<size_t>(w)].join();
  done = true;
  for (size_t t = kWriters; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(badReads.load(), 0);
  ProfileFile::FlushCache();
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kKeysPerWriter; ++i) {
      std::string key = ThreadKey(w, i);
      EXPECT_EQ(ProfileFile::GetString(file, w % 2 == 0 ? "S" : "T", key), std::to_string(i)) << key;
    }
  }
  EXPECT_EQ(ProfileFile::KeyNames(file, "S").size(), 1U + kKeysPerWriter * (kWriters / 2));
  EXPECT_EQ(Read(file).substr(0, 9), "; shared\n");
}

}  // namespace
}  // namespace qrv::test
