#include "testbed/pki/certificates.hpp"

#include "runtime/ipv4.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace testbed {

namespace {

[[noreturn]] void failed(const char* what) {
  throw std::runtime_error(std::string("certificate creation failed: ") + what);
}

void check(int result, const char* what) {
  if (result != 1) failed(what);
}

PrivateKey generateKey() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (!key) failed("key generation");
  return PrivateKey(key);
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!extension) failed("extension");
  int added = X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
  check(added, "add extension");
}

Certificate newCertificate(const EVP_PKEY* key, const std::string& commonName, Validity validity) {
  Certificate certificate(X509_new());
  if (!certificate) failed("X509_new");
  check(X509_set_version(certificate.get(), X509_VERSION_3), "version");

  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof serial), "serial");
  serial[0] &= 0x7f;  // positive
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  ASN1_INTEGER* asn1 = number ? BN_to_ASN1_INTEGER(number, nullptr) : nullptr;
  BN_free(number);
  if (!asn1) failed("serial");
  int setSerial = X509_set_serialNumber(certificate.get(), asn1);
  ASN1_INTEGER_free(asn1);
  check(setSerial, "serial");

  if (!ASN1_TIME_set(X509_getm_notBefore(certificate.get()), validity.notBefore) ||
      !ASN1_TIME_set(X509_getm_notAfter(certificate.get()), validity.notAfter)) {
    failed("validity");
  }
  X509_NAME* name = X509_get_subject_name(certificate.get());
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0),
        "subject");
  check(X509_set_pubkey(certificate.get(), const_cast<EVP_PKEY*>(key)), "public key");
  return certificate;
}

void sign(X509* certificate, const EVP_PKEY* key) {
  if (X509_sign(certificate, const_cast<EVP_PKEY*>(key), EVP_sha256()) <= 0) failed("signing");
}

}  // namespace

KeyAndCertificate createCertificateAuthority(const std::string& commonName, Validity validity) {
  auto key = generateKey();
  auto certificate = newCertificate(key.get(), commonName, validity);
  check(X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get())),
        "issuer");
  addExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
  sign(certificate.get(), key.get());
  return {std::move(key), std::move(certificate)};
}

KeyAndCertificate issueServerCertificate(const KeyAndCertificate& authority,
                                         const std::string& commonName,
                                         const std::vector<std::string>& dnsNames,
                                         const std::vector<std::string>& ipv4Addresses,
                                         Validity validity) {
  std::string altNames;
  auto append = [&](const std::string& entry) {
    if (!altNames.empty()) altNames += ',';
    altNames += entry;
  };
  for (const auto& name : dnsNames) {
    if (name.empty() || name.find_first_of(",:") != std::string::npos) {
      throw std::invalid_argument("bad DNS name \"" + name + "\"");
    }
    append("DNS:" + name);
  }
  for (const auto& address : ipv4Addresses) {
    auto value = runtime::ipv4::ipv4Value(address);
    if (!value) throw std::invalid_argument("bad IPv4 address \"" + address + "\"");
    append("IP:" + runtime::ipv4::dottedQuad(*value));
  }
  if (altNames.empty()) throw std::invalid_argument("a server certificate needs a name");

  auto key = generateKey();
  auto certificate = newCertificate(key.get(), commonName, validity);
  check(X509_set_issuer_name(certificate.get(), X509_get_subject_name(authority.certificate.get())),
        "issuer");
  X509* issuer = authority.certificate.get();
  addExtension(certificate.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(certificate.get(), issuer, NID_key_usage, "critical,digitalSignature");
  addExtension(certificate.get(), issuer, NID_ext_key_usage, "serverAuth");
  addExtension(certificate.get(), issuer, NID_subject_key_identifier, "hash");
  addExtension(certificate.get(), issuer, NID_authority_key_identifier, "keyid:always");
  addExtension(certificate.get(), issuer, NID_subject_alt_name, altNames);
  sign(certificate.get(), authority.key.get());
  return {std::move(key), std::move(certificate)};
}

namespace {

std::string drain(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return text;
}

}  // namespace

std::string certificatePEM(const X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio || PEM_write_bio_X509(bio, const_cast<X509*>(certificate)) != 1) {
    BIO_free(bio);
    failed("PEM");
  }
  return drain(bio);
}

std::string privateKeyPEM(const EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio || PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    BIO_free(bio);
    failed("PEM");
  }
  return drain(bio);
}

}  // namespace testbed
