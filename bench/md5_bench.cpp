// MD5 throughput of our implementation beside OpenSSL's, in one run.
//
//   md5_bench [MiB]      (default 256)
//
// Both digest the same buffer several times; the best time of each counts,
// and the ratio ours/OpenSSL in throughput is printed last.
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "digest/md5.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Work>
double BestSeconds(int rounds, Work&& work) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const size_t size = mebibytes << 20;
  std::vector<unsigned char> buffer(size);
  std::mt19937_64 random(1321);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t word = random();
    for (int j = 0; j < 8; ++j) buffer[i + j] = static_cast<unsigned char>(word >> (8 * j));
  }

  std::u16string ours;
  std::string theirs;
  const int kRounds = 5;
  const double ourSeconds = BestSeconds(kRounds, [&] { ours = parvel::Md5OfBytes(buffer.data(), buffer.size()); });
  const double theirSeconds = BestSeconds(kRounds, [&] {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(buffer.data(), buffer.size(), digest, &length, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    theirs.clear();
    for (unsigned int i = 0; i < length; ++i) {
      theirs += kHex[digest[i] >> 4];
      theirs += kHex[digest[i] & 15];
    }
  });

  const std::string oursNarrow(ours.begin(), ours.end());
  if (oursNarrow != theirs) {
    std::printf("MISMATCH: ours %s, OpenSSL %s\n", oursNarrow.c_str(), theirs.c_str());
    return 1;
  }
  const double mib = static_cast<double>(size) / (1 << 20);
  std::printf("MD5 over a %zu MiB buffer, best of %d runs\n", mebibytes, kRounds);
  std::printf("  ours     %8.1f MiB/s  (%.3f s)\n", mib / ourSeconds, ourSeconds);
  std::printf("  OpenSSL  %8.1f MiB/s  (%.3f s)\n", mib / theirSeconds, theirSeconds);
  std::printf("  ratio ours/OpenSSL: %.3f (goal >= 0.9)\n", theirSeconds / ourSeconds);
  return 0;
}
