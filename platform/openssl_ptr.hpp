#pragma once

// One owner for OpenSSL objects: platform::openssl::UniquePtr<X509> frees with
// X509_free, and so on for each type below. Add a type here, not a deleter of
// your own.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace platform::openssl {

template <class T>
struct Deleter;

#define VESKAR_OPENSSL_DELETER(Type, free)                \
  template <>                                             \
  struct Deleter<Type> {                                  \
    void operator()(Type* object) const { free(object); } \
  }

VESKAR_OPENSSL_DELETER(BIO, BIO_free);
VESKAR_OPENSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
VESKAR_OPENSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
VESKAR_OPENSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
VESKAR_OPENSSL_DELETER(X509, X509_free);
VESKAR_OPENSSL_DELETER(X509_STORE, X509_STORE_free);

#undef VESKAR_OPENSSL_DELETER

template <class T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

}  // namespace platform::openssl
