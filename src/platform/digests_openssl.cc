// The digests through OpenSSL's libcrypto, loaded by name when the first
// engine is made; only the few EVP functions used here are declared.
#include "platform/digests.h"

#include "platform/dynamic_library.h"

#ifndef BINSIFT_CRYPTO_LIBRARY
#define BINSIFT_CRYPTO_LIBRARY "libcrypto.so.3"
#endif

namespace {

struct EvpMd;
struct EvpMdContext;

struct Crypto {
  EvpMdContext* (*EVP_MD_CTX_new)() = nullptr;
  void (*EVP_MD_CTX_free)(EvpMdContext*) = nullptr;
  const EvpMd* (*EVP_md5)() = nullptr;
  const EvpMd* (*EVP_sha1)() = nullptr;
  const EvpMd* (*EVP_sha256)() = nullptr;
  int (*EVP_DigestInit_ex)(EvpMdContext*, const EvpMd*, void*) = nullptr;
  int (*EVP_DigestUpdate)(EvpMdContext*, const void*, size_t) = nullptr;
  int (*EVP_DigestFinal_ex)(EvpMdContext*, unsigned char*, unsigned int*) = nullptr;
  LibraryHandle handle = nullptr;
};

Crypto g_crypto;

template <typename F>
bool find(LibraryHandle handle, const char* name, F* out, std::string* reason) {
  *out = reinterpret_cast<F>(library_symbol(handle, name));
  if (*out != nullptr) return true;
  *reason = std::string("the cryptographic library " BINSIFT_CRYPTO_LIBRARY " lacks ") + name;
  return false;
}

bool load_crypto(std::string* reason) {
  if (g_crypto.handle != nullptr) return true;
  std::string why;
  const LibraryHandle handle = load_library(BINSIFT_CRYPTO_LIBRARY, &why);
  if (handle == nullptr) {
    *reason = "the cryptographic library cannot be loaded (" +
              (why.empty() ? std::string(BINSIFT_CRYPTO_LIBRARY) : why) + ")";
    return false;
  }
  Crypto c;
  if (!find(handle, "EVP_MD_CTX_new", &c.EVP_MD_CTX_new, reason) ||
      !find(handle, "EVP_MD_CTX_free", &c.EVP_MD_CTX_free, reason) ||
      !find(handle, "EVP_md5", &c.EVP_md5, reason) ||
      !find(handle, "EVP_sha1", &c.EVP_sha1, reason) ||
      !find(handle, "EVP_sha256", &c.EVP_sha256, reason) ||
      !find(handle, "EVP_DigestInit_ex", &c.EVP_DigestInit_ex, reason) ||
      !find(handle, "EVP_DigestUpdate", &c.EVP_DigestUpdate, reason) ||
      !find(handle, "EVP_DigestFinal_ex", &c.EVP_DigestFinal_ex, reason)) {
    unload_library(handle);
    return false;
  }
  c.handle = handle;
  g_crypto = c;
  return true;
}

class OpensslDigests final : public DigestEngine {
 public:
  ~OpensslDigests() override {
    for (EvpMdContext*& context : contexts_)
      if (context != nullptr) g_crypto.EVP_MD_CTX_free(context);
  }

  bool open(unsigned kinds, std::string* reason) {
    const EvpMd* (*const algorithms[kDigestKindCount])() = {g_crypto.EVP_md5, g_crypto.EVP_sha1,
                                                            g_crypto.EVP_sha256};
    for (int kind = 0; kind < kDigestKindCount; ++kind) {
      if (!(kinds & digest_bit(kind))) continue;
      md_[kind] = algorithms[kind]();
      contexts_[kind] = g_crypto.EVP_MD_CTX_new();
      if (md_[kind] == nullptr || contexts_[kind] == nullptr) {
        *reason = "the cryptographic library cannot make a digest";
        return false;
      }
    }
    return true;
  }

  void begin() override {
    failed_ = false;
    for (int kind = 0; kind < kDigestKindCount; ++kind)
      if (contexts_[kind] != nullptr &&
          g_crypto.EVP_DigestInit_ex(contexts_[kind], md_[kind], nullptr) != 1)
        failed_ = true;
  }

  void update(const void* data, size_t size) override {
    for (EvpMdContext* context : contexts_)
      if (context != nullptr && g_crypto.EVP_DigestUpdate(context, data, size) != 1) failed_ = true;
  }

  bool finish(unsigned char out[kDigestKindCount][kLargestDigest]) override {
    for (int kind = 0; kind < kDigestKindCount; ++kind) {
      unsigned int length = 0;
      if (contexts_[kind] != nullptr &&
          (g_crypto.EVP_DigestFinal_ex(contexts_[kind], out[kind], &length) != 1 ||
           length != kDigestSizes[kind]))
        failed_ = true;
    }
    return !failed_;
  }

 private:
  EvpMdContext* contexts_[kDigestKindCount] = {};
  const EvpMd* md_[kDigestKindCount] = {};
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<DigestEngine> make_digest_engine(unsigned kinds, std::string* reason) {
  if (!load_crypto(reason)) return nullptr;
  auto engine = std::make_unique<OpensslDigests>();
  if (!engine->open(kinds, reason)) return nullptr;
  return engine;
}
