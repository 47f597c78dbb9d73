#include "ServerOptions.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace larchserver {

const char sc_szServerUsage[] =
    "usage: larch-server --dir PUBLISH [--gds ADDR] [--csds ADDR] [--config ADDR]\n"
    "                    [--content ADDR] [--auth ADDR]... [--advertise-csds ADDR]...\n"
    "                    [--advertise-config ADDR]... [--advertise-content ADDR]...\n"
    "                    [--content-servers LIST|@FILE]... [--check-interval SECONDS]\n"
    "                    [--idle-timeout SECONDS] [--request-deadline SECONDS]\n"
    "                    [--max-conversations N] [--max-per-peer N]\n"
    "                    [--summary-interval SECONDS] [--rate-limit MBPS] [--ini FILE]\n"
    "       larch-server --help | --version\n"
    "\n"
    "Serves the operator's servers for Larch from one publish directory.\n"
    "\n"
    "  --dir PUBLISH       the publish directory (packages and the client config record,\n"
    "                      see 'larchtool publish'); only read, never written\n"
    "  --gds ADDR          general directory server (port 5273 when ADDR names none)\n"
    "  --csds ADDR         content-server directory server\n"
    "  --config ADDR       configuration server: the client config record\n"
    "  --content ADDR      public content server: the files of the publish directory\n"
    "  --auth ADDR         master authentication server given out for server type 0\n"
    "  --advertise-csds ADDR, --advertise-config ADDR, --advertise-content ADDR\n"
    "                      servers running elsewhere that the directory servers give out\n"
    "                      instead of this process's own csds, config and content roles\n"
    "  --content-servers LIST|@FILE\n"
    "                      the fleet of content servers the csds role gives out instead:\n"
    "                      items IP:PORT or IP:PORT/WEIGHT (weight 1 to 1000, default 1),\n"
    "                      or @FILE naming a file of such items ('#' starts a comment);\n"
    "                      each answer holds up to the number asked of distinct servers\n"
    "                      that pass their health check, the first taken in turn by weight;\n"
    "                      when none passes, the whole list\n"
    "  --check-interval SECONDS\n"
    "                      how often each server of --content-servers is checked with a\n"
    "                      protocol handshake (answer within 2 seconds or the interval when\n"
    "                      shorter); one that fails is left out until it passes; default 5\n"
    "  --idle-timeout SECONDS\n"
    "                      drop a client that sends nothing (or reads nothing) for this long;\n"
    "                      default 30\n"
    "  --request-deadline SECONDS\n"
    "                      a client must deliver its handshake and request within this time\n"
    "                      of connecting, however slowly it sends them; default 10\n"
    "  --max-conversations N\n"
    "                      conversations at once, default 1024, split evenly among the roles\n"
    "                      served (N divided by their number, at least one each) so that a\n"
    "                      flood on one role leaves the others their share; a role whose\n"
    "                      share is in use accepts more only as places come free\n"
    "  --max-per-peer N    conversations at once from one IP address, all roles together;\n"
    "                      default 64\n"
    "  --summary-interval SECONDS\n"
    "                      log a summary line this often and once more at stop; 0 turns the\n"
    "                      summary off; default 300\n"
    "  --rate-limit MBPS   a test aid: hold the content role's file bytes, all downloads\n"
    "                      together, to MBPS megabytes (10^6 bytes) per second, as a link of\n"
    "                      that speed would; 0, the default, for no limit\n"
    "  --ini FILE          read settings from FILE: lines 'name = value' with the option\n"
    "                      names without '--'; '#' and ';' start comments, [sections] are\n"
    "                      ignored; the command line replaces the file's settings\n"
    "  --help              print this text\n"
    "  --version           print 'larch-server VERSION'\n"
    "\n"
    "ADDR is IP:PORT (0.0.0.0 or INADDR_ANY for every interface); port 0 picks a free port.\n"
    "Address options may be repeated or hold a list separated by commas or blanks.\n"
    "\n"
    "Each role served prints '<role> listening on <ip>:<port>' on start-up. The log goes to\n"
    "stderr, one line each, led by the UTC time: every conversation, every connection over\n"
    "a limit (closed at once), and the summary of the time since the previous summary:\n"
    "  summary gds=N csds=N config=N content=N ok=N over-limit=N bad-request=N\n"
    "  timed-out=N failed=N bytes=N\n"
    "(one line: the conversations of each role, then how they ended: served, refused over\n"
    "a limit, refused as a bad request (malformed, another protocol version, an unknown\n"
    "command, a file not served), timed out, or failed otherwise; and the bytes sent).\n"
    "SIGINT and SIGTERM end the server in order. Exit status: 0 after such a stop, 1 when\n"
    "the server cannot start, 2 for a usage mistake.\n";

