// A property store of the test's own: a file in `directory` for every handle opened while this
// object lives, the process default again afterwards. Tests that share a process (a test program
// run as a whole) then never see each other's properties.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_FRESH_STORE_H_
#define FILEREPOSITORY_TESTS_SUPPORT_FRESH_STORE_H_

#include <stdexcept>
#include <string>

#include "host/mail_server.h"

namespace testing_support {

class FreshPropertyStore {
 public:
  explicit FreshPropertyStore(const std::string& directory) {
    if (!SetPropertyStorePath((directory + "/properties.db").c_str())) {
      throw std::runtime_error("cannot make the test's property store");
    }
  }
  ~FreshPropertyStore() { SetPropertyStorePath(nullptr); }
  FreshPropertyStore(const FreshPropertyStore&) = delete;
  FreshPropertyStore& operator=(const FreshPropertyStore&) = delete;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_FRESH_STORE_H_
