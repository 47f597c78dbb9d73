// larchtool blob: prints a blob file as a tree, and checks that a file is a valid blob image.
#include <cctype>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Command.h"
#include "InputFile.h"
#include "blob/MultiFieldBlob.h"
#include "support/ByteOrder.h"

namespace larchtool {
namespace {

using common::CMultiFieldBlob;

const char sc_szBlobUsage[] =
    "usage: larchtool blob dump FILE [--key HEX]\n"
    "       larchtool blob check FILE [--key HEX]\n"
    "\n"
    "  dump   prints the blob as an indented tree: names as text when printable, else hex,\n"
    "         4-byte names also as their number (#1); data as a nested blob when it loads as\n"
    "         one, as a string when it is printable text ending in NUL, else as hex (long data\n"
    "         shortened, with its length); nesting deeper than 64 levels is refused\n"
    "  check  exits 0 when FILE is a valid blob image; otherwise prints the refusal and\n"
    "         exits 1\n"
    "\n"
    "  --key HEX  the 16-byte key of an encrypted blob, as 32 hexadecimal digits\n";

constexpr size_t sc_uMaxHexShown = 32;

struct SBlobArgs {
  std::string sFile;
  bool bKey = false;
  uint8_t au8Key[16] = {};
};

SBlobArgs ParseArgs(const std::vector<std::string>& args) {
  SBlobArgs parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--key") {
      if (++i >= args.size()) throw CUsageError("--key needs a value");
      const std::string& sHex = args[i];
      if (sHex.size() != 32) throw CUsageError("--key needs 32 hexadecimal digits");
      for (size_t j = 0; j < 16; ++j) {
        std::string sByte = sHex.substr(2 * j, 2);
        if (!std::isxdigit(static_cast<unsigned char>(sByte[0])) ||
            !std::isxdigit(static_cast<unsigned char>(sByte[1]))) {
          throw CUsageError("--key needs 32 hexadecimal digits");
        }
        parsed.au8Key[j] = static_cast<uint8_t>(std::stoul(sByte, nullptr, 16));
      }
      parsed.bKey = true;
    } else if (parsed.sFile.empty() && args[i].compare(0, 2, "--") != 0) {
      parsed.sFile = args[i];
    } else {
      throw CUsageError("unexpected argument " + args[i]);
    }
  }
  if (parsed.sFile.empty()) throw CUsageError("missing FILE");
  return parsed;
}

bool IsPrintable(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] < 0x20 || p[i] > 0x7e) return false;
  }
  return true;
}

std::string Hex(const uint8_t* p, size_t n, bool bWithLength = true) {
  static const char sc_szDigits[] = "0123456789abcdef";
  std::string s;
  size_t uShown = n > sc_uMaxHexShown ? sc_uMaxHexShown : n;
  for (size_t i = 0; i < uShown; ++i) {
    if (i) s += ' ';
    s += sc_szDigits[p[i] >> 4];
    s += sc_szDigits[p[i] & 15];
  }
  if (uShown < n) s += " ...";
  return bWithLength ? s + " (" + std::to_string(n) + " bytes)" : s;
}

std::string Quoted(const uint8_t* p, size_t n) {
  return "\"" + std::string(reinterpret_cast<const char*>(p), n) + "\"";
}

std::string DescribeName(const std::string& sName) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(sName.data());
  std::string s =
      IsPrintable(p, sName.size()) ? Quoted(p, sName.size()) : Hex(p, sName.size(), false);
  if (sName.size() == 4) {
    s += " #" + std::to_string(common::LoadLittleEndian32(p));
  }
  return s;
}

std::string DescribeBlob(const CMultiFieldBlob& blob) {
  std::string s = "blob, ";
  switch (blob.GetAutoPreprocessCode()) {
    case CMultiFieldBlob::eZLibCompressed:
      s += "compressed (level " + std::to_string(blob.GetAutoZLibCompressionLevel()) + "), ";
      break;
    case CMultiFieldBlob::eAES128:
      s += "encrypted, ";
      break;
    default:
      break;
  }
  return s + std::to_string(blob.GetNumFields()) + " fields, size " +
         std::to_string(blob.GetSizeOfSerializedBlob()) + ", spare " +
         std::to_string(blob.GetSizeOfSpareCapacity());
}

void DumpFields(CMultiFieldBlob& blob, const SBlobArgs& args, int nDepth) {
  std::string sIndent(2 * nDepth, ' ');
  for (auto it = blob.begin(); it != blob.end(); ++it) {
    std::string sLine = sIndent + DescribeName(it.GetFieldName()) + " = ";
    CMultiFieldBlob::SizeOfFieldData_t uSize = it.GetSizeOfFieldData();
    std::unique_ptr<CMultiFieldBlob> pChild;
    if (uSize >= CMultiFieldBlob::sc_uSizeOfBlobHeader) {
      try {
        pChild.reset(new CMultiFieldBlob(&blob, it, 0, args.bKey ? args.au8Key : nullptr));
      } catch (const CMultiFieldBlob::CNestingTooDeepException&) {
        throw;  // nested blobs deeper than the blob allows: the file is refused
      } catch (const std::exception&) {
        // Not a blob: shown as text or bytes.
      }
    }
    if (pChild) {
      std::printf("%s%s\n", sLine.c_str(), DescribeBlob(*pChild).c_str());
      DumpFields(*pChild, args, nDepth + 1);
      pChild->DetachFromParent();
      continue;
    }
    const uint8_t* p = it.GetFieldData(&uSize);
    bool bText = uSize >= 1 && p[uSize - 1] == 0 && IsPrintable(p, uSize - 1);
    sLine += bText ? Quoted(p, uSize - 1) : Hex(p, uSize);
    std::printf("%s\n", sLine.c_str());
  }
}

int RunBlob(const std::vector<std::string>& args) {
  if (args.empty()) throw CUsageError("missing command");
  const std::string& sVerb = args[0];
  if (sVerb != "dump" && sVerb != "check") throw CUsageError("unknown command " + sVerb);
  SBlobArgs parsed = ParseArgs(std::vector<std::string>(args.begin() + 1, args.end()));
  std::vector<uint8_t> bytes = ReadInputBytes(parsed.sFile);
  // Refusals propagate: main prints their text and exits 1.
  static const uint8_t sc_u8Nothing = 0;  // an empty file is refused for its length
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyOnWrite, bytes.empty() ? &sc_u8Nothing : bytes.data(),
                       static_cast<uint32_t>(bytes.size()), 0, 0,
                       parsed.bKey ? parsed.au8Key : nullptr);
  if (sVerb == "check") {
    std::printf("%s: valid blob image, %zu fields\n", parsed.sFile.c_str(), blob.GetNumFields());
    return sc_nExitOk;
  }
  std::printf("%s: %s\n", parsed.sFile.c_str(), DescribeBlob(blob).c_str());
  DumpFields(blob, parsed, 1);
  return sc_nExitOk;
}

const CCommandRegistration s_registration(SCommand{"blob", "print and check blob files",
                                                   sc_szBlobUsage, RunBlob});

}  // namespace
}  // namespace larchtool
