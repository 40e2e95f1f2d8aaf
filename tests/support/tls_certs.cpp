#include "tests/support/tls_certs.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace solvane::testing {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct KeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};
struct CertFree {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};
struct ExtFree {
  void operator()(X509_EXTENSION* ext) const noexcept { X509_EXTENSION_free(ext); }
};
struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what + " failed");
}

Key NewKey() {
  std::unique_ptr<EVP_PKEY_CTX, KeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
  Check(ctx != nullptr, "EVP_PKEY_CTX_new_id");
  Check(EVP_PKEY_keygen_init(ctx.get()) == 1, "EVP_PKEY_keygen_init");
  Check(EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx.get(), NID_X9_62_prime256v1) == 1,
        "choosing P-256");
  EVP_PKEY* key = nullptr;
  Check(EVP_PKEY_keygen(ctx.get(), &key) == 1, "EVP_PKEY_keygen");
  return Key(key);
}

// `issuer`/`issuer_key` null: the certificate signs itself.
Cert NewCert(EVP_PKEY* key, const std::string& common_name, long serial,
             const std::vector<std::pair<int, const char*>>& extensions, X509* issuer,
             EVP_PKEY* issuer_key) {
  Cert cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509* x = cert.get();
  Check(X509_set_version(x, 2) == 1, "X509_set_version");
  Check(ASN1_INTEGER_set(X509_get_serialNumber(x), serial) == 1, "serial");
  Check(X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr, "notBefore");
  Check(X509_gmtime_adj(X509_getm_notAfter(x), 24 * 3600) != nullptr, "notAfter");
  Check(X509_set_pubkey(x, key) == 1, "X509_set_pubkey");
  X509_NAME* name = X509_get_subject_name(x);
  Check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Solvane tests"), -1, -1,
                                   0) == 1,
        "subject O");
  Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                                   -1, 0) == 1,
        "subject CN");
  X509* signer = issuer ? issuer : x;
  Check(X509_set_issuer_name(x, X509_get_subject_name(signer)) == 1, "X509_set_issuer_name");

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, signer, x, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    std::unique_ptr<X509_EXTENSION, ExtFree> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, nid, const_cast<char*>(value)));
    Check(ext != nullptr, value);
    Check(X509_add_ext(x, ext.get(), -1) == 1, "X509_add_ext");
  }
  Check(X509_sign(x, issuer_key ? issuer_key : key, EVP_sha256()) > 0, "X509_sign");
  return cert;
}

std::unique_ptr<std::FILE, FileClose> Create(const std::string& path) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "wb"));
  Check(file != nullptr, "creating a PEM file");
  return file;
}

void WriteCert(const std::string& path, X509* cert) {
  Check(PEM_write_X509(Create(path).get(), cert) == 1, "PEM_write_X509");
}

void WriteKey(const std::string& path, EVP_PKEY* key) {
  Check(PEM_write_PrivateKey(Create(path).get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_PrivateKey");
}

TlsIdentity WriteIdentity(const std::string& stem, X509* cert, EVP_PKEY* key) {
  TlsIdentity identity{stem + ".pem", stem + "-key.pem"};
  WriteCert(identity.cert_path, cert);
  WriteKey(identity.key_path, key);
  return identity;
}

}  // namespace

TestPki MakeTestPki(const std::string& directory) {
  const std::vector<std::pair<int, const char*>> ca_extensions = {
      {NID_basic_constraints, "critical,CA:TRUE"},
      {NID_key_usage, "critical,keyCertSign,cRLSign"},
      {NID_subject_key_identifier, "hash"},
  };
  auto leaf_extensions = [](const char* alt_name) {
    return std::vector<std::pair<int, const char*>>{
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature"},
        {NID_ext_key_usage, "serverAuth"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
        {NID_subject_alt_name, alt_name},
    };
  };

  TestPki pki;
  const Key ca_key = NewKey();
  const Cert ca = NewCert(ca_key.get(), "Solvane test CA", 1, ca_extensions, nullptr, nullptr);
  pki.ca_cert_path = directory + "/ca.pem";
  WriteCert(pki.ca_cert_path, ca.get());

  const Key loopback_key = NewKey();
  const Cert loopback = NewCert(loopback_key.get(), "127.0.0.1", 2, leaf_extensions("IP:127.0.0.1"),
                                ca.get(), ca_key.get());
  pki.loopback = WriteIdentity(directory + "/loopback", loopback.get(), loopback_key.get());

  const Key wrong_key = NewKey();
  const Cert wrong = NewCert(wrong_key.get(), "solvane.invalid", 3,
                             leaf_extensions("DNS:solvane.invalid"), ca.get(), ca_key.get());
  pki.wrong_host = WriteIdentity(directory + "/wrong-host", wrong.get(), wrong_key.get());

  const Key self_key = NewKey();
  const Cert self = NewCert(self_key.get(), "127.0.0.1", 4,
                            {{NID_subject_alt_name, "IP:127.0.0.1"}}, nullptr, nullptr);
  pki.self_signed = WriteIdentity(directory + "/self-signed", self.get(), self_key.get());
  return pki;
}

}  // namespace solvane::testing