namespace {

const char* const sc_apszRoleNames[eNumRoles] = {"gds", "csds", "config", "content"};

const char* const sc_apszListKeys[] = {"auth", "advertise-csds", "advertise-config",
                                       "advertise-content", "content-servers"};

bool IsRoleKey(const std::string& sKey) {
  for (const char* psz : sc_apszRoleNames) {
    if (sKey == psz) return true;
  }
  return false;
}

bool IsListKey(const std::string& sKey) {
  for (const char* psz : sc_apszListKeys) {
    if (sKey == psz) return true;
  }
  return false;
}

// The number settings: each key, its unit on the command line, the values taken, and for a limit
// where it goes (in milliseconds for the times).
struct SNumberKey {
  const char* pszKey;
  uint32_t uScale;  // 1000 for a setting given in seconds
  uint32_t uMin;
  uint32_t uMax;
  uint32_t SServerLimits::*pu;
};

const SNumberKey sc_aLimitKeys[] = {
    {"idle-timeout", 1000, 1, 86400, &SServerLimits::uIdleTimeoutMs},
    {"request-deadline", 1000, 1, 86400, &SServerLimits::uRequestDeadlineMs},
    {"max-conversations", 1, 1, 65536, &SServerLimits::uMaxConversations},
    {"max-per-peer", 1, 1, 65536, &SServerLimits::uMaxPerPeer},
    {"rate-limit", 1, 0, 100000, &SServerLimits::uRateLimitMBps}};

// The intervals, settings of their own rather than limits.
const struct {
  SNumberKey key;
  uint32_t SServerOptions::*pu;
} sc_aIntervalKeys[] = {
    {{"summary-interval", 1000, 0, 86400, nullptr}, &SServerOptions::uSummaryIntervalMs},
    {{"check-interval", 1000, 1, 3600, nullptr}, &SServerOptions::uCheckIntervalMs}};

bool IsNumberKey(const std::string& sKey) {
  for (const SNumberKey& key : sc_aLimitKeys) {
    if (sKey == key.pszKey) return true;
  }
  for (const auto& interval : sc_aIntervalKeys) {
    if (sKey == interval.key.pszKey) return true;
  }
  return false;
}

bool IsKnownKey(const std::string& sKey) {
  return sKey == "dir" || IsRoleKey(sKey) || IsListKey(sKey) || IsNumberKey(sKey);
}

std::string Trim(const std::string& s) {
  size_t uStart = s.find_first_not_of(" \t\r\n");
  if (uStart == std::string::npos) return "";
  size_t uEnd = s.find_last_not_of(" \t\r\n");
  return s.substr(uStart, uEnd - uStart + 1);
}

using CSettings = std::map<std::string, std::vector<std::string>>;

// Reads "name = value" lines; a repeated list setting adds to the earlier ones.
CSettings ReadIniFile(const std::string& sFile) {
  std::ifstream in(sFile);
  if (!in) throw std::runtime_error("unable to open " + sFile + " for reading");
  CSettings settings;
  std::string sLine;
  for (int nLine = 1; std::getline(in, sLine); ++nLine) {
    std::string sText = Trim(sLine);
    if (sText.empty() || sText[0] == '#' || sText[0] == ';' || sText[0] == '[') continue;
    size_t uEq = sText.find('=');
    std::string sKey = Trim(sText.substr(0, uEq));
    if (uEq == std::string::npos || !IsKnownKey(sKey)) {
      throw CServerUsageError(sFile + " line " + std::to_string(nLine) + ": unknown setting '" +
                              sText + "'");
    }
    std::string sValue = Trim(sText.substr(uEq + 1));
    if (IsListKey(sKey)) {
      settings[sKey].push_back(sValue);
    } else {
      settings[sKey] = {sValue};
    }
  }
  return settings;
}

// The command line's settings, and the INI file it names (empty when none).
CSettings ReadCommandLine(const std::vector<std::string>& vecArgs, std::string& sIniFile,
                          SServerOptions& options) {
  CSettings settings;
  for (size_t u = 0; u < vecArgs.size(); ++u) {
    const std::string& sArg = vecArgs[u];
    if (sArg == "--help" || sArg == "-h" || sArg == "--version") {
      (sArg == "--version" ? options.bVersion : options.bHelp) = true;
      continue;
    }
    std::string sKey = sArg.compare(0, 2, "--") == 0 ? sArg.substr(2) : "";
    std::string sValue;
    size_t uEq = sKey.find('=');
    bool bInline = uEq != std::string::npos;
    if (bInline) {
      sValue = sKey.substr(uEq + 1);
      sKey = sKey.substr(0, uEq);
    }
    if (sKey != "ini" && !IsKnownKey(sKey))
      throw CServerUsageError("unknown option '" + sArg + "'");
    if (!bInline) {
      if (u + 1 >= vecArgs.size()) throw CServerUsageError("option --" + sKey + " needs a value");
      sValue = vecArgs[++u];
    }
    if (sKey == "ini") {
      sIniFile = sValue;
    } else if (IsListKey(sKey)) {
      settings[sKey].push_back(sValue);
    } else {
      settings[sKey] = {sValue};
    }
  }
  return settings;
}

common::CIPAddrPort ParseListenAddress(const std::string& sKey, const std::string& sText) {
  std::vector<common::CIPAddrPort> vec = ParseAddressList(sKey, sText);
  if (vec.size() != 1) throw CServerUsageError("--" + sKey + " takes one address: '" + sText + "'");
  return vec[0];
}

// A whole number from key.uMin to key.uMax, in the key's unit.
uint32_t ParseNumber(const SNumberKey& key, const std::string& sText) {
  bool bDigits = !sText.empty() && sText.size() <= 9 &&
                 sText.find_first_not_of("0123456789") == std::string::npos;
  uint32_t uValue = bDigits ? static_cast<uint32_t>(std::stoul(sText)) : 0;
  if (!bDigits || uValue < key.uMin || uValue > key.uMax) {
    throw CServerUsageError(std::string("--") + key.pszKey + " takes a whole number" +
                            (key.uScale == 1000 ? " of seconds" : "") + " from " +
                            std::to_string(key.uMin) + " to " + std::to_string(key.uMax) + ": '" +
                            sText + "'");
  }
  return uValue * key.uScale;
}

void ParseNumbers(CSettings& settings, SServerOptions& options) {
  for (const SNumberKey& key : sc_aLimitKeys) {
    const std::vector<std::string>& vec = settings[key.pszKey];
    if (!vec.empty()) options.limits.*key.pu = ParseNumber(key, vec[0]);
  }
  for (const auto& interval : sc_aIntervalKeys) {
    const std::vector<std::string>& vec = settings[interval.key.pszKey];
    if (!vec.empty()) options.*interval.pu = ParseNumber(interval.key, vec[0]);
  }
}

// One fleet item: IP:PORT, then /WEIGHT when given.
SWeightedAddress ParseWeightedAddress(const std::string& sItem) {
  size_t uSlash = sItem.find('/');
  SWeightedAddress server;
  server.addr = ParseListenAddress("content-servers", sItem.substr(0, uSlash));
  if (uSlash == std::string::npos) return server;
  static const SNumberKey sc_WeightKey = {"content-servers weight", 1, 1, 1000, nullptr};
  server.uWeight = ParseNumber(sc_WeightKey, sItem.substr(uSlash + 1));
  return server;
}

// The items of a file given as @FILE, comments left out.
std::string ReadListFile(const std::string& sFile) {
  std::ifstream in(sFile);
  if (!in) throw std::runtime_error("unable to open " + sFile + " for reading");
  std::string sText, sLine;
  while (std::getline(in, sLine)) sText += sLine.substr(0, sLine.find('#')) + "\n";
  return sText;
}

}  // namespace

