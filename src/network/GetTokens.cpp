#include "network/GetTokens.h"

#include <cstring>

#include "support/Assert.h"

namespace common {

void GetTokens(const char* pszInput, const char* pszWhitespaceDelimeterChars,
               const char* pszQuoteDelimeterChars, int nMaxTokens,
               std::vector<std::string>& vecTokens) {
  LARCH_PRECONDITION("non-null pszInput", pszInput);
  LARCH_PRECONDITION("non-null pszWhitespaceDelimeterChars", pszWhitespaceDelimeterChars);
  LARCH_PRECONDITION("non-null pszQuoteDelimeterChars", pszQuoteDelimeterChars);
  if (!pszInput) return;
  const char* pszWhite = pszWhitespaceDelimeterChars ? pszWhitespaceDelimeterChars : "";
  const char* pszQuotes = pszQuoteDelimeterChars ? pszQuoteDelimeterChars : "";
  auto IsIn = [](char c, const char* pszSet) { return c != '\0' && std::strchr(pszSet, c); };

  const char* p = pszInput;
  for (int nFound = 0; nMaxTokens < 0 || nFound < nMaxTokens; ++nFound) {
    const char* pszSearchStart = p;
    while (IsIn(*p, pszWhite)) ++p;
    if (*p == '\0') return;
    if (IsIn(*p, pszQuotes)) {
      const char* pszClose = std::strchr(p + 1, *p);
      if (!pszClose)
        throw CGetTokensException(std::string("Missing end-quote in: ") + pszSearchStart);
      vecTokens.emplace_back(p + 1, pszClose);
      p = pszClose + 1;
    } else {
      const char* pszStart = p;
      while (*p != '\0' && !IsIn(*p, pszWhite) && !IsIn(*p, pszQuotes)) ++p;
      vecTokens.emplace_back(pszStart, p);
    }
  }
}

}  // namespace common
