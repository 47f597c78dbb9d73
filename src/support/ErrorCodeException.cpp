#include "support/ErrorCodeException.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/SystemError.h"
#include "support/Assert.h"

namespace common {
namespace {

struct SWinSockText {
  int nCode;
  const char* pszText;
};

// Sorted by code for the binary search.
const SWinSockText sc_aWinSockTexts[] = {
    {0, "No error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open sockets"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Net connection reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network system is unavailable"},
    {10092, "Winsock version out of range"},
    {10093, "WSAStartup not yet called"},
    {10101, "Graceful shutdown in progress"},
    {11001, "Host not found"},
    {11004, "No host data of that type was found"},
};

std::string Suffix(uint32_t uKind, uint32_t& uCode) {
  std::string sText;
  switch (uKind) {
    case CErrorCodeException::eErrno:
      if (uCode == 0) uCode = static_cast<uint32_t>(errno);
      return ", errno " + std::to_string(uCode) + " \"" + std::strerror(static_cast<int>(uCode)) +
             "\"";
    case CErrorCodeException::eWin32:
      if (uCode == 0) uCode = platform::GetLastSystemError();
      if (!platform::GetSystemErrorText(uCode, sText)) {
        DebugAssert("dwFmtRet", __FILE__, __LINE__);
        sText = "Unknown error";
      }
      return ", Win32 Error " + std::to_string(uCode) + " \"" + sText + "\"";
    default:
      return "";
  }
}

// Whole seconds as "30", fractions as "0.25".
std::string SecondsText(uint32_t uMs) {
  std::string sText = std::to_string(uMs / 1000);
  if (uMs % 1000 == 0) return sText;
  std::string sFraction = std::to_string(1000 + uMs % 1000).substr(1);
  return sText + "." + sFraction.substr(0, sFraction.find_last_not_of('0') + 1);
}

}  // namespace

CErrorCodeException::CErrorCodeException(uint32_t uKind, const std::string& sMessage,
                                         uint32_t uCode, uint32_t uSecond)
    : std::runtime_error(sMessage), m_uSecond(uSecond), m_uKind(uKind), m_uCode(uCode) {
  m_sFullText = sMessage + Suffix(uKind, m_uCode);
}

const char* GetWinSockErrorText(int nCode) {
  auto it = std::lower_bound(std::begin(sc_aWinSockTexts), std::end(sc_aWinSockTexts), nCode,
                             [](const SWinSockText& row, int n) { return row.nCode < n; });
  if (it == std::end(sc_aWinSockTexts) || it->nCode != nCode) return "Unknown socket error";
  return it->pszText;
}

// The thread's WinSock error is read once, before anything else can change it.
CNetworkException::CNetworkException(const std::string& sMessage)
    : CNetworkException(sMessage, platform::GetLastSocketError()) {}

CNetworkException::CNetworkException(const std::string& sMessage, int nError)
    : CErrorCodeException(eWinSock,
                          sMessage + ", WinSock Error " + std::to_string(nError) + " \"" +
                              GetWinSockErrorText(nError) + "\"",
                          static_cast<uint32_t>(nError), 0) {}

CNetworkException::CNetworkException(int nError, const std::string& sText)
    : CErrorCodeException(eWinSock, sText, static_cast<uint32_t>(nError), 0) {}

CTimeoutException::CTimeoutException(uint32_t uLimitMs, const std::string& sWaitedFor)
    : CNetworkException(10060, "Timed out after " + SecondsText(uLimitMs) + " s " + sWaitedFor) {}

CConnectException::CConnectException() : CNetworkException("Failed to connect") {}

CConnectException::CConnectException(const std::string& sAddress)
    : CNetworkException("Failed to connect to " + sAddress) {}

CSendException::CSendException() : CNetworkException("Send Failure") {}

CRecvException::CRecvException() : CNetworkException("Receive Failure") {}

CPeerGracefullyClosedConnectionCommException::CPeerGracefullyClosedConnectionCommException()
    : CNetworkException("Connection Closed by Peer") {}

}  // namespace common

namespace win32 {

CErrorException::CErrorException(const std::string& sMessage)
    : common::CErrorCodeException(eWin32, sMessage, 0, 0) {}

}  // namespace win32
