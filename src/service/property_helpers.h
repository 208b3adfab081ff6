// Typed helpers over the host's property store. They never log; callers decide what a failed read
// means. All take the host handle, the section (the processor name) and the property name.
#ifndef FILEREPOSITORY_SERVICE_PROPERTY_HELPERS_H_
#define FILEREPOSITORY_SERVICE_PROPERTY_HELPERS_H_

#include <string>

#include "host/mail_server.h"
#include "platform/win32.h"

// True when a 4-byte read succeeds and the stored type is 4 (number) or 0 (untyped); `value` then
// holds it. Otherwise false and `value` is 0.
BOOL GetDwordProperty(_tMailServer* server, const char* section, const char* name, DWORD& value);

// Writes the value as a number (type 4). Returns the host's result.
BOOL SetDwordProperty(_tMailServer* server, const char* section, const char* name, DWORD value);

// Reads a text property (type 1 or 0) into `value`, up to its NUL: first into a 512-byte buffer,
// and when that is too small (last error 234) once more into one of the size reported plus 10.
// False (value empty) when a read fails; a value of another type fails with last error 1804.
BOOL GetStringProperty(_tMailServer* server, const char* section, const char* name,
                       std::string& value);

// GetStringProperty; on failure the value is made empty.
BOOL GetStringPropertyOrEmpty(_tMailServer* server, const char* section, const char* name,
                              std::string& value);

#endif  // FILEREPOSITORY_SERVICE_PROPERTY_HELPERS_H_
