// Bounded string functions. Each checks its arguments as preconditions and never writes past
// dstSize characters, also when a check failed and the user chose to go on.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace common {

// strncpy over uEntireDestBufSize characters, then always a terminator in the last one.
char* SafeStrncpy(char* szDst, const char* cszSrc, size_t uEntireDestBufSize);
// Appends the source; cut to what fits when a check failed.
char* SafeStrcat(char* szDst, const char* cszSrc, size_t uEntireDestBufSize);
// Bounded formatting; the result is negative when the output was cut, and the buffer always
// ends with a terminator.
int SafeSnprintf(char* szDstBuf, size_t uSizeOfDstBuf, const char* cszFormat, ...)
    __attribute__((format(printf, 3, 4)));
int SafeVsnprintf(char* szDstBuf, size_t uSizeOfDstBuf, const char* cszFormat, va_list args);

}  // namespace common
