// larchtool reg: reads and edits blob registry files ("ClientRegistry.blob", version files).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "registry/BlobRegistry.h"

namespace larchtool {
namespace {

const char sc_szRegUsage[] =
    "usage: larchtool reg FILE list\n"
    "       larchtool reg FILE get KEY VALUE\n"
    "       larchtool reg FILE set KEY VALUE (--string S | --number N | --binary HEX)\n"
    "       larchtool reg FILE create-key KEY\n"
    "       larchtool reg FILE delete-value KEY VALUE\n"
    "       larchtool reg FILE delete-key KEY [--tree]\n"
    "options: --wait MS  how long to wait for another process that uses FILE (default 1000)\n"
    "\n"
    "  list          prints every key path (from \"TopKey\" down) and every value below it\n"
    "  get           prints one value as list shows it\n"
    "  set           writes a string, an unsigned 32-bit number (decimal or 0x hexadecimal)\n"
    "                or bytes given as hexadecimal digits; the key must exist\n"
    "  create-key    creates the key and any missing key on its way\n"
    "  delete-value  removes one value\n"
    "  delete-key    removes a key without subkeys, or with --tree the key and everything below\n"
    "\n"
    "KEY is a path of key names separated by backslashes, below the top key (Net\\Servers);\n"
    "\"\" is the top key itself. set and create-key create FILE when it is missing.\n";

constexpr uint32_t sc_uDefaultWaitMs = 1000;

// Takes "OPTION VALUE" out of the arguments; false when the option is absent.
bool TakeOption(std::vector<std::string>& args, const char* pszOption, std::string& sValue) {
  for (size_t u = 0; u < args.size(); ++u) {
    if (args[u] != pszOption) continue;
    if (u + 1 == args.size()) throw CUsageError(std::string(pszOption) + " needs a value");
    sValue = args[u + 1];
    args.erase(args.begin() + std::ptrdiff_t(u), args.begin() + std::ptrdiff_t(u) + 2);
    return true;
  }
  return false;
}

bool TakeFlag(std::vector<std::string>& args, const char* pszFlag) {
  for (size_t u = 0; u < args.size(); ++u) {
    if (args[u] != pszFlag) continue;
    args.erase(args.begin() + std::ptrdiff_t(u));
    return true;
  }
  return false;
}

void RejectOptions(const std::vector<std::string>& args) {
  for (const std::string& sArg : args) {
    if (sArg.size() > 1 && sArg[0] == '-' && sArg[1] == '-') {
      throw CUsageError("unknown option " + sArg);
    }
  }
}

// A decimal or 0x-hexadecimal number that fits 32 bits.
bool ParseU32(const std::string& sText, uint32_t& uValue) {
  bool bHex = sText.size() > 2 && sText[0] == '0' && (sText[1] == 'x' || sText[1] == 'X');
  std::string sDigits = bHex ? sText.substr(2) : sText;
  if (sDigits.empty() || sDigits.size() > (bHex ? 8u : 10u)) return false;
  uint64_t u64 = 0;
  for (char c : sDigits) {
    int nDigit = (c >= '0' && c <= '9')           ? c - '0'
                 : bHex && (c >= 'a' && c <= 'f') ? c - 'a' + 10
                 : bHex && (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                  : -1;
    if (nDigit < 0) return false;
    u64 = u64 * (bHex ? 16 : 10) + uint64_t(nDigit);
  }
  if (u64 > 0xFFFFFFFFu) return false;
  uValue = uint32_t(u64);
  return true;
}

std::vector<uint8_t> ParseHex(const std::string& sHex) {
  if (sHex.empty() || sHex.size() % 2 != 0) {
    throw CUsageError("--binary needs an even, non-zero number of hexadecimal digits");
  }
  std::vector<uint8_t> bytes;
  for (size_t u = 0; u < sHex.size(); u += 2) {
    uint32_t uByte = 0;
    if (!ParseU32("0x" + sHex.substr(u, 2), uByte)) {
      throw CUsageError("--binary needs hexadecimal digits, not " + sHex);
    }
    bytes.push_back(uint8_t(uByte));
  }
  return bytes;
}

// A key path the registry accepts: no backslash at either end and no empty name between two.
// bAllowTop: "" names the top key.
void CheckKeyPath(const std::string& sKey, bool bAllowTop) {
  if (sKey.empty() && bAllowTop) return;
  bool bBad = sKey.empty() || sKey.front() == '\\' || sKey.back() == '\\' ||
              sKey.find("\\\\") != std::string::npos;
  if (bBad) throw CUsageError("invalid key path \"" + sKey + "\"");
}

void CheckValueName(const std::string& sValue) {
  if (sValue.empty()) throw CUsageError("the value name must not be empty");
}

// Prints each key's path (without its last backslash) and its values, indented.
class CListVisitor : public common::CPathVisitor {
 public:
  void EnterKey(common::IKey* pKey) override {
    CPathVisitor::EnterKey(pKey);
    std::printf("%s\n", m_sCurrentPath.substr(0, m_sCurrentPath.size() - 1).c_str());
  }
  void VisitValue(const common::CValue* pValue) override {
    std::printf("  %s = %s\n", pValue->GetName().c_str(), common::DescribeValue(*pValue).c_str());
  }
};

// Where and how long to wait for the file.
struct SRegFile {
  std::string sName;
  uint32_t uWaitMs;
  // set and create-key create a missing file; the other commands need it.
  std::unique_ptr<common::CBlobRegistry> Open(bool bMayCreate) const {
    return std::unique_ptr<common::CBlobRegistry>(
        new common::CBlobRegistry(sName, !bMayCreate, uWaitMs));
  }
};

int RunList(const SRegFile& file, const std::vector<std::string>& args) {
  if (!args.empty()) throw CUsageError("list takes no arguments");
  std::unique_ptr<common::CBlobRegistry> pRegistry = file.Open(false);
  CListVisitor visitor;
  pRegistry->OpenKey("")->Accept(visitor);
  return sc_nExitOk;
}

int RunGet(const SRegFile& file, const std::vector<std::string>& args) {
  if (args.size() != 2) throw CUsageError("get needs KEY and VALUE");
  CheckKeyPath(args[0], true);
  CheckValueName(args[1]);
  std::unique_ptr<common::CBlobRegistry> pRegistry = file.Open(false);
  common::KeyPtr_t pKey = pRegistry->OpenKey(args[0]);
  for (common::CValueIterator it = pKey->ValuesBegin(); it != pKey->ValuesEnd(); ++it) {
    if (it.GetName() != args[1]) continue;
    std::printf("%s\n", it.Describe().c_str());
    return sc_nExitOk;
  }
  throw common::CValueDoesNotExistException(pKey->GetName(), args[1]);
}

int RunSet(const SRegFile& file, std::vector<std::string> args) {
  std::string sString, sNumber, sBinary;
  bool bString = TakeOption(args, "--string", sString);
  bool bNumber = TakeOption(args, "--number", sNumber);
  bool bBinary = TakeOption(args, "--binary", sBinary);
  RejectOptions(args);
  if (args.size() != 2 || int(bString) + int(bNumber) + int(bBinary) != 1) {
    throw CUsageError("set needs KEY, VALUE and one of --string, --number, --binary");
  }
  CheckKeyPath(args[0], true);
  CheckValueName(args[1]);
  uint32_t uNumber = 0;
  if (bNumber && !ParseU32(sNumber, uNumber)) {
    throw CUsageError("--number needs an unsigned 32-bit number, not " + sNumber);
  }
  std::vector<uint8_t> bytes = bBinary ? ParseHex(sBinary) : std::vector<uint8_t>();
  std::unique_ptr<common::CBlobRegistry> pRegistry = file.Open(true);
  if (bString) {
    pRegistry->SetStringValue(args[0], args[1], sString);
  } else if (bNumber) {
    pRegistry->SetUnsignedNumberValue(args[0], args[1], uNumber);
  } else {
    pRegistry->SetBinaryValue(args[0], args[1], bytes.data(), uint32_t(bytes.size()));
  }
  return sc_nExitOk;
}

int RunCreateKey(const SRegFile& file, const std::vector<std::string>& args) {
  if (args.size() != 1) throw CUsageError("create-key needs KEY");
  CheckKeyPath(args[0], false);
  file.Open(true)->CreateKey(args[0], false);
  return sc_nExitOk;
}

int RunDeleteValue(const SRegFile& file, const std::vector<std::string>& args) {
  if (args.size() != 2) throw CUsageError("delete-value needs KEY and VALUE");
  CheckKeyPath(args[0], true);
  CheckValueName(args[1]);
  file.Open(false)->DeleteValue(args[0], args[1]);
  return sc_nExitOk;
}

int RunDeleteKey(const SRegFile& file, std::vector<std::string> args) {
  bool bTree = TakeFlag(args, "--tree");
  RejectOptions(args);
  if (args.size() != 1) throw CUsageError("delete-key needs KEY");
  CheckKeyPath(args[0], false);
  std::unique_ptr<common::CBlobRegistry> pRegistry = file.Open(false);
  if (bTree) {
    pRegistry->DeleteKeyTree(args[0]);
  } else {
    pRegistry->DeleteKey(args[0]);
  }
  return sc_nExitOk;
}

int RunCommand(const std::vector<std::string>& argsIn) {
  if (WantsHelp(argsIn)) {
    std::fputs(sc_szRegUsage, stdout);
    return sc_nExitOk;
  }
  std::vector<std::string> args = argsIn;
  SRegFile file;
  std::string sWait;
  file.uWaitMs = sc_uDefaultWaitMs;
  if (TakeOption(args, "--wait", sWait) && !ParseU32(sWait, file.uWaitMs)) {
    throw CUsageError("--wait needs a number of milliseconds, not " + sWait);
  }
  if (args.size() < 2) throw CUsageError("reg needs FILE and a command");
  file.sName = args[0];
  const std::string sCommand = args[1];
  args.erase(args.begin(), args.begin() + 2);
  if (sCommand == "set") return RunSet(file, args);
  if (sCommand == "delete-key") return RunDeleteKey(file, args);
  RejectOptions(args);
  if (sCommand == "list") return RunList(file, args);
  if (sCommand == "get") return RunGet(file, args);
  if (sCommand == "create-key") return RunCreateKey(file, args);
  if (sCommand == "delete-value") return RunDeleteValue(file, args);
  throw CUsageError("unknown command " + sCommand);
}

const CCommandRegistration s_registration({"reg", "reads and edits blob registry files",
                                           sc_szRegUsage, RunCommand});

}  // namespace
}  // namespace larchtool
