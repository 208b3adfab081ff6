#include <ctime>

#include "platform/win32.h"

DWORD CurrentTime32() {
  return static_cast<DWORD>(std::time(nullptr));
}
