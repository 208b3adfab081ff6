// Property checks inside fuzz targets: a violated property aborts, so libFuzzer keeps the input
// that broke it as a crash artifact.
#ifndef FILEREPOSITORY_FUZZ_FUZZ_CHECK_H_
#define FILEREPOSITORY_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (false)

#endif  // FILEREPOSITORY_FUZZ_FUZZ_CHECK_H_
