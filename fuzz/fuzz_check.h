// Property checks inside fuzz targets: a violated property aborts, so libFuzzer keeps the input
// that broke it as a crash artifact.
#ifndef FILEREPOSITORY_FUZZ_FUZZ_CHECK_H_
#define FILEREPOSITORY_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

namespace fuzz_support {

[[noreturn]] inline void PropertyViolated(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, condition);
  std::abort();
}

}  // namespace fuzz_support

#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) fuzz_support::PropertyViolated(#condition, __FILE__, __LINE__); \
  } while (false)

#endif  // FILEREPOSITORY_FUZZ_FUZZ_CHECK_H_
