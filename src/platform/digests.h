// Message digests (MD5, SHA-1, SHA-256) of a stream of bytes, computed by
// the system's own cryptographic library: OpenSSL's libcrypto on Linux,
// loaded when a run first asks for a digest; CNG (BCrypt) on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

enum DigestKind : int { kDigestMd5, kDigestSha1, kDigestSha256, kDigestKindCount };
// A set of digest kinds, one bit per kind.
constexpr unsigned digest_bit(int kind) { return 1u << kind; }
// The bytes of each kind's digest.
constexpr size_t kDigestSizes[kDigestKindCount] = {16, 20, 32};
constexpr size_t kLargestDigest = 32;

class DigestEngine {
 public:
  virtual ~DigestEngine() = default;
  // Starts the digests of a new stream.
  virtual void begin() = 0;
  // Adds `size` bytes to every digest of the set.
  virtual void update(const void* data, size_t size) = 0;
  // Ends the stream: each digest of the set into out[kind] (kDigestSizes
  // bytes).  False when the library failed.
  virtual bool finish(unsigned char out[kDigestKindCount][kLargestDigest]) = 0;
};

// The digests of the kinds in `kinds` (digest_bit()s), their library
// loaded and their state made once; null with the reason when the library
// cannot be had.
std::unique_ptr<DigestEngine> make_digest_engine(unsigned kinds, std::string* reason);
