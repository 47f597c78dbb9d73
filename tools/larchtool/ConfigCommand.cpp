// larchtool config: shows and edits configuration record files (a record's blob image) and
// converts them to and from their XML form.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ClientRecordXml.h"
#include "Command.h"
#include "InputFile.h"
#include "config/ConfigRecord.h"
#include "config/ConfigRecordXMLWriter.h"
#include "support/FileUtil.h"

namespace larchtool {
namespace {

const char sc_szConfigUsage[] =
    "usage: larchtool config COMMAND ARGS...\n"
    "\n"
    "Configuration record files hold the blob image of one record. The client config record\n"
    "(ClientConfigRecord.blob of a publish directory) has an XML form of its own: a\n"
    "ClientConfigRecord element with one Field element per field, <Field Id=\"N\"\n"
    "Name=\"...\" Type=\"uint32|uint64|string|hex\">value</Field>; from-xml reads either form\n"
    "and keeps the fields exactly, so a signed record still verifies.\n"
    "\n"
    "Commands:\n"
    "  to-xml RECORD [OUT]       prints the record in its XML form, or writes it to OUT\n"
    "  from-xml XML OUT          reads the XML form and writes the record file OUT\n"
    "  get RECORD NAME           prints the value of the item NAME (qualified names such as\n"
    "                            net.port address items in namespaces; booleans print as 1\n"
    "                            or 0; a namespace prints as XML; inactive items print too)\n"
    "  set RECORD NAME --type boolean|uint32|int32|string VALUE [--inactive]\n"
    "      [--description TEXT]  stores the item, creating RECORD and namespaces as needed\n"
    "                            (put -- before a VALUE that starts with -)\n"
    "  merge RECORD SOURCE [--prefix P]\n"
    "                            copies every typed item of the record file SOURCE into\n"
    "                            RECORD, under P. when a prefix is given\n";

common::CConfigRecord ReadRecord(const std::string& sPath) {
  std::string sImage = ReadInputFile(sPath);
  return common::CConfigRecord(common::CMultiFieldBlob::eCopyImmediately, sImage.data(),
                               static_cast<uint32_t>(sImage.size()));
}

void WriteRecord(const common::CConfigRecord& record, const std::string& sPath) {
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = record.GetSerializedBlob(&uSize);
  common::CFileUtil::WriteWholeFile(sPath, pImage, uSize);
}

// Takes "--name VALUE" out of args; false when absent.
bool TakeOption(std::vector<std::string>& args, const std::string& sName, std::string& sValue) {
  for (size_t u = 0; u < args.size(); ++u) {
    if (args[u] != sName) continue;
    if (u + 1 >= args.size()) throw CUsageError(sName + " needs a value");
    sValue = args[u + 1];
    args.erase(args.begin() + u, args.begin() + u + 2);
    return true;
  }
  return false;
}

bool TakeFlag(std::vector<std::string>& args, const std::string& sName) {
  for (size_t u = 0; u < args.size(); ++u) {
    if (args[u] != sName) continue;
    args.erase(args.begin() + u);
    return true;
  }
  return false;
}

// What is left after the options were taken must be positional. "--" ends the options, so
// that a value may start with "-"; a negative number is a value anyway.
void RejectOptions(std::vector<std::string>& args) {
  for (size_t u = 0; u < args.size(); ++u) {
    const std::string& sArg = args[u];
    if (sArg == "--") {
      args.erase(args.begin() + u);
      return;
    }
    if (sArg.size() > 1 && sArg[0] == '-' &&
        sArg.find_first_not_of("0123456789", 1) != std::string::npos) {
      throw CUsageError("unknown option " + sArg);
    }
  }
}

// Namespace parts must be non-empty: "a..b" or ".a" name nothing.
void CheckQualifiedName(const std::string& sName) {
  if (sName.empty() || sName[0] == '.' || sName.find("..") != std::string::npos) {
    throw CUsageError("bad item name '" + sName + "'");
  }
}

uint32_t ParseUnsigned(const std::string& sText, uint64_t u64Max) {
  if (sText.empty() || sText.size() > 10 ||
      sText.find_first_not_of("0123456789") != std::string::npos) {
    throw CUsageError("not a number: " + sText);
  }
  uint64_t u64Value = std::stoull(sText);
  if (u64Value > u64Max) throw CUsageError("number out of range: " + sText);
  return static_cast<uint32_t>(u64Value);
}

int32_t ParseSigned(const std::string& sText) {
  bool bNegative = !sText.empty() && sText[0] == '-';
  uint32_t uMagnitude =
      ParseUnsigned(bNegative ? sText.substr(1) : sText, bNegative ? 2147483648u : 2147483647u);
  return bNegative ? static_cast<int32_t>(0u - uMagnitude) : static_cast<int32_t>(uMagnitude);
}

bool ParseBoolean(const std::string& sText) {
  if (sText == "1" || sText == "true") return true;
  if (sText == "0" || sText == "false") return false;
  throw CUsageError("a boolean is true, false, 1 or 0, not " + sText);
}

// The client config record when the image is one (its three version fields present), else
// null: it is a blob of numbered fields, which no configuration record's typed items match.
std::unique_ptr<Weft::CClientConfigRecord> AsClientConfigRecord(const std::string& sImage) {
  try {
    std::unique_ptr<Weft::CClientConfigRecord> pRecord(new Weft::CClientConfigRecord(
        reinterpret_cast<const uint8_t*>(sImage.data()), static_cast<uint32_t>(sImage.size())));
    pRecord->ValidateFields();
    return pRecord;
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::string XmlOfRecordFile(const std::string& sPath) {
  const std::string sImage = ReadInputFile(sPath);
  if (std::unique_ptr<Weft::CClientConfigRecord> pClient = AsClientConfigRecord(sImage)) {
    return CClientRecordXml::Write(*pClient);
  }
  std::ostringstream os;
  common::CConfigRecordXMLWriter::Write(
      common::CConfigRecord(common::CMultiFieldBlob::eCopyImmediately, sImage.data(),
                            static_cast<uint32_t>(sImage.size())),
      os);
  return os.str();
}

int RunToXml(std::vector<std::string> args) {
  RejectOptions(args);
  if (args.empty() || args.size() > 2) throw CUsageError("to-xml needs RECORD and at most OUT");
  const std::string sXml = XmlOfRecordFile(args[0]);
  if (args.size() == 2) {
    // A file gets the exact bytes; a console may turn line ends into its own.
    common::CFileUtil::WriteWholeFile(args[1], sXml.data(), sXml.size());
    return sc_nExitOk;
  }
  std::cout << sXml;
  std::cout.flush();
  if (!std::cout) throw std::runtime_error("Failed to write the XML text");
  return sc_nExitOk;
}

int RunFromXml(std::vector<std::string> args) {
  RejectOptions(args);
  if (args.size() != 2) throw CUsageError("from-xml needs XML and OUT");
  std::string sXml = ReadInputFile(args[0]);
  std::vector<uint8_t> image;
  if (CClientRecordXml::Read(sXml, image)) {
    common::CFileUtil::WriteWholeFile(args[1], image.data(), image.size());
    return sc_nExitOk;
  }
  WriteRecord(common::CConfigRecord(sXml.data(), sXml.size()), args[1]);
  return sc_nExitOk;
}

int RunGet(std::vector<std::string> args) {
  RejectOptions(args);
  if (args.size() != 2) throw CUsageError("get needs RECORD and NAME");
  const std::string& sName = args[1];
  CheckQualifiedName(sName);
  common::CConfigRecord record = ReadRecord(args[0]);
  size_t uLastDot = sName.rfind('.');
  std::string sItemName = sName;
  if (uLastDot != std::string::npos) {
    record = record.GetNamespace(sName.substr(0, uLastDot));
    sItemName = sName.substr(uLastDot + 1);
  }
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pItemImage = record.FindFieldData(sItemName, &uSize);
  if (!pItemImage) throw std::runtime_error("No config item " + sName);
  common::CConfigItemRecord item(common::CMultiFieldBlob::eCopyImmediately, pItemImage, uSize);
  switch (item.GetType()) {
    case common::CConfigItemRecord::eNamespace:
      common::CConfigRecordXMLWriter::Write(record.GetNamespace(sItemName), std::cout);
      break;
    case common::CConfigItemRecord::eBoolean: {
      bool bValue = false;
      item.GetBoolean(&bValue);
      std::cout << (bValue ? "1" : "0") << "\n";
      break;
    }
    case common::CConfigItemRecord::eUnsignedInt32: {
      uint32_t uValue = 0;
      item.GetUnsignedInt32(&uValue);
      std::cout << uValue << "\n";
      break;
    }
    case common::CConfigItemRecord::eSignedInt32: {
      int32_t nValue = 0;
      item.GetSignedInt32(&nValue);
      std::cout << nValue << "\n";
      break;
    }
    case common::CConfigItemRecord::eString: {
      std::string sValue;
      item.GetString(&sValue);
      std::cout << sValue << "\n";
      break;
    }
    default:
      throw std::runtime_error("Config item " + sName + " has no value (type " +
                               std::to_string(item.GetType()) + ")");
  }
  std::cout.flush();
  return sc_nExitOk;
}

int RunSet(std::vector<std::string> args) {
  std::string sType, sDescription;
  if (!TakeOption(args, "--type", sType)) throw CUsageError("set needs --type");
  TakeOption(args, "--description", sDescription);
  bool bActive = !TakeFlag(args, "--inactive");
  RejectOptions(args);
  if (args.size() != 3) throw CUsageError("set needs RECORD, NAME and VALUE");
  const std::string& sRecord = args[0];
  const std::string& sName = args[1];
  const std::string& sValue = args[2];

  common::CConfigRecord record;
  if (common::CFileUtil::FileExists(sRecord)) record = ReadRecord(sRecord);
  if (sType == "boolean") {
    record.SetBoolean(sName, ParseBoolean(sValue), bActive, sDescription);
  } else if (sType == "uint32") {
    record.SetUnsignedInt32(sName, ParseUnsigned(sValue, 0xFFFFFFFFu), bActive, sDescription);
  } else if (sType == "int32") {
    record.SetSignedInt32(sName, ParseSigned(sValue), bActive, sDescription);
  } else if (sType == "string") {
    record.SetString(sName, sValue, bActive, sDescription);
  } else {
    throw CUsageError("--type is boolean, uint32, int32 or string, not " + sType);
  }
  WriteRecord(record, sRecord);
  return sc_nExitOk;
}

int RunMerge(std::vector<std::string> args) {
  std::string sPrefix;
  TakeOption(args, "--prefix", sPrefix);
  RejectOptions(args);
  if (args.size() != 2) throw CUsageError("merge needs RECORD and SOURCE");
  common::CConfigRecord record = ReadRecord(args[0]);
  record.MergeRecord(sPrefix, ReadRecord(args[1]));
  WriteRecord(record, args[0]);
  return sc_nExitOk;
}

int RunConfig(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szConfigUsage, stdout);
    return sc_nExitOk;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  const std::string& sVerb = args[0];
  if (sVerb == "to-xml") return RunToXml(rest);
  if (sVerb == "from-xml") return RunFromXml(rest);
  if (sVerb == "get") return RunGet(rest);
  if (sVerb == "set") return RunSet(rest);
  if (sVerb == "merge") return RunMerge(rest);
  throw CUsageError("unknown command " + sVerb);
}

const CCommandRegistration s_registration(SCommand{
    "config", "show, edit, merge and convert configuration records", sc_szConfigUsage, RunConfig});

}  // namespace
}  // namespace larchtool
