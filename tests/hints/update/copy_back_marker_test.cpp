// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/copy_back_marker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// The values the hash's authors publish for their sanity check: a buffer of
// bytes made from two primes, hashed whole and with seed 2654435761; and "abc".
// Each is also fed in pieces of every size from 1 to 33 bytes.
TEST(TextHash, GivesThePublishedXxh64Values) {
  std::vector<unsigned char> buffer(222);
  std::uint64_t generator = 2654435761U;
  for (unsigned char& byte : buffer) {
    byte = static_cast<unsigned char>(generator >> 56);
    generator *= 11400714785074694797ULL;
  }
  const struct {
    std::size_t length;
    std::uint64_t seed, hash;
  } cases[] = {{0, 0, 0xEF46DB3751D8E999ULL},   {0, 2654435761U, 0xAC75FDA2929B17EFULL},
               {1, 0, 0xE934A84ADB052768ULL},   {1, 2654435761U, 0x5014607643A9B4C3ULL},
               {4, 0, 0x9136A0DCA57457EEULL},   {14, 0, 0x8282DCC4994E35C8ULL},
               {14, 2654435761U, 0xC3BD6BF63DEB6DF0ULL}, {222, 0, 0xB641AE8CB691C174ULL},
               {222, 2654435761U, 0x20CB8AB7AE10C14AULL}};
  for (const auto& c : cases) {
    for (std::size_t piece = 1; piece <= 33; ++piece) {
      TextHash hash(c.seed);
      for (std::size_t at = 0; at < c.length; at += piece)
        hash.add(buffer.data() + at, std::min(piece, c.length - at));
      EXPECT_EQ(hash.digest(), c.hash) << c.length << " bytes in pieces of " << piece;
      EXPECT_EQ(hash.length(), c.length);
    }
  }
  TextHash abc;
  abc.add(reinterpret_cast<const unsigned char*>("abc"), 3);
  EXPECT_EQ(abc.digest(), 0x44BC2CF5AD770999ULL);
}

}  // namespace
