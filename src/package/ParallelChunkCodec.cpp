#include "package/ParallelChunkCodec.h"

namespace common {

namespace {
// Chunks per thread in one batch: enough to keep every thread busy, little memory.
constexpr size_t sc_uChunksPerThread = 16;
}  // namespace

// One thread's codec; only the one of the direction is made.
struct CParallelChunkCodec::SThreadCodec {
  SThreadCodec(EDirection eDirection, int nLevel) {
    if (eDirection == eCompress) {
      pCompressor = std::make_unique<CChunkCompressor>(nLevel);
    } else {
      pDecompressor = std::make_unique<CChunkDecompressor>();
    }
  }
  void Run(SPkgChunk& chunk) {
    if (pCompressor) {
      chunk.nResult = pCompressor->Compress(chunk.au8Raw, chunk.uRawLen, chunk.au8Stream,
                                            SPkgChunk::sc_uChunkBufferSize, chunk.uStreamLen);
    } else {
      chunk.nResult = pDecompressor->Uncompress(chunk.au8Stream, chunk.uStreamLen, chunk.au8Raw,
                                                SPkgChunk::sc_uChunkSize, chunk.uRawLen);
    }
  }
  std::unique_ptr<CChunkCompressor> pCompressor;
  std::unique_ptr<CChunkDecompressor> pDecompressor;
};

unsigned CParallelChunkCodec::ResolveThreads(unsigned uThreads) {
  if (uThreads == 0) uThreads = std::thread::hardware_concurrency();
  return uThreads == 0 ? 1 : uThreads;
}

CParallelChunkCodec::CParallelChunkCodec(EDirection eDirection, int nLevel, unsigned uThreads,
                                         TBatchDone onDone)
    : m_onDone(std::move(onDone)) {
  uThreads = ResolveThreads(uThreads);
  for (TBatch& batch : m_batches) batch.resize(uThreads * sc_uChunksPerThread);
  for (unsigned u = 0; u < uThreads; ++u) {
    m_codecs.push_back(std::make_unique<SThreadCodec>(eDirection, nLevel));
  }
  for (unsigned u = 1; u < uThreads; ++u) {
    m_helpers.emplace_back(&CParallelChunkCodec::HelperMain, this, m_codecs[u].get());
  }
}

CParallelChunkCodec::~CParallelChunkCodec() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
  }
  m_cvWork.notify_all();
  for (auto& thread : m_helpers) thread.join();
}

SPkgChunk& CParallelChunkCodec::Next() {
  std::unique_ptr<SPkgChunk>& pChunk = m_batches[m_uFilling][m_auInBatch[m_uFilling]];
  // Not zeroed: the owner fills the bytes it pushes.
  if (!pChunk) pChunk.reset(new SPkgChunk);
  return *pChunk;
}

void CParallelChunkCodec::Push() {
  if (++m_auInBatch[m_uFilling] == m_batches[m_uFilling].size()) Turn();
}

void CParallelChunkCodec::Finish() {
  if (m_auInBatch[m_uFilling] > 0) Turn();
  if (!m_bBusy) return;
  Wait();
  m_bBusy = false;
  size_t uDone = m_uFilling ^ 1;
  m_onDone(m_batches[uDone], m_auInBatch[uDone]);
  m_auInBatch[uDone] = 0;
}

// Hands the filled batch to the helpers and the one they finished before to the owner.
void CParallelChunkCodec::Turn() {
  if (m_bBusy) Wait();
  Start(m_uFilling);
  m_uFilling ^= 1;
  bool bHandOn = m_bBusy;
  m_bBusy = true;
  if (!bHandOn) return;
  m_onDone(m_batches[m_uFilling], m_auInBatch[m_uFilling]);
  m_auInBatch[m_uFilling] = 0;
}

void CParallelChunkCodec::Start(size_t uBatch) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pBatch = &m_batches[uBatch];
    m_uCount = m_auInBatch[uBatch];
    m_uNext = 0;
    m_uFinished = 0;
    ++m_u64Round;
  }
  m_cvWork.notify_all();
}

// Helps with the round and returns when each chunk has its result.
void CParallelChunkCodec::Wait() {
  Work(*m_codecs[0]);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cvDone.wait(lock, [this] { return m_uFinished == m_uCount; });
  m_pBatch = nullptr;
}

// Takes chunks until none is left; the codec itself runs unlocked.
void CParallelChunkCodec::Work(SThreadCodec& codec) {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (m_pBatch && m_uNext < m_uCount && !m_bStop) {
    SPkgChunk& chunk = *(*m_pBatch)[m_uNext++];
    lock.unlock();
    codec.Run(chunk);
    lock.lock();
    if (++m_uFinished == m_uCount) m_cvDone.notify_one();
  }
}

void CParallelChunkCodec::HelperMain(SThreadCodec* pCodec) {
  uint64_t u64SeenRound = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_cvWork.wait(lock, [&] { return m_bStop || m_u64Round != u64SeenRound; });
      if (m_bStop) return;
      u64SeenRound = m_u64Round;
    }
    Work(*pCodec);
  }
}

}  // namespace common
