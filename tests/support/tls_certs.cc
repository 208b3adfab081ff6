#include "support/tls_certs.h"

#include <stdexcept>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace testing_support {

namespace {

void Openssl(const std::string& directory, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "/usr/bin/openssl");
  const std::string log = directory + "/openssl.log";
  if (ChildProcess::Run(arguments, log) != 0) {
    throw std::runtime_error("openssl failed: " + ReadFile(log));
  }
}

// EC keys: quick to make, and every party here supports them.
void MakeAuthority(const std::string& directory, const std::string& name) {
  Openssl(directory, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                      "-nodes", "-keyout", directory + "/" + name + ".key", "-out",
                      directory + "/" + name + ".pem", "-days", "3", "-subj",
                      "/CN=Test authority " + name, "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
}

void MakeServer(const std::string& directory, const std::string& name,
                const std::string& subjectAltName, const char* days = "3") {
  const std::string base = directory + "/" + name;
  Openssl(directory, {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                      "-keyout", base + ".key", "-out", base + ".csr", "-subj", "/CN=" + name});
  WriteFile(base + ".ext", "subjectAltName=" + subjectAltName +
                               "\nbasicConstraints=CA:FALSE\n"
                               "keyUsage=digitalSignature,keyEncipherment\n"
                               "extendedKeyUsage=serverAuth\n");
  Openssl(directory, {"x509", "-req", "-in", base + ".csr", "-CA", directory + "/ca.pem", "-CAkey",
                      directory + "/ca.key", "-CAcreateserial", "-out", base + ".pem", "-days",
                      days, "-extfile", base + ".ext"});
}

}  // namespace

TestCertificates MakeTestCertificates(const std::string& directory) {
  MakeAuthority(directory, "ca");
  MakeAuthority(directory, "unrelated-ca");
  MakeServer(directory, "server", "IP:127.0.0.1,DNS:localhost");
  MakeServer(directory, "other-name", "DNS:other.invalid");
  MakeServer(directory, "expired", "IP:127.0.0.1", "-1");  // valid from now until a day ago
  const std::string at = directory + "/";
  return {at + "ca.pem",         at + "server.pem",  at + "server.key",  at + "other-name.pem",
          at + "other-name.key", at + "expired.pem", at + "expired.key", at + "unrelated-ca.pem"};
}

}  // namespace testing_support