const char* RoleName(ERole eRole) {
  return sc_apszRoleNames[eRole];
}

std::vector<common::CIPAddrPort> ParseAddressList(const std::string& sKey,
                                                  const std::string& sText) {
  uint16_t u16DefaultPort = sKey == "gds" ? sc_u16DefaultGdsPort : 0;
  try {
    // An address without an IP is refused: this host's first address is rarely what an
    // operator means for a listening or advertised server.
    std::vector<common::CIPAddrPort> vec =
        common::ParseIPAddrPortList(sText, 0xFFFFFFFFu, u16DefaultPort);
    if (vec.empty()) throw std::runtime_error("no address given");
    return vec;
  } catch (const std::exception& e) {
    throw CServerUsageError("bad address for --" + sKey + ": " + e.what());
  }
}

std::vector<SWeightedAddress> ParseContentServers(const std::string& sText) {
  std::string sItems = sText.compare(0, 1, "@") == 0 ? ReadListFile(sText.substr(1)) : sText;
  std::replace(sItems.begin(), sItems.end(), ',', ' ');
  std::istringstream in(sItems);
  std::vector<SWeightedAddress> vec;
  for (std::string sItem; in >> sItem;) vec.push_back(ParseWeightedAddress(sItem));
  if (vec.empty()) throw CServerUsageError("no address given for --content-servers");
  return vec;
}

