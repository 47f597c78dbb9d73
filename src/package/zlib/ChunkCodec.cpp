// The chunk codec on zlib's one-call compressor and decompressor.
#include "package/ChunkCodec.h"

#include <zlib.h>

namespace common {

CChunkCompressor::CChunkCompressor(int nLevel) : m_nLevel(nLevel) {}
CChunkCompressor::~CChunkCompressor() = default;

int CChunkCompressor::Compress(const uint8_t* pIn, uint32_t uInLen, uint8_t* pOut,
                               uint32_t uOutCapacity, uint32_t& uOutLen) {
  uLongf uLen = uOutCapacity;
  int nResult = ::compress2(pOut, &uLen, pIn, uInLen, m_nLevel);
  uOutLen = nResult == Z_OK ? static_cast<uint32_t>(uLen) : 0;
  return nResult;
}

CChunkDecompressor::CChunkDecompressor() = default;
CChunkDecompressor::~CChunkDecompressor() = default;

int CChunkDecompressor::Uncompress(const uint8_t* pIn, uint32_t uInLen, uint8_t* pOut,
                                   uint32_t uOutCapacity, uint32_t& uOutLen) {
  uLongf uLen = uOutCapacity;
  int nResult = ::uncompress(pOut, &uLen, pIn, uInLen);
  uOutLen = nResult == Z_OK ? static_cast<uint32_t>(uLen) : 0;
  return nResult;
}

const char* ChunkCodecName() {
  return "zlib";
}

}  // namespace common
