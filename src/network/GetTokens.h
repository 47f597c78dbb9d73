// Splits a text into tokens separated by whitespace characters, with quoted tokens.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace common {

class CGetTokensException : public std::runtime_error {
 public:
  explicit CGetTokensException(const std::string& sMessage) : std::runtime_error(sMessage) {}
};

// Appends up to nMaxTokens tokens (negative: no limit) to vecTokens. A token that starts with a
// quote character runs to the next occurrence of that same character, delimiters included; an
// unquoted token ends at the first whitespace or quote character. An unmatched quote throws
// "Missing end-quote in: " with the input from where that token's search began.
void GetTokens(const char* pszInput, const char* pszWhitespaceDelimeterChars,
               const char* pszQuoteDelimeterChars, int nMaxTokens,
               std::vector<std::string>& vecTokens);

}  // namespace common
