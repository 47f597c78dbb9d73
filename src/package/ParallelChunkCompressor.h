// Compresses a batch of independent chunks on several threads. Every chunk is compressed on
// its own with the same level, so the streams are the same bytes whichever thread made them:
// a package written with many threads is byte-identical to one written with one.
//
// One thread (the owner) calls Start and Wait; the helper threads live as long as the object.
// Between Start and Wait the owner may fill or write other chunks: that is how reading and
// writing overlap compression. The batch must outlive the round (and the object).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "package/ChunkCodec.h"

namespace common {

struct SPkgChunk {
  // Chunks of files hold at most sc_uChunkSize bytes; compressed they fit sc_uChunkBufferSize.
  static constexpr uint32_t sc_uChunkSize = 32768;
  static constexpr uint32_t sc_uChunkBufferSize = 36057;

  uint8_t au8In[sc_uChunkSize];
  uint32_t uInLen = 0;
  uint8_t au8Out[sc_uChunkBufferSize];
  uint32_t uOutLen = 0;
  int nResult = sc_nCodecOk;
  size_t uSource = 0;  // the caller's tag (which file the chunk belongs to)
};

class CParallelChunkCompressor {
 public:
  // uThreads 0: one per core; 1: everything on the calling thread.
  CParallelChunkCompressor(int nLevel, unsigned uThreads);
  // The number of threads that uThreads stands for.
  static unsigned ResolveThreads(unsigned uThreads);
  ~CParallelChunkCompressor();
  CParallelChunkCompressor(const CParallelChunkCompressor&) = delete;
  CParallelChunkCompressor& operator=(const CParallelChunkCompressor&) = delete;

  unsigned ThreadCount() const { return static_cast<unsigned>(m_helpers.size()) + 1; }

  // Starts compressing chunks [0, uCount) of the batch on the helper threads; with no helper
  // the work waits for Wait. One round at a time.
  void Start(std::vector<std::unique_ptr<SPkgChunk>>& batch, size_t uCount);
  // Helps with the round and returns when each chunk has its stream and result code.
  void Wait();

 private:
  void HelperMain(CChunkCompressor* pCompressor);
  void Work(CChunkCompressor& compressor);

  CChunkCompressor m_ownCompressor;
  std::vector<std::unique_ptr<CChunkCompressor>> m_helperCompressors;
  std::vector<std::thread> m_helpers;

  std::mutex m_mutex;
  std::condition_variable m_cvWork;
  std::condition_variable m_cvDone;
  std::vector<std::unique_ptr<SPkgChunk>>* m_pBatch = nullptr;
  size_t m_uCount = 0;
  size_t m_uNext = 0;       // next chunk to take
  size_t m_uFinished = 0;   // chunks done in this round
  uint64_t m_u64Round = 0;  // counts batches, so that helpers see new work
  bool m_bStop = false;
};

}  // namespace common
