#include "hash/sha256.hpp"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "captured_stderr.hpp"
#include "hash/kernels.hpp"
#include "support/panic.hpp"

namespace tolvane {
namespace {

Digest one_shot(std::string_view message) {
  Digest d;
  SHA256(reinterpret_cast<const unsigned char*>(message.data()), message.size(), d.data());
  return d;
}

const std::uint8_t* bytes(std::string_view s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

struct Random {
  std::mt19937_64 gen{20261208};
  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(gen);
  }
  std::string text(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
      std::uint64_t word = gen();
      std::memcpy(s.data() + i, &word, std::min<std::size_t>(8, n - i));
    }
    return s;
  }
};

// A few starts made from random whole-block prefixes, absorbed as raw and as prepared blocks.
struct Starts {
  std::vector<std::string> prefixes;
  std::vector<Sha256State> states;

  Starts(Random& r, std::size_t count, std::size_t blocks) {
    for (std::size_t i = 0; i < count; ++i) {
      std::string p = r.text(64 * blocks);
      Sha256State s = sha256_start();
      for (std::size_t b = 0; b < blocks; ++b) {
        if ((i + b) % 2) {
          sha256_absorb(s, bytes(p) + 64 * b);
        } else {
          Sha256Block prepared;
          sha256_prepare(prepared, bytes(p) + 64 * b);
          sha256_absorb(s, prepared);
        }
      }
      prefixes.push_back(std::move(p));
      states.push_back(s);
    }
  }
};

// Mostly every batch size up to past two groups of the widest kernel (16 lanes), empty included.
std::size_t batch_size(Random& r) { return r.below(8) ? r.below(41) : 64 + r.below(200); }

TEST(Sha256, KnownDigestsAndPrefixCopies) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 prefix;
  prefix.update("ab");
  Sha256 a = prefix, b = prefix;
  a.update("c");
  b.update("d");
  char ha[64], hb[64];
  a.finish_hex(ha);
  b.finish_hex(hb);
  EXPECT_EQ(std::string(ha, 64), sha256_hex("abc"));
  EXPECT_EQ(std::string(hb, 64), sha256_hex("abd"));
}

TEST(Sha256, HexDigestCoversEveryByteValue) {
  for (int first = 0; first < 256; first += 32) {
    Digest d;
    for (int i = 0; i < 32; ++i) d[i] = static_cast<std::uint8_t>(first + i);
    char out[65];
    hex_digest(d, out);
    std::string expected;
    for (std::uint8_t b : d) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", b);
      expected += pair;
    }
    EXPECT_EQ(std::string(out, 64), expected);
  }
}

// Each kernel's own CPUID test against the kernel's (Linux's) account of the CPU. (Under
// qemu-user an ARM build reads the x86-64 host's /proc/cpuinfo, flags and all; its table has
// OpenSSL alone.)
bool cpuinfo_has(const std::string& flag) {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("flags", 0) == 0)
      return (line + " ").find(" " + flag + " ") != std::string::npos;
  }
  return false;
}

TEST(Sha256, KernelsFollowTheCpu) {
  const std::map<std::string, std::vector<std::string>> flags = {
      {"sha_extensions", {"sha_ni", "sse4_1", "ssse3"}},
      {"avx512", {"avx512f", "avx512bw"}},
      {"openssl", {}},
  };
  std::size_t usable = 0;
  for (const Sha256Kernel* k : sha256_kernels()) {
    ASSERT_TRUE(flags.count(k->name)) << k->name;
    const auto& needs = flags.at(k->name);
    const bool expected = std::all_of(needs.begin(), needs.end(), cpuinfo_has);
    EXPECT_EQ(k->supported(), expected) << k->name;
    usable += expected;
  }
  EXPECT_EQ(std::string(sha256_kernels().back()->name), "openssl");
  // The fallback is chosen only where nothing else runs.
  EXPECT_EQ(std::string(sha256_kernel().name) == "openssl", usable == 1);
  const Sha256Kernel& chosen = sha256_kernel();
  for (const Sha256Kernel* k : sha256_kernels()) {
    EXPECT_EQ(use_sha256_kernel(*k), k->supported()) << k->name;
    if (k->supported()) {
      EXPECT_EQ(&sha256_kernel(), k);
    }
  }
  EXPECT_TRUE(use_sha256_kernel(chosen));
}

// The tests below run once per kernel of the table; one this CPU lacks is reported as skipped,
// by name.
class Sha256Kernels : public testing::TestWithParam<const Sha256Kernel*> {
 protected:
  void SetUp() override {
    if (!GetParam()->supported()) GTEST_SKIP() << "this CPU lacks " << GetParam()->name;
    chosen_ = &sha256_kernel();
    ASSERT_TRUE(use_sha256_kernel(*GetParam()));
  }
  void TearDown() override {
    if (chosen_) use_sha256_kernel(*chosen_);
  }

 private:
  const Sha256Kernel* chosen_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Table, Sha256Kernels, testing::ValuesIn(sha256_kernels()),
                         [](const auto& info) { return std::string(info.param->name); });

