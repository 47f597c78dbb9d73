// The settings of larch-server: the publish directory, the address each role listens on, and
// the addresses the directory servers give out. They come from the command line and from an
// optional INI file with the same names (a command-line setting replaces the file's).
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/IPAddrPort.h"

namespace larchserver {

// The four kinds of server one process may play, each on its own address.
enum ERole { eGds = 0, eCsds, eConfig, eContent, eNumRoles };
const char* RoleName(ERole eRole);  // "gds", "csds", "config", "content"

// A usage mistake: larch-server prints it with the usage text and exits with 2.
class CServerUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SServerOptions {
  std::string sPublishDir;
  std::array<bool, eNumRoles> abServe{};
  std::array<common::CIPAddrPort, eNumRoles> aListen{};
  // Server type 0 of the directory: the master authentication server(s).
  std::vector<common::CIPAddrPort> vecAuth;
  // Servers that run elsewhere; when a list is empty the directory gives out the matching
  // role of this process instead.
  std::vector<common::CIPAddrPort> vecAdvertiseCsds;
  std::vector<common::CIPAddrPort> vecAdvertiseConfig;
  std::vector<common::CIPAddrPort> vecAdvertiseContent;
  bool bHelp = false;
};

// Port the general directory servers listen on when an address names none.
constexpr uint16_t sc_u16DefaultGdsPort = 5273;

// Parses the arguments after the program name. Throws CServerUsageError for unknown options,
// missing values, bad addresses or a missing --dir, and std::runtime_error when the INI file
// cannot be read.
SServerOptions ParseServerOptions(const std::vector<std::string>& vecArgs);

// An address list for the option sKey (the gds default port applies to "gds"); every address
// must name its IP. Throws CServerUsageError.
std::vector<common::CIPAddrPort> ParseAddressList(const std::string& sKey,
                                                  const std::string& sText);

extern const char sc_szServerUsage[];

}  // namespace larchserver
