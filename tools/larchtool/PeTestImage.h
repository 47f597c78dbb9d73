// Small Windows executables built in the tests of the resource rewriter and of `larchtool
// brand`, laid out as a linker lays them out.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace larchtool {

// Offsets of a minimal PE32 image: DOS header, "PE\0\0" at 0x40, the file header, a 224-byte
// optional header with 16 directories, then the section table.
constexpr size_t sc_uCoff = 0x44;
constexpr size_t sc_uOptional = sc_uCoff + 20;
constexpr size_t sc_uSectionTable = sc_uOptional + 224;
constexpr size_t sc_uFileAlignment = 0x200;
constexpr uint32_t sc_uSectionAlignment = 0x1000;

inline void Set16(std::vector<uint8_t>& b, size_t uAt, uint32_t u) {
  b[uAt] = static_cast<uint8_t>(u);
  b[uAt + 1] = static_cast<uint8_t>(u >> 8);
}
inline void Set32(std::vector<uint8_t>& b, size_t uAt, uint32_t u) {
  Set16(b, uAt, u & 0xFFFF);
  Set16(b, uAt + 2, u >> 16);
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t uAt) {
  return b[uAt] | (b[uAt + 1] << 8) | (b[uAt + 2] << 16) |
         (static_cast<uint32_t>(b[uAt + 3]) << 24);
}
inline uint16_t Get16(const std::vector<uint8_t>& b, size_t uAt) {
  return static_cast<uint16_t>(b[uAt] | (b[uAt + 1] << 8));
}

// Appends a section of raw bytes as the image's last one, the way a linker lays it out.
inline void AddSection(std::vector<uint8_t>& image, const char* pszName,
                       const std::vector<uint8_t>& data) {
  uint16_t u16Count = Get16(image, sc_uCoff + 2);
  uint32_t uRva = Get32(image, sc_uOptional + 56);
  size_t uRaw = image.size();
  size_t uHeader = sc_uSectionTable + 40 * u16Count;
  std::memcpy(&image[uHeader], pszName, std::strlen(pszName));
  Set32(image, uHeader + 8, static_cast<uint32_t>(data.size()));
  Set32(image, uHeader + 12, uRva);
  size_t uRawSize = (data.size() + sc_uFileAlignment - 1) / sc_uFileAlignment * sc_uFileAlignment;
  Set32(image, uHeader + 16, static_cast<uint32_t>(uRawSize));
  Set32(image, uHeader + 20, static_cast<uint32_t>(uRaw));
  Set32(image, uHeader + 36, 0x40000040u);
  Set16(image, sc_uCoff + 2, u16Count + 1);
  Set32(image, sc_uOptional + 56,
        uRva + static_cast<uint32_t>((data.size() + sc_uSectionAlignment - 1) /
                                     sc_uSectionAlignment * sc_uSectionAlignment));
  image.insert(image.end(), data.begin(), data.end());
  image.resize(uRaw + uRawSize, 0);
}

// An executable with one code section and no resources.
inline std::vector<uint8_t> SmallImage() {
  std::vector<uint8_t> image(sc_uFileAlignment, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Set32(image, 0x3C, 0x40);
  std::memcpy(&image[0x40], "PE\0\0", 4);
  Set16(image, sc_uCoff, 0x14C);
  Set16(image, sc_uCoff + 16, 224);
  Set16(image, sc_uCoff + 18, 0x0102);
  Set16(image, sc_uOptional, 0x10B);
  Set32(image, sc_uOptional + 16, 0x1000);  // entry point
  Set32(image, sc_uOptional + 28, 0x400000);
  Set32(image, sc_uOptional + 32, sc_uSectionAlignment);
  Set32(image, sc_uOptional + 36, sc_uFileAlignment);
  Set32(image, sc_uOptional + 56, 0x1000);  // grows with every section
  Set32(image, sc_uOptional + 60, sc_uFileAlignment);
  Set16(image, sc_uOptional + 68, 2);  // GUI
  Set32(image, sc_uOptional + 92, 16);
  std::vector<uint8_t> code(0x180);
  for (size_t u = 0; u < code.size(); ++u) code[u] = static_cast<uint8_t>(u * 7);
  AddSection(image, ".text", code);
  return image;
}

}  // namespace larchtool
