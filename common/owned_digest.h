#pragma once
// The one owner of an OpenSSL digest context (SHA-1 and MD5 of files, downloads, rebuilt
// contents), freed on every path out.

#include <openssl/evp.h>

#include <memory>

namespace plumet_common {

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using DigestCtx = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// A context started for `md` (EVP_sha1(), EVP_md5()); null when OpenSSL cannot make or start one.
inline DigestCtx NewDigest(const EVP_MD* md) {
  DigestCtx ctx(EVP_MD_CTX_new());
  if (ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) ctx.reset();
  return ctx;
}

}  // namespace plumet_common
