#include "support/SafeClibStringReplacements.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "support/Assert.h"

namespace common {
namespace {

void CheckNoOverlap(char* szDst, const char* cszSrc, size_t uEntireDestBufSize) {
  LARCH_PRECONDITION("DstDoesNotOverlapSrc",
                     !((szDst <= cszSrc) && ((szDst + uEntireDestBufSize) >= cszSrc)));
  LARCH_PRECONDITION("SrcDoesNotOverlapDst",
                     !((cszSrc <= szDst) && ((cszSrc + strlen(cszSrc)) >= szDst)));
}

}  // namespace

char* SafeStrncpy(char* szDst, const char* cszSrc, size_t uEntireDestBufSize) {
  LARCH_PRECONDITION("NonNullDstPtr", szDst);
  LARCH_PRECONDITION("NonNullSrcPtr", cszSrc);
  LARCH_PRECONDITION("NonZeroDstBufSize", uEntireDestBufSize);
  if (!szDst || uEntireDestBufSize == 0) return szDst;
  if (!cszSrc) {
    szDst[0] = '\0';
    return szDst;
  }
  CheckNoOverlap(szDst, cszSrc, uEntireDestBufSize);
  // memmove and explicit padding give strncpy's result even for overlapping buffers.
  size_t uLen = strnlen(cszSrc, uEntireDestBufSize);
  std::memmove(szDst, cszSrc, uLen);
  std::memset(szDst + uLen, 0, uEntireDestBufSize - uLen);
  szDst[uEntireDestBufSize - 1] = '\0';
  LARCH_POSTCONDITION("DstSameAsSrc", strncmp(szDst, cszSrc, strlen(szDst)) == 0);
  return szDst;
}

char* SafeStrcat(char* szDst, const char* cszSrc, size_t uEntireDestBufSize) {
  LARCH_PRECONDITION("NonNullDstPtr", szDst);
  LARCH_PRECONDITION("NonNullSrcPtr", cszSrc);
  LARCH_PRECONDITION("NonZeroCount", uEntireDestBufSize);
  if (!szDst || !cszSrc || uEntireDestBufSize == 0) return szDst;
  size_t uDstLen = strnlen(szDst, uEntireDestBufSize);
  LARCH_PRECONDITION("DstNotTooLarge", uDstLen < uEntireDestBufSize);
  LARCH_PRECONDITION("SrcNotTooLarge", strlen(cszSrc) < uEntireDestBufSize);
  LARCH_PRECONDITION("SrcDoesNotOverflowDst", (uDstLen + strlen(cszSrc)) < uEntireDestBufSize);
  CheckNoOverlap(szDst, cszSrc, uEntireDestBufSize);
  if (uDstLen >= uEntireDestBufSize) uDstLen = uEntireDestBufSize - 1;
  size_t uCopy = std::min(strlen(cszSrc), uEntireDestBufSize - 1 - uDstLen);
  std::memmove(szDst + uDstLen, cszSrc, uCopy);
  szDst[uDstLen + uCopy] = '\0';
  LARCH_POSTCONDITION("DstBufferNotOverflowed", strlen(szDst) < uEntireDestBufSize);
  return szDst;
}

static int FormatBounded(char* szDstBuf, size_t uSizeOfDstBuf, const char* cszFormat,
                         va_list args) {
  LARCH_PRECONDITION("NonNullDstPtr", szDstBuf);
  LARCH_PRECONDITION("NonZeroDstBufSize", uSizeOfDstBuf);
  LARCH_PRECONDITION("NonNullFormatPtr", cszFormat);
  if (!szDstBuf || uSizeOfDstBuf == 0) return -1;
  if (!cszFormat) {
    szDstBuf[0] = '\0';
    return -1;
  }
  int nRet = std::vsnprintf(szDstBuf, uSizeOfDstBuf, cszFormat, args);
  // A cut output reads as a negative result on every runtime.
  if (nRet >= static_cast<int>(uSizeOfDstBuf)) nRet = -1;
  szDstBuf[uSizeOfDstBuf - 1] = '\0';
  LARCH_POSTCONDITION("DstBufferNotOverflowed", strlen(szDstBuf) < uSizeOfDstBuf);
  return nRet;
}

int SafeSnprintf(char* szDstBuf, size_t uSizeOfDstBuf, const char* cszFormat, ...) {
  va_list args;
  va_start(args, cszFormat);
  int nRet = FormatBounded(szDstBuf, uSizeOfDstBuf, cszFormat, args);
  va_end(args);
  return nRet;
}

int SafeVsnprintf(char* szDstBuf, size_t uSizeOfDstBuf, const char* cszFormat, va_list args) {
  int nRet = FormatBounded(szDstBuf, uSizeOfDstBuf, cszFormat, args);
  LARCH_POSTCONDITION("CharsWrittenLessThanBufSize", nRet <= static_cast<int>(uSizeOfDstBuf));
  return nRet;
}

}  // namespace common
