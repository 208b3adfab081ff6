// Test certificates made at test time with the openssl command line: a certificate authority, a
// server certificate it signed for 127.0.0.1 and localhost, one it signed for another name only,
// one for 127.0.0.1 that expired yesterday, and a second authority that signed nothing here (to
// play an untrusted store).
#ifndef FILEREPOSITORY_TESTS_SUPPORT_TLS_CERTS_H_
#define FILEREPOSITORY_TESTS_SUPPORT_TLS_CERTS_H_

#include <string>

namespace testing_support {

struct TestCertificates {
  std::string caCert;      // PEM of the test authority: the store that trusts the servers
  std::string serverCert;  // for IP 127.0.0.1 and DNS localhost
  std::string serverKey;
  std::string otherNameCert;  // for DNS other.invalid only
  std::string otherNameKey;
  std::string expiredCert;  // for IP 127.0.0.1, expired
  std::string expiredKey;
  std::string unrelatedCaCert;  // an authority that signed none of these
};

// Makes the files in `directory` (which must exist). Throws std::runtime_error when openssl
// fails.
TestCertificates MakeTestCertificates(const std::string& directory);

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_TLS_CERTS_H_
