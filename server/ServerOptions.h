// The settings of larch-server: the publish directory, the address each role listens on, the
// addresses the directory servers give out, and the limits that keep slow or numerous clients
// from holding the server. They come from the command line and from an optional INI file with
// the same names (a command-line setting replaces the file's).
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

// A usage mistake: larch-server prints it with a pointer to --help and exits with 2.
class CServerUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A connection over a count limit is closed at once and logged, never left waiting: a flood
// must not queue ahead of the clients that are served.
struct SServerLimits {
  uint32_t uIdleTimeoutMs = 30000;      // a client silent (or not reading) this long is dropped
  uint32_t uRequestDeadlineMs = 10000;  // the handshake and request must be in by then, in all
  uint32_t uStopGraceMs = 2000;         // how long Stop lets running conversations finish
  // Conversations at once, split evenly among the roles served (each role's listener gets the
  // cap divided by the number of roles served, at least one), so that one flooded role cannot
  // starve the others.
  uint32_t uMaxConversations = 1024;
  uint32_t uMaxPerPeer = 64;  // conversations at once from one IP address, all roles together
  // A test aid: the content role's file bytes, all conversations together, in 10^6 bytes per
  // second; 0: as fast as the link goes.
  uint32_t uRateLimitMBps = 0;
};

// A content server of the fleet and its share of the clients (weight 2 gets twice weight 1's).
struct SWeightedAddress {
  common::CIPAddrPort addr;
  uint32_t uWeight = 1;
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
  // The content servers the content-server directory gives out by health and weight, in place
  // of the fixed list above; checked every uCheckIntervalMs.
  std::vector<SWeightedAddress> vecContentServers;
  uint32_t uCheckIntervalMs = 5000;
  SServerLimits limits;
  // How often the log gets a line of counts since the last one (also written at stop); 0: never.
  uint32_t uSummaryIntervalMs = 300000;
  bool bHelp = false;
  bool bVersion = false;
};

// Port the general directory servers listen on when an address names none.
constexpr uint16_t sc_u16DefaultGdsPort = 5273;

// Parses the arguments after the program name; --help and --version need nothing else. Throws
// CServerUsageError for unknown options, missing values, bad addresses or limits, or a missing
// --dir, and std::runtime_error when the INI file cannot be read.
SServerOptions ParseServerOptions(const std::vector<std::string>& vecArgs);

// An address list for the option sKey (the gds default port applies to "gds"); every address
// must name its IP. Throws CServerUsageError.
std::vector<common::CIPAddrPort> ParseAddressList(const std::string& sKey,
                                                  const std::string& sText);

// The fleet of --content-servers: items IP:PORT or IP:PORT/WEIGHT separated by commas or blanks,
// or "@FILE" for a file of such items ('#' starts a comment). Throws CServerUsageError, and
// std::runtime_error when the file cannot be read.
std::vector<SWeightedAddress> ParseContentServers(const std::string& sText);

extern const char sc_szServerUsage[];

}  // namespace larchserver
