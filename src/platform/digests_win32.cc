// The digests through the system's CNG (BCrypt) providers: each algorithm
// opened once, a hash object made per stream.
#include "platform/digests.h"

#include <windows.h>
#include <bcrypt.h>

namespace {

class CngDigests final : public DigestEngine {
 public:
  ~CngDigests() override {
    for (int kind = 0; kind < kDigestKindCount; ++kind) {
      if (hashes_[kind] != nullptr) BCryptDestroyHash(hashes_[kind]);
      if (algorithms_[kind] != nullptr) BCryptCloseAlgorithmProvider(algorithms_[kind], 0);
    }
  }

  bool open(unsigned kinds, std::string* reason) {
    const wchar_t* const names[kDigestKindCount] = {BCRYPT_MD5_ALGORITHM, BCRYPT_SHA1_ALGORITHM,
                                                    BCRYPT_SHA256_ALGORITHM};
    for (int kind = 0; kind < kDigestKindCount; ++kind) {
      if (!(kinds & digest_bit(kind))) continue;
      const NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithms_[kind], names[kind], nullptr, 0);
      if (status < 0) {
        algorithms_[kind] = nullptr;
        char text[96];
        wsprintfA(text, "the system cannot make a digest (CNG status 0x%08lX)",
                  static_cast<unsigned long>(status));
        *reason = text;
        return false;
      }
    }
    return true;
  }

  void begin() override {
    failed_ = false;
    for (int kind = 0; kind < kDigestKindCount; ++kind) {
      if (algorithms_[kind] == nullptr) continue;
      if (hashes_[kind] != nullptr) BCryptDestroyHash(hashes_[kind]);
      hashes_[kind] = nullptr;
      if (BCryptCreateHash(algorithms_[kind], &hashes_[kind], nullptr, 0, nullptr, 0, 0) < 0) {
        hashes_[kind] = nullptr;
        failed_ = true;
      }
    }
  }

  void update(const void* data, size_t size) override {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (BCRYPT_HASH_HANDLE hash : hashes_) {
      if (hash == nullptr) continue;
      size_t done = 0;
      while (done < size) {
        const ULONG piece = size - done > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size - done);
        if (BCryptHashData(hash, const_cast<PUCHAR>(bytes + done), piece, 0) < 0) failed_ = true;
        done += piece;
      }
    }
  }

  bool finish(unsigned char out[kDigestKindCount][kLargestDigest]) override {
    for (int kind = 0; kind < kDigestKindCount; ++kind) {
      if (algorithms_[kind] == nullptr) continue;
      if (hashes_[kind] == nullptr ||
          BCryptFinishHash(hashes_[kind], out[kind], static_cast<ULONG>(kDigestSizes[kind]), 0) < 0)
        failed_ = true;
      if (hashes_[kind] != nullptr) BCryptDestroyHash(hashes_[kind]);
      hashes_[kind] = nullptr;
    }
    return !failed_;
  }

 private:
  BCRYPT_ALG_HANDLE algorithms_[kDigestKindCount] = {};
  BCRYPT_HASH_HANDLE hashes_[kDigestKindCount] = {};
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<DigestEngine> make_digest_engine(unsigned kinds, std::string* reason) {
  auto engine = std::make_unique<CngDigests>();
  if (!engine->open(kinds, reason)) return nullptr;
  return engine;
}
