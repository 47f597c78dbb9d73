#include "PeResources.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

#include "support/ByteOrder.h"

namespace larchtool {
namespace {

constexpr uint32_t sc_uResourceDirectoryIndex = 2;
constexpr uint32_t sc_uHighBit = 0x80000000u;
constexpr size_t sc_uDosPeOffsetAt = 0x3C;
constexpr size_t sc_uSectionHeaderSize = 40;
constexpr size_t sc_uDirectoryHeaderSize = 16;
constexpr size_t sc_uDirectoryEntrySize = 8;
constexpr size_t sc_uDataEntrySize = 16;
constexpr uint32_t sc_uCertificateDirectoryIndex = 4;
constexpr uint32_t sc_uResourceSectionFlags = 0x40000040u;  // initialised data, readable
constexpr uint16_t sc_u16Pe32Magic = 0x10B;
constexpr uint16_t sc_u16Pe32PlusMagic = 0x20B;

// Little-endian reads with bounds checks; every offset comes from the file. The image is not
// owned: it must outlive the reader and every copy of it, which holds because readers live only
// inside one call of FindPeResources or RewritePeResources, over that call's image argument.
class CImageReader {
 public:
  CImageReader(const std::vector<uint8_t>* pImage, const std::string& sWhat)
      : m_pImage(pImage), m_sWhat(sWhat) {}

  uint16_t U16(size_t uAt) const {
    Need(uAt, 2);
    return common::LoadLittleEndian16(&(*m_pImage)[uAt]);
  }
  uint32_t U32(size_t uAt) const {
    Need(uAt, 4);
    return common::LoadLittleEndian32(&(*m_pImage)[uAt]);
  }
  void Need(size_t uAt, size_t uSize) const {
    if (uAt > m_pImage->size() || uSize > m_pImage->size() - uAt) {
      Fail("structure beyond the file");
    }
  }
  [[noreturn]] void Fail(const std::string& sReason) const {
    throw std::runtime_error(m_sWhat + ": damaged Windows executable (" + sReason + ")");
  }
  const std::vector<uint8_t>& Image() const { return *m_pImage; }

 private:
  const std::vector<uint8_t>* m_pImage;
  std::string m_sWhat;
};

struct SSection {
  uint32_t uVirtualAddress;
  uint32_t uVirtualSize;
  uint32_t uRawSize;
  uint32_t uRawOffset;
};

struct SSectionHeader {
  size_t uAt;  // of the header in the file
  SSection section;
};

// The headers of an executable image: where they are and what the sections are. Reads the
// image through a CImageReader, so the image must outlive it; a temporary is refused.
class CPeImage {
 public:
  CPeImage(std::vector<uint8_t>&&, const std::string&) = delete;
  CPeImage(const std::vector<uint8_t>& image, const std::string& sWhat) : m_reader(&image, sWhat) {
    if (!IsWindowsExecutable(image)) m_reader.Fail("no PE header");
    m_uCoff = m_reader.U32(sc_uDosPeOffsetAt) + size_t{4};
    uint16_t u16Sections = m_reader.U16(m_uCoff + 2);
    m_uOptionalSize = m_reader.U16(m_uCoff + 16);
    m_uOptional = m_uCoff + 20;
    m_u16Magic = m_reader.U16(m_uOptional);
    size_t uDirCountAt;
    if (m_u16Magic == sc_u16Pe32Magic) {
      uDirCountAt = m_uOptional + 92;
    } else if (m_u16Magic == sc_u16Pe32PlusMagic) {
      uDirCountAt = m_uOptional + 108;
    } else {
      m_reader.Fail("unknown optional header");
    }
    m_uDirCount = m_reader.U32(uDirCountAt);
    if (m_uDirCount > sc_uResourceDirectoryIndex) {
      m_uResourceRva = m_reader.U32(uDirCountAt + 4 + 8 * sc_uResourceDirectoryIndex);
    }
    m_uSectionTable = m_uOptional + m_uOptionalSize;
    for (uint16_t u = 0; u < u16Sections; ++u) {
      size_t uAt = m_uSectionTable + sc_uSectionHeaderSize * u;
      m_sections.push_back({uAt,
                            {m_reader.U32(uAt + 12), m_reader.U32(uAt + 8), m_reader.U32(uAt + 16),
                             m_reader.U32(uAt + 20)}});
    }
  }

