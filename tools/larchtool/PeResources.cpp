#include "PeResources.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

namespace larchtool {
namespace {

constexpr uint32_t sc_uResourceDirectoryIndex = 2;
constexpr uint32_t sc_uHighBit = 0x80000000u;

// Little-endian reads with bounds checks; every offset comes from the file.
class CImageReader {
 public:
  CImageReader(const std::vector<uint8_t>& image, const std::string& sWhat)
      : m_image(image), m_sWhat(sWhat) {}

  uint16_t U16(size_t uAt) const {
    Need(uAt, 2);
    return static_cast<uint16_t>(m_image[uAt] | (m_image[uAt + 1] << 8));
  }
  uint32_t U32(size_t uAt) const {
    Need(uAt, 4);
    return static_cast<uint32_t>(m_image[uAt]) | (static_cast<uint32_t>(m_image[uAt + 1]) << 8) |
           (static_cast<uint32_t>(m_image[uAt + 2]) << 16) |
           (static_cast<uint32_t>(m_image[uAt + 3]) << 24);
  }
  void Need(size_t uAt, size_t uSize) const {
    if (uAt > m_image.size() || uSize > m_image.size() - uAt) Fail("structure beyond the file");
  }
  [[noreturn]] void Fail(const std::string& sReason) const {
    throw std::runtime_error(m_sWhat + ": damaged Windows executable (" + sReason + ")");
  }
  const std::vector<uint8_t>& Image() const { return m_image; }

 private:
  const std::vector<uint8_t>& m_image;
  const std::string& m_sWhat;
};

struct SSection {
  uint32_t uVirtualAddress;
  uint32_t uVirtualSize;
  uint32_t uRawSize;
  uint32_t uRawOffset;
};

class CPeImage {
 public:
  CPeImage(const std::vector<uint8_t>& image, const std::string& sWhat) : m_reader(image, sWhat) {
    if (!IsWindowsExecutable(image)) m_reader.Fail("no PE header");
    size_t uPe = m_reader.U32(0x3C);
    size_t uCoff = uPe + 4;
    uint16_t u16Sections = m_reader.U16(uCoff + 2);
    uint16_t u16OptionalSize = m_reader.U16(uCoff + 16);
    size_t uOptional = uCoff + 20;
    uint16_t u16Magic = m_reader.U16(uOptional);
    size_t uDirCountAt;
    if (u16Magic == 0x10B) {
      uDirCountAt = uOptional + 92;
    } else if (u16Magic == 0x20B) {
      uDirCountAt = uOptional + 108;
    } else {
      m_reader.Fail("unknown optional header");
    }
    uint32_t uDirCount = m_reader.U32(uDirCountAt);
    if (uDirCount > sc_uResourceDirectoryIndex) {
      m_uResourceRva = m_reader.U32(uDirCountAt + 4 + 8 * sc_uResourceDirectoryIndex);
    }
    size_t uSectionTable = uOptional + u16OptionalSize;
    for (uint16_t u = 0; u < u16Sections; ++u) {
      size_t uAt = uSectionTable + 40u * u;
      m_sections.push_back({m_reader.U32(uAt + 12), m_reader.U32(uAt + 8), m_reader.U32(uAt + 16),
                            m_reader.U32(uAt + 20)});
    }
  }

  // File offset of an address of the loaded image.
  size_t Offset(uint32_t uRva) const {
    for (const SSection& section : m_sections) {
      uint32_t uSpan = section.uVirtualSize ? section.uVirtualSize : section.uRawSize;
      if (uRva >= section.uVirtualAddress && uRva - section.uVirtualAddress < uSpan) {
        uint32_t uInside = uRva - section.uVirtualAddress;
        if (uInside >= section.uRawSize) m_reader.Fail("resource outside the file's data");
        return static_cast<size_t>(section.uRawOffset) + uInside;
      }
    }
    m_reader.Fail("address outside every section");
  }

  uint32_t ResourceRva() const { return m_uResourceRva; }
  const CImageReader& Reader() const { return m_reader; }

