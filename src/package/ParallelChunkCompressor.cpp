#include "package/ParallelChunkCompressor.h"

namespace common {

unsigned CParallelChunkCompressor::ResolveThreads(unsigned uThreads) {
  if (uThreads == 0) uThreads = std::thread::hardware_concurrency();
  return uThreads == 0 ? 1 : uThreads;
}

CParallelChunkCompressor::CParallelChunkCompressor(int nLevel, unsigned uThreads)
    : m_ownCompressor(nLevel) {
  uThreads = ResolveThreads(uThreads);
  for (unsigned u = 1; u < uThreads; ++u) {
    m_helperCompressors.push_back(std::make_unique<CChunkCompressor>(nLevel));
  }
  for (auto& pCompressor : m_helperCompressors) {
    m_helpers.emplace_back(&CParallelChunkCompressor::HelperMain, this, pCompressor.get());
  }
}

CParallelChunkCompressor::~CParallelChunkCompressor() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
  }
  m_cvWork.notify_all();
  for (auto& thread : m_helpers) thread.join();
}

void CParallelChunkCompressor::Start(std::vector<std::unique_ptr<SPkgChunk>>& batch,
                                     size_t uCount) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pBatch = &batch;
    m_uCount = uCount;
    m_uNext = 0;
    m_uFinished = 0;
    ++m_u64Round;
  }
  m_cvWork.notify_all();
}

void CParallelChunkCompressor::Wait() {
  Work(m_ownCompressor);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cvDone.wait(lock, [this] { return m_uFinished == m_uCount; });
  m_pBatch = nullptr;
}

// Takes chunks until none is left; the compression itself runs unlocked.
void CParallelChunkCompressor::Work(CChunkCompressor& compressor) {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (m_pBatch && m_uNext < m_uCount && !m_bStop) {
    SPkgChunk& chunk = *(*m_pBatch)[m_uNext++];
    lock.unlock();
    chunk.nResult = compressor.Compress(chunk.au8In, chunk.uInLen, chunk.au8Out,
                                        SPkgChunk::sc_uChunkBufferSize, chunk.uOutLen);
    lock.lock();
    if (++m_uFinished == m_uCount) m_cvDone.notify_one();
  }
}

void CParallelChunkCompressor::HelperMain(CChunkCompressor* pCompressor) {
  uint64_t u64SeenRound = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_cvWork.wait(lock, [&] { return m_bStop || m_u64Round != u64SeenRound; });
      if (m_bStop) return;
      u64SeenRound = m_u64Round;
    }
    Work(*pCompressor);
  }
}

}  // namespace common