SServerOptions ParseServerOptions(const std::vector<std::string>& vecArgs) {
  SServerOptions options;
  std::string sIniFile;
  CSettings settings = ReadCommandLine(vecArgs, sIniFile, options);
  if (options.bHelp || options.bVersion) return options;
  if (!sIniFile.empty()) {
    // The command line replaces the file's setting of the same name.
    CSettings fromFile = ReadIniFile(sIniFile);
    for (auto& entry : settings) fromFile[entry.first] = entry.second;
    settings.swap(fromFile);
  }
  if (settings["dir"].empty() || settings["dir"][0].empty()) {
    throw CServerUsageError("--dir PUBLISH is required");
  }
  options.sPublishDir = settings["dir"][0];
  for (int n = 0; n < eNumRoles; ++n) {
    const std::vector<std::string>& vec = settings[sc_apszRoleNames[n]];
    if (vec.empty()) continue;
    options.abServe[n] = true;
    options.aListen[n] = ParseListenAddress(sc_apszRoleNames[n], vec[0]);
  }
  bool bAny = false;
  for (bool b : options.abServe) bAny = bAny || b;
  if (!bAny) throw CServerUsageError("no role to serve: give --gds, --csds, --config or --content");
  struct {
    const char* pszKey;
    std::vector<common::CIPAddrPort>* pvec;
  } lists[] = {{"auth", &options.vecAuth},
               {"advertise-csds", &options.vecAdvertiseCsds},
               {"advertise-config", &options.vecAdvertiseConfig},
               {"advertise-content", &options.vecAdvertiseContent}};
  for (auto& list : lists) {
    for (const std::string& sText : settings[list.pszKey]) {
      std::vector<common::CIPAddrPort> vec = ParseAddressList(list.pszKey, sText);
      list.pvec->insert(list.pvec->end(), vec.begin(), vec.end());
    }
  }
  for (const std::string& sText : settings["content-servers"]) {
    std::vector<SWeightedAddress> vec = ParseContentServers(sText);
    options.vecContentServers.insert(options.vecContentServers.end(), vec.begin(), vec.end());
  }
  if (!options.vecContentServers.empty() && !options.vecAdvertiseContent.empty()) {
    throw CServerUsageError("give either --content-servers or --advertise-content, not both");
  }
  if (!options.vecContentServers.empty() && !options.abServe[eCsds]) {
    throw CServerUsageError("--content-servers is the csds role's list: give --csds ADDR too");
  }
  ParseNumbers(settings, options);
  return options;
}

}  // namespace larchserver