 private:
  CImageReader m_reader;
  std::vector<SSection> m_sections;
  uint32_t m_uResourceRva = 0;
};

std::string Upper(const std::string& s) {
  std::string sUpper = s;
  for (char& c : sUpper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return sUpper;
}

// A directory entry's name as narrow text (names of our resources are ASCII), or "#id".
std::string EntryName(const CPeImage& pe, size_t uRoot, uint32_t uNameField) {
  if (!(uNameField & sc_uHighBit)) return "#" + std::to_string(uNameField);
  const CImageReader& reader = pe.Reader();
  size_t uAt = uRoot + (uNameField & ~sc_uHighBit);
  uint16_t u16Length = reader.U16(uAt);
  reader.Need(uAt + 2, 2u * u16Length);
  std::string sName;
  for (uint16_t u = 0; u < u16Length; ++u) {
    uint16_t u16Char = reader.U16(uAt + 2 + 2u * u);
    sName += u16Char < 0x80 ? static_cast<char>(u16Char) : '?';
  }
  return sName;
}

// The entries of one directory level: name field and target field.
std::vector<std::pair<uint32_t, uint32_t>> Entries(const CPeImage& pe, size_t uDirectory) {
  const CImageReader& reader = pe.Reader();
  size_t uCount = static_cast<size_t>(reader.U16(uDirectory + 12)) + reader.U16(uDirectory + 14);
  reader.Need(uDirectory + 16, 8 * uCount);
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  for (size_t u = 0; u < uCount; ++u) {
    size_t uAt = uDirectory + 16 + 8 * u;
    entries.emplace_back(reader.U32(uAt), reader.U32(uAt + 4));
  }
  return entries;
}

// The subdirectory of the entry whose name matches; 0 when there is none.
size_t FindSubdirectory(const CPeImage& pe, size_t uRoot, size_t uDirectory,
                        const std::string& sName) {
  for (const auto& entry : Entries(pe, uDirectory)) {
    if (Upper(EntryName(pe, uRoot, entry.first)) != Upper(sName)) continue;
    if (!(entry.second & sc_uHighBit)) pe.Reader().Fail("resource entry is not a directory");
    return uRoot + (entry.second & ~sc_uHighBit);
  }
  return 0;
}

}  // namespace

bool IsWindowsExecutable(const std::vector<uint8_t>& image) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return false;
  size_t uPe = static_cast<size_t>(image[0x3C]) | (static_cast<size_t>(image[0x3D]) << 8) |
               (static_cast<size_t>(image[0x3E]) << 16) | (static_cast<size_t>(image[0x3F]) << 24);
  return uPe <= image.size() - 4 && std::memcmp(&image[uPe], "PE\0\0", 4) == 0;
}

std::vector<SPeResource> FindPeResources(const std::vector<uint8_t>& image,
                                         const std::string& sType, const std::string& sName,
                                         const std::string& sWhat) {
  CPeImage pe(image, sWhat);
  std::vector<SPeResource> found;
  if (pe.ResourceRva() == 0) return found;
  size_t uRoot = pe.Offset(pe.ResourceRva());
  size_t uTypeDir = FindSubdirectory(pe, uRoot, uRoot, sType);
  if (!uTypeDir) return found;
  size_t uNameDir = FindSubdirectory(pe, uRoot, uTypeDir, sName);
  if (!uNameDir) return found;
  const CImageReader& reader = pe.Reader();
  for (const auto& entry : Entries(pe, uNameDir)) {
    if (entry.first & sc_uHighBit) reader.Fail("language given by name");
    if (entry.second & sc_uHighBit) reader.Fail("language entry is a directory");
    size_t uDataEntry = uRoot + entry.second;
    uint32_t uDataRva = reader.U32(uDataEntry);
    uint32_t uSize = reader.U32(uDataEntry + 4);
    size_t uData = pe.Offset(uDataRva);
    reader.Need(uData, uSize);
    SPeResource resource;
    resource.u16Language = static_cast<uint16_t>(entry.first);
    resource.sData.assign(reinterpret_cast<const char*>(&image[uData]), uSize);
    found.push_back(resource);
  }
  return found;
}

}  // namespace larchtool
