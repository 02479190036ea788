#include "test_pki.hpp"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace testpki {

namespace {

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("OpenSSL: ") + what);
}

EVP_PKEY* newKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  require(key != nullptr, "key generation");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  require(extension != nullptr, "extension");
  require(X509_add_ext(certificate, extension, -1) == 1, "add extension");
  X509_EXTENSION_free(extension);
}

// An unsigned certificate valid from an hour ago for a day.
X509* newCertificate(EVP_PKEY* key, const std::string& commonName) {
  X509* certificate = X509_new();
  require(certificate != nullptr, "certificate");
  X509_set_version(certificate, 2);
  unsigned char serial[8];
  require(RAND_bytes(serial, sizeof serial) == 1, "serial");
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
  require(X509_set_pubkey(certificate, key) == 1, "public key");
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return certificate;
}

std::string pemOf(X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return pem;
}

std::string pemOf(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return pem;
}

}  // namespace

Authority::Authority(const std::string& commonName) : key_(newKey()) {
  certificate_.reset(newCertificate(key_.get(), commonName));
  X509* certificate = certificate_.get();
  require(X509_set_issuer_name(certificate, X509_get_subject_name(certificate)) == 1, "issuer");
  addExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(certificate, certificate, NID_subject_key_identifier, "hash");
  require(X509_sign(certificate, key_.get(), EVP_sha256()) > 0, "sign");
}

std::string Authority::certificatePem() const { return pemOf(certificate_.get()); }

Credential Authority::issue(const std::vector<std::string>& dnsNames,
                            const std::vector<std::string>& ipAddresses) const {
  std::unique_ptr<EVP_PKEY, KeyFree> key(newKey());
  std::string commonName = dnsNames.empty() ? ipAddresses.at(0) : dnsNames.front();
  std::unique_ptr<X509, CertificateFree> certificate(newCertificate(key.get(), commonName));
  X509* leaf = certificate.get();
  require(X509_set_issuer_name(leaf, X509_get_subject_name(certificate_.get())) == 1, "issuer");
  std::string names;
  for (const auto& dns : dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + dns;
  for (const auto& ip : ipAddresses) names += (names.empty() ? "IP:" : ",IP:") + ip;
  addExtension(leaf, certificate_.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(leaf, certificate_.get(), NID_key_usage, "critical,digitalSignature");
  addExtension(leaf, certificate_.get(), NID_ext_key_usage, "serverAuth");
  addExtension(leaf, certificate_.get(), NID_subject_alt_name, names.c_str());
  addExtension(leaf, certificate_.get(), NID_authority_key_identifier, "keyid:always");
  require(X509_sign(leaf, key_.get(), EVP_sha256()) > 0, "sign");
  return Credential{pemOf(leaf), pemOf(key.get())};
}

}  // namespace testpki
