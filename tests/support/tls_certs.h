// Throwaway certificates for HTTPS tests, made fresh in a folder at run time:
// a test CA and server certificates for 127.0.0.1. Nothing here is secret.
#pragma once

#include <string>

namespace solvane::testing {

// PEM files of one server identity.
struct TlsIdentity {
  std::string cert_path;
  std::string key_path;
};

struct TestPki {
  std::string ca_cert_path;  // the test CA, to trust through CURLOPT_CAINFO
  TlsIdentity loopback;      // signed by the test CA, valid for IP 127.0.0.1
  TlsIdentity wrong_host;    // signed by the test CA, valid only for "solvane.invalid"
  TlsIdentity self_signed;   // its own issuer, valid for IP 127.0.0.1
};

// Generates the CA, keys and certificates (EC P-256, valid from an hour ago
// for a day) into `directory`, which must exist. Throws std::runtime_error
// when OpenSSL fails.
TestPki MakeTestPki(const std::string& directory);

}  // namespace solvane::testing