  // File offset of an address of the loaded image.
  size_t Offset(uint32_t uRva) const {
    for (const SSectionHeader& header : m_sections) {
      const SSection& section = header.section;
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

  size_t m_uCoff = 0, m_uOptional = 0, m_uOptionalSize = 0, m_uSectionTable = 0;
  uint16_t m_u16Magic = 0;
  uint32_t m_uDirCount = 0;
  std::vector<SSectionHeader> m_sections;

 private:
  CImageReader m_reader;
  uint32_t m_uResourceRva = 0;
};

// A directory entry's name: a text (UTF-16 code units, kept as the file has them) or a number.
struct SResourceKey {
  bool bNamed = false;
  std::u16string sName;
  uint32_t uId = 0;
};

char16_t UpperUnit(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// The loader's order: named entries first, by their upper-case names, then numbers ascending.
bool KeyLess(const SResourceKey& a, const SResourceKey& b) {
  if (a.bNamed != b.bNamed) return a.bNamed;
  if (!a.bNamed) return a.uId < b.uId;
  size_t uCommon = std::min(a.sName.size(), b.sName.size());
  for (size_t u = 0; u < uCommon; ++u) {
    char16_t ca = UpperUnit(a.sName[u]), cb = UpperUnit(b.sName[u]);
    if (ca != cb) return ca < cb;
  }
  return a.sName.size() < b.sName.size();
}

bool KeySame(const SResourceKey& a, const SResourceKey& b) {
  return !KeyLess(a, b) && !KeyLess(b, a);
}

// "#123" is the number 123, as the system's resource functions take it; anything else a name.
SResourceKey KeyOf(const std::string& s) {
  SResourceKey key;
  if (s.size() > 1 && s.size() <= 6 && s[0] == '#' &&
      s.find_first_not_of("0123456789", 1) == std::string::npos) {
    unsigned long ulId = std::stoul(s.substr(1));
    if (ulId <= 0xFFFF) {
      key.uId = static_cast<uint32_t>(ulId);
      return key;
    }
  }
  key.bNamed = true;
  for (char c : s) key.sName += static_cast<char16_t>(static_cast<unsigned char>(c));
  return key;
}

// A directory entry's name as the file holds it.
SResourceKey ReadKey(const CImageReader& reader, size_t uRoot, uint32_t uNameField) {
  SResourceKey key;
  if (!(uNameField & sc_uHighBit)) {
    key.uId = uNameField;
    return key;
  }
  key.bNamed = true;
  size_t uAt = uRoot + (uNameField & ~sc_uHighBit);
  uint16_t u16Length = reader.U16(uAt);
  reader.Need(uAt + 2, 2u * u16Length);
  for (uint16_t u = 0; u < u16Length; ++u) {
    key.sName += static_cast<char16_t>(reader.U16(uAt + 2 + 2u * u));
  }
  return key;
}

// The entries of one directory level: name field and target field.
std::vector<std::pair<uint32_t, uint32_t>> Entries(const CPeImage& pe, size_t uDirectory) {
  const CImageReader& reader = pe.Reader();
  size_t uCount = static_cast<size_t>(reader.U16(uDirectory + 12)) + reader.U16(uDirectory + 14);
  size_t uFirst = uDirectory + sc_uDirectoryHeaderSize;
  reader.Need(uFirst, sc_uDirectoryEntrySize * uCount);
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  for (size_t u = 0; u < uCount; ++u) {
    size_t uAt = uFirst + sc_uDirectoryEntrySize * u;
    entries.emplace_back(reader.U32(uAt), reader.U32(uAt + 4));
  }
  return entries;
}

// The subdirectory of the entry whose name matches; 0 when there is none.
size_t FindSubdirectory(const CPeImage& pe, size_t uRoot, size_t uDirectory,
                        const std::string& sName) {
  SResourceKey wanted = KeyOf(sName);
  for (const auto& entry : Entries(pe, uDirectory)) {
    if (!KeySame(ReadKey(pe.Reader(), uRoot, entry.first), wanted)) continue;
    if (!(entry.second & sc_uHighBit)) pe.Reader().Fail("resource entry is not a directory");
    return uRoot + (entry.second & ~sc_uHighBit);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Rewriting: the whole resource tree is read, changed and laid out afresh.

struct SLeaf {
  uint32_t uCodePage = 0;
  std::vector<uint8_t> data;
};
struct SNameNode {
  SResourceKey key;
  std::map<uint16_t, SLeaf> languages;
};
struct STypeNode {
  SResourceKey key;
  std::vector<SNameNode> names;
};

template <typename TNode>
TNode* FindNode(std::vector<TNode>& nodes, const SResourceKey& key) {
  for (TNode& node : nodes) {
    if (KeySame(node.key, key)) return &node;
  }
  return nullptr;
}

// The tree read from an image. Every directory may be visited once (a damaged file could
// otherwise make its entries point back at each other), and the data copied can never exceed
// the file, so a hostile file costs no more memory than its own size.
class CTreeReader {
 public:
  // pPe is not owned and must outlive the reader (it is used for one Read()).
  explicit CTreeReader(const CPeImage* pPe) : m_pPe(pPe), m_reader(pPe->Reader()) {}

  std::vector<STypeNode> Read() {
    std::vector<STypeNode> types;
    if (m_pPe->ResourceRva() == 0) return types;
    m_uRoot = m_pPe->Offset(m_pPe->ResourceRva());
    for (const auto& typeEntry : Directory(m_uRoot)) {
      STypeNode type{ReadKey(m_reader, m_uRoot, typeEntry.first), {}};
      for (const auto& nameEntry : Directory(Subdirectory(typeEntry.second))) {
        SNameNode name{ReadKey(m_reader, m_uRoot, nameEntry.first), {}};
        for (const auto& languageEntry : Directory(Subdirectory(nameEntry.second))) {
          if (languageEntry.first & sc_uHighBit) m_reader.Fail("language given by name");
          if (languageEntry.second & sc_uHighBit) m_reader.Fail("language entry is a directory");
          name.languages[static_cast<uint16_t>(languageEntry.first)] =
              Leaf(m_uRoot + languageEntry.second);
        }
        type.names.push_back(std::move(name));
      }
      types.push_back(std::move(type));
    }
    return types;
  }

 private:
  std::vector<std::pair<uint32_t, uint32_t>> Directory(size_t uAt) {
    if (!m_visited.insert(uAt).second) m_reader.Fail("resource directory used twice");
    return Entries(*m_pPe, uAt);
  }
  size_t Subdirectory(uint32_t uTarget) const {
    if (!(uTarget & sc_uHighBit)) m_reader.Fail("resource entry is not a directory");
    return m_uRoot + (uTarget & ~sc_uHighBit);
  }
  SLeaf Leaf(size_t uDataEntry) {
    SLeaf leaf;
    uint32_t uDataRva = m_reader.U32(uDataEntry);
    uint32_t uSize = m_reader.U32(uDataEntry + 4);
    leaf.uCodePage = m_reader.U32(uDataEntry + 8);
    if (uSize == 0) return leaf;
    size_t uData = m_pPe->Offset(uDataRva);
    m_reader.Need(uData, uSize);
    m_uCopied += uSize;
    const std::vector<uint8_t>& image = m_reader.Image();
    if (m_uCopied > image.size()) m_reader.Fail("resource data larger than the file");
    leaf.data.assign(image.begin() + uData, image.begin() + uData + uSize);
    return leaf;
  }

  const CPeImage* m_pPe;
  CImageReader m_reader;
  size_t m_uRoot = 0;
  size_t m_uCopied = 0;
  std::set<size_t> m_visited;
};

void ApplyUpdate(std::vector<STypeNode>& types, const SExeResourceUpdate& update) {
  SResourceKey typeKey = KeyOf(update.sType), nameKey = KeyOf(update.sName);
  STypeNode* pType = FindNode(types, typeKey);
  SNameNode* pName = pType ? FindNode(pType->names, nameKey) : nullptr;
  if (update.bDelete) {
    if (!pName) return;
    pName->languages.erase(update.u16Language);
    if (pName->languages.empty()) {
      pType->names.erase(pType->names.begin() + (pName - pType->names.data()));
    }
    if (pType->names.empty()) types.erase(types.begin() + (pType - types.data()));
    return;
  }
  if (!pType) {
    types.push_back(STypeNode{typeKey, {}});
    pType = &types.back();
  }
  if (!pName) {
    pType->names.push_back(SNameNode{nameKey, {}});
    pName = &pType->names.back();
  }
  SLeaf& leaf = pName->languages[update.u16Language];
  leaf.data = update.data;
}

uint64_t AlignUp(uint64_t uValue, uint64_t uAlignment) {
  return (uValue + uAlignment - 1) / uAlignment * uAlignment;
}

void Put16(std::vector<uint8_t>& bytes, size_t uAt, uint32_t uValue) {
  common::StoreLittleEndian16(&bytes[uAt], static_cast<uint16_t>(uValue));
}
void Put32(std::vector<uint8_t>& bytes, size_t uAt, uint32_t uValue) {
  common::StoreLittleEndian32(&bytes[uAt], uValue);
}

// Lays out a resource section for the given address: every directory table first (root, types,
// names), then the directory strings, then the data entries, then the data, each 8-byte aligned.
class CSectionWriter {
 public:
  CSectionWriter(std::vector<STypeNode> types, uint32_t uRva)
      : m_types(std::move(types)), m_uRva(uRva) {
    Sort();
    Layout();
  }
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 private:
  void Sort() {
    auto ByKey = [](const auto& a, const auto& b) { return KeyLess(a.key, b.key); };
    std::sort(m_types.begin(), m_types.end(), ByKey);
    for (STypeNode& type : m_types) std::sort(type.names.begin(), type.names.end(), ByKey);
  }

  static size_t DirectorySize(size_t uEntries) {
    return sc_uDirectoryHeaderSize + sc_uDirectoryEntrySize * uEntries;
  }

  void Layout() {
    // Sizes of each region, so that every offset is known before anything is written.
    size_t uDirectories = DirectorySize(m_types.size()), uStrings = 0, uLeaves = 0, uData = 0;
    auto CountString = [&](const SResourceKey& key) {
      if (key.bNamed) uStrings += 2 + 2 * key.sName.size();
    };
    for (const STypeNode& type : m_types) {
      uDirectories += DirectorySize(type.names.size());
      CountString(type.key);
      for (const SNameNode& name : type.names) {
        uDirectories += DirectorySize(name.languages.size());
        CountString(name.key);
        uLeaves += name.languages.size();
        for (const auto& language : name.languages)
          uData += AlignUp(language.second.data.size(), 8);
      }
    }
    m_uNextDirectory = 0;
    m_uNextString = uDirectories;
    m_uNextLeaf = AlignUp(m_uNextString + uStrings, 8);
    m_uNextData = m_uNextLeaf + sc_uDataEntrySize * uLeaves;
    m_bytes.assign(m_uNextData + uData, 0);

    // Breadth first: the root, then every type's table, then every name's table.
    size_t uRoot = TakeDirectory(m_types.size());
    std::vector<size_t> typeTables;
    for (size_t u = 0; u < m_types.size(); ++u) {
      typeTables.push_back(TakeDirectory(m_types[u].names.size()));
      WriteEntry(uRoot, u, m_types[u].key, static_cast<uint32_t>(typeTables[u]) | sc_uHighBit);
    }
    for (size_t u = 0; u < m_types.size(); ++u) {
      const std::vector<SNameNode>& names = m_types[u].names;
      for (size_t v = 0; v < names.size(); ++v) {
        size_t uTable = TakeDirectory(names[v].languages.size());
        WriteEntry(typeTables[u], v, names[v].key, static_cast<uint32_t>(uTable) | sc_uHighBit);
        size_t w = 0;
        for (const auto& language : names[v].languages) {
          SResourceKey languageKey;
          languageKey.uId = language.first;
          WriteEntry(uTable, w++, languageKey, static_cast<uint32_t>(WriteLeaf(language.second)));
        }
      }
    }
  }

  // A directory table's header; its entries are written one by one after it.
  size_t TakeDirectory(size_t uEntries) {
    size_t uAt = m_uNextDirectory;
    m_uNextDirectory += DirectorySize(uEntries);
    return uAt;
  }

  void WriteEntry(size_t uTable, size_t uIndex, const SResourceKey& key, uint32_t uTarget) {
    // The header counts named and numbered entries; entries come sorted, named first.
    if (key.bNamed) {
      Put16(m_bytes, uTable + 12, ReadCount(uTable + 12) + 1);
    } else {
      Put16(m_bytes, uTable + 14, ReadCount(uTable + 14) + 1);
    }
    size_t uEntry = uTable + sc_uDirectoryHeaderSize + sc_uDirectoryEntrySize * uIndex;
    Put32(m_bytes, uEntry,
          key.bNamed ? static_cast<uint32_t>(WriteString(key.sName)) | sc_uHighBit : key.uId);
    Put32(m_bytes, uEntry + 4, uTarget);
  }

  uint32_t ReadCount(size_t uAt) const { return common::LoadLittleEndian16(&m_bytes[uAt]); }

  size_t WriteString(const std::u16string& sName) {
    size_t uAt = m_uNextString;
    Put16(m_bytes, uAt, static_cast<uint32_t>(sName.size()));
    for (size_t u = 0; u < sName.size(); ++u) Put16(m_bytes, uAt + 2 + 2 * u, sName[u]);
    m_uNextString += 2 + 2 * sName.size();
    return uAt;
  }

  size_t WriteLeaf(const SLeaf& leaf) {
    size_t uAt = m_uNextLeaf;
    m_uNextLeaf += sc_uDataEntrySize;
    // Empty data still gets an address inside the section (the end of it would lie outside).
    size_t uData = leaf.data.empty() ? 0 : m_uNextData;
    Put32(m_bytes, uAt, static_cast<uint32_t>(m_uRva + uData));
    Put32(m_bytes, uAt + 4, static_cast<uint32_t>(leaf.data.size()));
    Put32(m_bytes, uAt + 8, leaf.uCodePage);
    if (!leaf.data.empty()) std::memcpy(&m_bytes[m_uNextData], leaf.data.data(), leaf.data.size());
    m_uNextData += AlignUp(leaf.data.size(), 8);
    return uAt;
  }

  std::vector<STypeNode> m_types;
  uint32_t m_uRva;
  std::vector<uint8_t> m_bytes;
  size_t m_uNextDirectory = 0, m_uNextString = 0, m_uNextLeaf = 0, m_uNextData = 0;
};

// The header fields the rewrite reads and changes, checked against the file.
class CPeLayout {
 public:
  CPeLayout(const CPeImage& pe, const std::string& sWhat)
      : m_reader(pe.Reader()),
        m_sWhat(sWhat),
        m_uCoff(pe.m_uCoff),
        m_uOptional(pe.m_uOptional),
        m_uSectionTable(pe.m_uSectionTable),
        m_sections(pe.m_sections) {
    const CImageReader& reader = m_reader;
    size_t uOptionalSize = pe.m_uOptionalSize;
    if (pe.m_u16Magic == sc_u16Pe32PlusMagic) {
      Refuse("64-bit (PE32+) executables are not supported");
    }
    m_uSectionAlignment = reader.U32(m_uOptional + 32);
    m_uFileAlignment = reader.U32(m_uOptional + 36);
    if (!PowerOfTwo(m_uFileAlignment) || m_uFileAlignment > 0x10000u ||
        !PowerOfTwo(m_uSectionAlignment) || m_uSectionAlignment > 0x100000u) {
      Refuse("unusual section or file alignment");
    }
    m_uSizeOfHeaders = reader.U32(m_uOptional + 60);
    uint32_t uDirCount = pe.m_uDirCount;
    if (uDirCount <= sc_uResourceDirectoryIndex ||
        uOptionalSize < 96 + 8 * (size_t{sc_uResourceDirectoryIndex} + 1)) {
      Refuse("no resource directory in the optional header");
    }
    if (uDirCount > sc_uCertificateDirectoryIndex &&
        uOptionalSize >= 96 + 8 * (size_t{sc_uCertificateDirectoryIndex} + 1) &&
        reader.U32(DirectoryAt(sc_uCertificateDirectoryIndex) + 4) != 0) {
      Refuse("it is signed, and its signature would no longer match");
    }
    reader.Need(m_uSectionTable, sc_uSectionHeaderSize * m_sections.size());
  }

  [[noreturn]] void Refuse(const std::string& sReason) const {
    throw std::runtime_error(m_sWhat + ": cannot rewrite its resources (" + sReason + ")");
  }
  static bool PowerOfTwo(uint32_t u) { return u != 0 && (u & (u - 1)) == 0; }
  size_t DirectoryAt(uint32_t uIndex) const { return m_uOptional + 96 + 8 * size_t{uIndex}; }

  CImageReader m_reader;
  std::string m_sWhat;
  size_t m_uCoff = 0, m_uOptional = 0, m_uSectionTable = 0;
  uint32_t m_uSectionAlignment = 0, m_uFileAlignment = 0, m_uSizeOfHeaders = 0;
  std::vector<SSectionHeader> m_sections;
};

// The optional header's checksum: 16-bit words added with carry, then the file's length.
uint32_t PeChecksum(const std::vector<uint8_t>& bytes, size_t uChecksumAt) {
  uint64_t u64Sum = 0;
  for (size_t u = 0; u + 1 < bytes.size(); u += 2) {
    if (u == uChecksumAt || u == uChecksumAt + 2) continue;
    u64Sum += common::LoadLittleEndian16(&bytes[u]);
    u64Sum = (u64Sum & 0xFFFF) + (u64Sum >> 16);
  }
  if (bytes.size() % 2) u64Sum += bytes.back();
  u64Sum = (u64Sum & 0xFFFF) + (u64Sum >> 16);
  u64Sum = (u64Sum & 0xFFFF) + (u64Sum >> 16);
  return static_cast<uint32_t>(u64Sum + bytes.size());
}

// Where the new resource section goes: over the old one when it ends both the image and the
// file's section data, otherwise as a new last section (the old one stays as unused bytes).
struct SPlacement {
  size_t uHeaderAt;
  bool bNewSection;
  uint32_t uRva;
  size_t uRawOffset;
  uint32_t uOldRawSize;  // of the section replaced
};

SPlacement Place(const CPeLayout& layout, uint32_t uResourceRva, size_t uRawEnd) {
  const std::vector<SSectionHeader>& sections = layout.m_sections;
  // The headers are mapped at address 0: a new section never starts there.
  uint64_t u64VirtualEnd =
      AlignUp(std::max<uint32_t>(layout.m_uSizeOfHeaders, 1), layout.m_uSectionAlignment);
  size_t uLast = sections.size(), uFirstRaw = layout.m_uSizeOfHeaders;
  for (size_t u = 0; u < sections.size(); ++u) {
    const SSection& s = sections[u].section;
    uint64_t u64End =
        uint64_t{s.uVirtualAddress} +
        AlignUp(s.uVirtualSize ? s.uVirtualSize : s.uRawSize, layout.m_uSectionAlignment);
    if (u64End >= u64VirtualEnd) {
      u64VirtualEnd = u64End;
      uLast = u;
    }
    if (s.uRawSize && s.uRawOffset < uFirstRaw) uFirstRaw = s.uRawOffset;
  }
  if (uLast < sections.size() && uResourceRva != 0) {
    const SSection& s = sections[uLast].section;
    if (s.uVirtualAddress == uResourceRva && s.uRawSize != 0 &&
        size_t{s.uRawOffset} + s.uRawSize == uRawEnd) {
      return {sections[uLast].uAt, false, s.uVirtualAddress, s.uRawOffset, s.uRawSize};
    }
  }
  size_t uHeaderAt = layout.m_uSectionTable + sc_uSectionHeaderSize * sections.size();
  size_t uHeaderEnd = uHeaderAt + sc_uSectionHeaderSize;
  if (uHeaderEnd > layout.m_uSizeOfHeaders || uHeaderEnd > uFirstRaw || sections.size() >= 0xFFFF) {
    layout.Refuse("no room for another section header");
  }
  layout.m_reader.Need(uHeaderAt, sc_uSectionHeaderSize);
  const std::vector<uint8_t>& image = layout.m_reader.Image();
  for (size_t u = uHeaderAt; u < uHeaderEnd; ++u) {
    if (image[u] != 0) layout.Refuse("no room for another section header");
  }
  uint64_t u64Rva = AlignUp(u64VirtualEnd, layout.m_uSectionAlignment);
  if (u64Rva > 0x7FFFFFFFu) layout.Refuse("image too large");
  return {uHeaderAt, true, static_cast<uint32_t>(u64Rva),
          static_cast<size_t>(AlignUp(uRawEnd, layout.m_uFileAlignment)), 0};
}

}  // namespace

bool IsWindowsExecutable(const std::vector<uint8_t>& image) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return false;
  size_t uPe = common::LoadLittleEndian32(&image[sc_uDosPeOffsetAt]);
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

std::vector<uint8_t> RewritePeResources(const std::vector<uint8_t>& image,
                                        const std::vector<SExeResourceUpdate>& updates,
                                        const std::string& sWhat) {
  CPeImage pe(image, sWhat);
  CPeLayout layout(pe, sWhat);
  std::vector<STypeNode> types = CTreeReader(&pe).Read();
  for (const SExeResourceUpdate& update : updates) ApplyUpdate(types, update);

  size_t uRawEnd = layout.m_uSizeOfHeaders;
  for (const SSectionHeader& header : layout.m_sections) {
    if (header.section.uRawSize == 0) continue;
    size_t uEnd = size_t{header.section.uRawOffset} + header.section.uRawSize;
    if (uEnd < header.section.uRawOffset) pe.Reader().Fail("section beyond the file");
    uRawEnd = std::max(uRawEnd, uEnd);
  }
  if (uRawEnd > image.size()) pe.Reader().Fail("section beyond the file");
  SPlacement place = Place(layout, pe.ResourceRva(), uRawEnd);
  // Every header field changed below lies before the section data that is kept.
  size_t uTableEnd =
      std::max(place.uHeaderAt + sc_uSectionHeaderSize,
               layout.m_uSectionTable + sc_uSectionHeaderSize * layout.m_sections.size());
  if (uTableEnd > place.uRawOffset) pe.Reader().Fail("section data over the headers");

  std::vector<uint8_t> section = CSectionWriter(std::move(types), place.uRva).Bytes();
  uint32_t uSectionSize = static_cast<uint32_t>(section.size());
  uint64_t u64RawSize = AlignUp(section.size(), layout.m_uFileAlignment);
  uint64_t u64ImageEnd = AlignUp(uint64_t{place.uRva} + uSectionSize, layout.m_uSectionAlignment);
  if (u64ImageEnd > 0x7FFFFFFFu || u64RawSize > 0x7FFFFFFFu) layout.Refuse("image too large");
  uint32_t uRawSize = static_cast<uint32_t>(u64RawSize);

  // Headers and sections before the new section, the section, then whatever followed the
  // sections' data (symbols, appended data), which moves with it.
  std::vector<uint8_t> out(image.begin(), image.begin() + std::min(place.uRawOffset, uRawEnd));
  out.resize(place.uRawOffset, 0);
  section.resize(uRawSize, 0);
  out.insert(out.end(), section.begin(), section.end());
  int64_t i64Shift = static_cast<int64_t>(out.size()) - static_cast<int64_t>(uRawEnd);
  out.insert(out.end(), image.begin() + uRawEnd, image.end());

  size_t uHeader = place.uHeaderAt;
  if (place.bNewSection) {
    static const uint8_t sc_au8Name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
    std::memcpy(&out[uHeader], sc_au8Name, sizeof(sc_au8Name));
    Put32(out, uHeader + 36, sc_uResourceSectionFlags);
    Put16(out, layout.m_uCoff + 2, static_cast<uint32_t>(layout.m_sections.size() + 1));
  }
  Put32(out, uHeader + 8, uSectionSize);
  Put32(out, uHeader + 12, place.uRva);
  Put32(out, uHeader + 16, uRawSize);
  Put32(out, uHeader + 20, static_cast<uint32_t>(place.uRawOffset));

  const CImageReader& reader = pe.Reader();
  size_t uOptional = layout.m_uOptional;
  uint32_t uInitialised = reader.U32(uOptional + 8) - place.uOldRawSize + uRawSize;
  Put32(out, uOptional + 8, uInitialised);
  Put32(out, uOptional + 56, static_cast<uint32_t>(u64ImageEnd));
  Put32(out, layout.DirectoryAt(sc_uResourceDirectoryIndex), place.uRva);
  Put32(out, layout.DirectoryAt(sc_uResourceDirectoryIndex) + 4, uSectionSize);
  // The symbol table, when there is one, lies among the data that moved.
  uint32_t uSymbols = reader.U32(layout.m_uCoff + 8);
  if (uSymbols != 0 && uSymbols >= uRawEnd) {
    Put32(out, layout.m_uCoff + 8, static_cast<uint32_t>(uSymbols + i64Shift));
  }
  if (reader.U32(uOptional + 64) != 0) Put32(out, uOptional + 64, PeChecksum(out, uOptional + 64));
  return out;
}

}  // namespace larchtool
