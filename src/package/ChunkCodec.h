// The codec of package chunks: one complete zlib-format stream per chunk of up to 32768 bytes.
//
// libdeflate does the work (ChunkCodec.cpp): its streams are ones that zlib's one-call
// decompressor reads, and its failures are reported with zlib's result codes, which the
// package's messages quote.
//
// A compressor or decompressor object is owned by one thread at a time; separate objects may
// work in parallel.
#pragma once

#include <cstdint>

namespace common {

// Result codes, numbered as zlib numbers them.
constexpr int sc_nCodecOk = 0;
constexpr int sc_nCodecDataError = -3;
constexpr int sc_nCodecBufferError = -5;

class CChunkCompressor {
 public:
  explicit CChunkCompressor(int nLevel);  // 0 (stored blocks) to 9
  ~CChunkCompressor();
  CChunkCompressor(const CChunkCompressor&) = delete;
  CChunkCompressor& operator=(const CChunkCompressor&) = delete;

  // Compresses uInLen bytes into one zlib stream in pOut (room for uOutCapacity bytes); on
  // success uOutLen is the stream's length. Returns a zlib result code.
  int Compress(const uint8_t* pIn, uint32_t uInLen, uint8_t* pOut, uint32_t uOutCapacity,
               uint32_t& uOutLen);

 private:
  int m_nLevel;
  void* m_pState = nullptr;  // the library's compressor
};

class CChunkDecompressor {
 public:
  CChunkDecompressor();
  ~CChunkDecompressor();
  CChunkDecompressor(const CChunkDecompressor&) = delete;
  CChunkDecompressor& operator=(const CChunkDecompressor&) = delete;

  // Inflates one zlib stream (bytes after its end are ignored) into pOut; on success uOutLen
  // is the inflated length. Returns a zlib result code: sc_nCodecBufferError when the output
  // does not fit, sc_nCodecDataError for a damaged or incomplete stream.
  int Uncompress(const uint8_t* pIn, uint32_t uInLen, uint8_t* pOut, uint32_t uOutCapacity,
                 uint32_t& uOutLen);

 private:
  void* m_pState = nullptr;
};

// The library built in, for benchmarks and the tool's help ("libdeflate").
const char* ChunkCodecName();

}  // namespace common
