// SHA-256 through the platform layer: digests as sha256sum printed them for the same bytes, fed
// in pieces of every size around the 64-byte blocks; whole files; the rate (--gtest_filter
// '*Rate*' with VEXLOR_SHA256_RATE_MB set prints MB/s).
#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "app/test_support.h"

namespace vexlor::platform {
namespace {

std::vector<uint8_t> Pattern(size_t n) {  // bytes i * 7 + 1
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 7 + 1);
  return bytes;
}

std::string Digest(std::span<const uint8_t> bytes, size_t piece) {
  Sha256 hash;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    hash.Update(bytes.subspan(at, std::min(piece, bytes.size() - at)));
  }
  Sha256Digest digest;
  EXPECT_TRUE(hash.Final(&digest).ok());
  return HexDigest(digest);
}

struct Case {
  std::vector<uint8_t> bytes;
  const char* sha256sum;
};

std::vector<Case> Cases() {
  const std::string abc = "abc";
  return {
      {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {{abc.begin(), abc.end()},
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::vector<uint8_t>(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {Pattern(55), "16fa57a0a3423a715d594516339f36189d6b5f93754a9714fef202616a9fabfe"},
      {Pattern(56), "c37b44e5f1b18554b36966f4f8e08bfbf3164c4b6c10374d12d89850892073c5"},
      {Pattern(63), "bbba992d2c85af960fb2987a1fd05e0aa82a3db3c740dd8982a9e273b75e36a3"},
      {Pattern(64), "66bd4633ed6f71c4ecfa4763bf7ba1c8ec7612de9aa6c0578a7b675207c71e0b"},
      {Pattern(65), "9f7dc47107b750a1f3d35db5d9547f24ef40da5b731b9540d4f43710a154f6c9"},
      {Pattern(119), "a3ed307b730fa77c07531300c6e4a282330011d4d4caf6bb7b63ae05950f4b66"},
      {Pattern(120), "8e3b15d9fea7472655aa069620b7f8c2e55ee1499f763200a7515fe826e99d20"},
      {Pattern(127), "44480fb9672845177f5368a08b69ea263275f2a5ec42e06a933370fe0d2968a4"},
      {Pattern(128), "e462c130fef8c97e34f7dc3ff3ad2f8b3533ab849af21c10531552a2852387a4"},
      {Pattern(129), "aa7ea4e8bf89146aeb67ff195fd8182a0e504c9d580aa7af8d2c862e14b98405"},
      {Pattern(1000), "095ecb62e30793ab4b954cd6a0586d0cc91f7ea5b1332694d8da780e98676d78"},
  };
}

TEST(Sha256Test, DigestsEqualSha256sumInPiecesOfAnySize) {
  for (const Case& c : Cases()) {
    for (const size_t piece : {size_t(1), size_t(3), size_t(63), size_t(64), size_t(65),
                               size_t(4096), c.bytes.size() + 1}) {
      EXPECT_EQ(Digest(c.bytes, piece), c.sha256sum) << c.bytes.size() << " in " << piece;
    }
  }
  // Final starts the hash again.
  Sha256 hash;
  Sha256Digest first, second;
  hash.Update(Pattern(129));
  ASSERT_TRUE(hash.Final(&first).ok());
  ASSERT_TRUE(hash.Final(&second).ok());
  EXPECT_EQ(HexDigest(second), Cases()[0].sha256sum);
}

TEST(Sha256Test, FilesWholeAndNamedFailures) {
  testing::ScratchDir dir;
  const std::string path = dir / "größe.bin";
  const std::vector<uint8_t> bytes = Pattern(3000001);
  std::ofstream(testing::Fs(path), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  Sha256Digest digest;
  int64_t size = -1;
  ASSERT_TRUE(HashFile(path, &digest, &size).ok());
  EXPECT_EQ(size, 3000001);
  EXPECT_EQ(HexDigest(digest), Digest(bytes, bytes.size()));

  const Status missing = HashFile(dir / "missing.bin", &digest, &size);
  EXPECT_EQ(missing.code(), StatusCode::kCannotOpen);
  EXPECT_NE(missing.message().find("missing.bin"), std::string::npos) << missing.message();
  EXPECT_EQ(HashFile(dir.path(), &digest, &size).code(), StatusCode::kIsDirectory);
}

TEST(Sha256Test, Rate) {
  const char* megabytes = std::getenv("VEXLOR_SHA256_RATE_MB");
  if (megabytes == nullptr) GTEST_SKIP() << "set VEXLOR_SHA256_RATE_MB to measure";
  const std::vector<uint8_t> block = Pattern(1 << 20);
  const int n = std::atoi(megabytes);
  Sha256 hash;
  const std::clock_t start = std::clock();  // processor time: other work on the machine aside
  for (int i = 0; i < n; ++i) hash.Update(block);
  Sha256Digest digest;
  ASSERT_TRUE(hash.Final(&digest).ok());
  const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
  std::printf("SHA-256: %d MiB in %.3f s of processor time, %.0f MiB/s\n", n, seconds, n / seconds);
}

}  // namespace
}  // namespace vexlor::platform
