// The chunk codec on libdeflate: whole-buffer zlib-format streams, made for independent chunks
// of this size and faster than zlib at every level. Its results are mapped onto zlib's codes.
#include "package/ChunkCodec.h"

#include <libdeflate.h>

#include <new>

namespace common {

static libdeflate_compressor* Compressor(void* p) {
  return static_cast<libdeflate_compressor*>(p);
}
static libdeflate_decompressor* Decompressor(void* p) {
  return static_cast<libdeflate_decompressor*>(p);
}

CChunkCompressor::CChunkCompressor(int nLevel) : m_nLevel(nLevel) {
  m_pState = ::libdeflate_alloc_compressor(nLevel);
  if (!m_pState) throw std::bad_alloc();
}

CChunkCompressor::~CChunkCompressor() {
  ::libdeflate_free_compressor(Compressor(m_pState));
}

int CChunkCompressor::Compress(const uint8_t* pIn, uint32_t uInLen, uint8_t* pOut,
                               uint32_t uOutCapacity, uint32_t& uOutLen) {
  size_t uLen = ::libdeflate_zlib_compress(Compressor(m_pState), pIn, uInLen, pOut, uOutCapacity);
  uOutLen = static_cast<uint32_t>(uLen);
  return uLen == 0 ? sc_nCodecBufferError : sc_nCodecOk;
}

CChunkDecompressor::CChunkDecompressor() {
  m_pState = ::libdeflate_alloc_decompressor();
  if (!m_pState) throw std::bad_alloc();
}

CChunkDecompressor::~CChunkDecompressor() {
  ::libdeflate_free_decompressor(Decompressor(m_pState));
}

int CChunkDecompressor::Uncompress(const uint8_t* pIn, uint32_t uInLen, uint8_t* pOut,
                                   uint32_t uOutCapacity, uint32_t& uOutLen) {
  size_t uInUsed = 0, uOut = 0;
  libdeflate_result eResult = ::libdeflate_zlib_decompress_ex(Decompressor(m_pState), pIn, uInLen,
                                                              pOut, uOutCapacity, &uInUsed, &uOut);
  uOutLen = eResult == LIBDEFLATE_SUCCESS ? static_cast<uint32_t>(uOut) : 0;
  switch (eResult) {
    case LIBDEFLATE_SUCCESS:
      return sc_nCodecOk;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      return sc_nCodecBufferError;
    default:
      return sc_nCodecDataError;
  }
}

const char* ChunkCodecName() {
  return "libdeflate";
}

}  // namespace common