TEST_P(Sha256Kernels, AbsorbAgreesWithOneShotInBothForms) {
  Random r;
  std::string block = r.text(64);
  Sha256Block prepared;
  sha256_prepare(prepared, bytes(block));
  EXPECT_EQ(std::string_view(reinterpret_cast<char*>(prepared.bytes), 64), block);
  const std::string_view none;
  for (bool use_prepared : {false, true}) {
    Sha256State s = sha256_start();
    for (int i = 0; i < 3; ++i) {
      use_prepared ? sha256_absorb(s, prepared) : sha256_absorb(s, bytes(block));
    }
    EXPECT_EQ(s.length, 192u);
    const Sha256State* start = &s;
    Digest d;
    sha256_finish_tails(1, &start, &none, &d);
    EXPECT_EQ(d, one_shot(block + block + block)) << "prepared " << use_prepared;
  }
}

// Derived ids: a prefix of whole blocks (the primitive's id, and maybe a first input) absorbed
// once, then m prepared input blocks shared between messages, as the synthesis engine hashes.
TEST_P(Sha256Kernels, FinishBlocksAgreesWithOneShot) {
  Random r;
  std::size_t checked = 0;
  for (int round = 0; checked < 500'000; ++round) {
    const std::size_t m = round % 11;
    const std::size_t n = round % 4 ? batch_size(r) : 1000;
    Starts starts(r, 1 + r.below(4), round / 11 % 3);
    std::vector<std::string> pool;
    std::vector<Sha256Block> prepared(12);
    for (Sha256Block& b : prepared) {
      pool.push_back(r.text(64));
      sha256_prepare(b, bytes(pool.back()));
    }
    std::vector<const Sha256State*> start_of(n);
    std::vector<const Sha256Block*> blocks(n * m);
    std::vector<Digest> expected(n);
    std::string message;
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t s = r.below(starts.states.size());
      start_of[i] = &starts.states[s];
      message = starts.prefixes[s];
      for (std::size_t j = 0; j < m; ++j) {
        std::size_t b = r.below(pool.size());
        blocks[i * m + j] = &prepared[b];
        message += pool[b];
      }
      expected[i] = one_shot(message);
    }
    std::vector<Digest> out(n);
    sha256_finish_blocks(n, m, start_of.data(), blocks.data(), out.data());
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(out[i], expected[i]) << "m " << m << " message " << i << " of " << n;
    checked += n;
  }
}

TEST_P(Sha256Kernels, FinishBlocksRefusesStartsOfDifferentLengths) {
  Sha256State a = sha256_start(), b = sha256_start();
  std::uint8_t block[64] = {};
  sha256_absorb(b, block);
  const Sha256State* starts[] = {&a, &b};
  Digest out[2];
  CapturedStderr diagnostics;
  EXPECT_THROW(sha256_finish_blocks(2, 0, starts, nullptr, out), Panic);
}

// Any message: names, primitive ids of any length followed by input ids, and tails after whole
// block prefixes, of mixed lengths within one call.
TEST_P(Sha256Kernels, FinishTailsAgreesWithOneShot) {
  Random r;
  Starts initial(r, 1, 0);
  const std::string pool = r.text(1 << 16);  // tails are slices of it
  std::size_t checked = 0;
  for (int round = 0; checked < 500'000; ++round) {
    const std::size_t n = round % 3 ? batch_size(r) : 1000;
    Starts after(r, 1 + r.below(3), 1 + r.below(2));
    std::vector<std::string_view> tails(n);
    std::vector<const Sha256State*> start_of(n);
    std::vector<Digest> expected(n);
    std::string message;
    // Per round one shape dominates, with a mixture in every third round.
    for (std::size_t i = 0; i < n; ++i) {
      const int shape = round % 3 == 2 ? static_cast<int>(r.below(3)) : round % 6 / 2;
      const std::size_t length = shape == 1 ? r.below(201) + 64 * r.below(10) : r.below(301);
      tails[i] = std::string_view(pool).substr(r.below(pool.size() - length), length);
      if (shape < 2) {
        start_of[i] = &initial.states[0];
        expected[i] = one_shot(tails[i]);
      } else {
        std::size_t s = r.below(after.states.size());
        start_of[i] = &after.states[s];
        message = after.prefixes[s];
        message += tails[i];
        expected[i] = one_shot(message);
      }
    }
    std::vector<Digest> out(n);
    sha256_finish_tails(n, start_of.data(), tails.data(), out.data());
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(out[i], expected[i]) << "tail of " << tails[i].size() << " bytes";
    checked += n;
  }
}

// A few long messages among many short ones: the wide kernels hand the long ones, part done, to
// the narrow ones once most lanes are idle; short lengths around the one-or-two padding blocks.
TEST_P(Sha256Kernels, FinishTailsAgreesWithLongMessagesAmongShort) {
  Random r;
  const std::string pool = r.text(1 << 14);
  for (int round = 0; round < 200; ++round) {
    const std::size_t n = 14 + r.below(60);
    std::vector<std::string_view> tails(n);
    std::vector<Digest> expected(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t length = r.below(4) ? 50 + r.below(20) : 64 * r.below(40) + r.below(64);
      tails[i] = std::string_view(pool).substr(r.below(pool.size() - length), length);
      expected[i] = one_shot(tails[i]);
    }
    const Sha256State initial = sha256_start();
    std::vector<const Sha256State*> start_of(n, &initial);
    std::vector<Digest> out(n);
    sha256_finish_tails(n, start_of.data(), tails.data(), out.data());
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(out[i], expected[i]) << "tail of " << tails[i].size() << " bytes";
  }
}

}  // namespace
}  // namespace tolvane
