// Shared by the internet layer's tests, whose operations report failures by throwing.
#ifndef FILEREPOSITORY_TESTS_INTERNET_THROWN_CODE_H_
#define FILEREPOSITORY_TESTS_INTERNET_THROWN_CODE_H_

#include "platform/internet/internet.h"

// Runs `operation` and returns the code of the CInternetException it throws (0 when none).
template <typename Operation>
DWORD ThrownCode(Operation operation) {
  try {
    operation();
  } catch (const CInternetException& exception) {
    return exception.m_dwError;
  }
  return ERROR_SUCCESS;
}

#endif  // FILEREPOSITORY_TESTS_INTERNET_THROWN_CODE_H_
