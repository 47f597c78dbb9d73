// The exception classes shared by the whole program. Every text is a complete message for the
// user; exceptions are thrown by value and copied with all their fields.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace common {

// A message with an optional error number and its system text.
class CErrorCodeException : public std::runtime_error {
 public:
  enum EKind : uint32_t { eNone = 0, eErrno = 1, eWin32 = 2, eWinSock = 3 };

  // Kind eErrno and eWin32 take the current errno / last system error when uCode is 0 and
  // append its number and text to the message; other kinds keep the message as it is.
  CErrorCodeException(uint32_t uKind, const std::string& sMessage, uint32_t uCode = 0,
                      uint32_t uSecond = 0);

  const char* what() const noexcept override { return m_sFullText.c_str(); }
  uint32_t Kind() const { return m_uKind; }
  uint32_t Code() const { return m_uCode; }
  uint32_t Second() const { return m_uSecond; }

 private:
  std::string m_sFullText;
  uint32_t m_uSecond;
  uint32_t m_uKind;
  uint32_t m_uCode;
};

// The WinSock text of an error number; "Unknown socket error" for numbers not in the table.
const char* GetWinSockErrorText(int nCode);

// A network failure: the message, then the thread's last WinSock error with its text.
class CNetworkException : public CErrorCodeException {
 public:
  explicit CNetworkException(const std::string& sMessage);

 protected:
  // The whole text as given, with the error number beside it.
  CNetworkException(int nError, const std::string& sText);

 private:
  CNetworkException(const std::string& sMessage, int nError);
};

// A time limit of a conversation ran out: "Timed out after 30 s waiting for 10.0.0.1:5273".
// sWaitedFor names the step and the peer ("waiting for ...", "connecting to ..."). The error
// number is 10060 (connection timed out); the text carries no error suffix.
class CTimeoutException : public CNetworkException {
 public:
  CTimeoutException(uint32_t uLimitMs, const std::string& sWaitedFor);
};

class CConnectException : public CNetworkException {
 public:
  CConnectException();
  explicit CConnectException(const std::string& sAddress);
};

class CSendException : public CNetworkException {
 public:
  CSendException();
};

class CRecvException : public CNetworkException {
 public:
  CRecvException();
};

class CPeerGracefullyClosedConnectionCommException : public CNetworkException {
 public:
  CPeerGracefullyClosedConnectionCommException();
};

}  // namespace common

namespace win32 {

// A failed system call: the message, then the thread's last system error and its text.
class CErrorException : public common::CErrorCodeException {
 public:
  explicit CErrorException(const std::string& sMessage);
};

}  // namespace win32
