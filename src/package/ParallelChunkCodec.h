// Compresses or inflates package chunks on several threads. Every chunk is an independent zlib
// stream, so its bytes are the same whichever thread made them: a package written with many
// threads is byte-identical to one written with one, and so is what it unpacks to.
//
// One thread (the owner) fills chunks and pushes them; they are processed in batches, two of
// which take turns: while the helpers work on one, the owner fills the next and is handed the
// one finished before it, in push order. Memory stays at two batches of (threads x 16) chunks,
// made as they are first filled, so that small packages cost little.
// An exception of the owner's callback leaves through Push or Finish; the destructor stops and
// joins the helpers before the batches go.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
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

  uint8_t au8Raw[sc_uChunkSize];  // the file's bytes
  uint32_t uRawLen = 0;
  uint8_t au8Stream[sc_uChunkBufferSize];  // the zlib stream
  uint32_t uStreamLen = 0;
  int nResult = sc_nCodecOk;  // of the compression or inflation
  size_t uSource = 0;         // the owner's tag (which file the chunk belongs to)
};

class CParallelChunkCodec {
 public:
  enum EDirection {
    eCompress,  // au8Raw -> au8Stream at the level
    eInflate    // au8Stream -> au8Raw
  };
  using TBatch = std::vector<std::unique_ptr<SPkgChunk>>;
  // Told of each finished batch (chunks [0, uCount)) on the owner's thread.
  using TBatchDone = std::function<void(const TBatch& batch, size_t uCount)>;

  // uThreads 0: one per core; 1: everything on the calling thread. nLevel: for eCompress.
  CParallelChunkCodec(EDirection eDirection, int nLevel, unsigned uThreads, TBatchDone onDone);
  // The number of threads that uThreads stands for.
  static unsigned ResolveThreads(unsigned uThreads);
  ~CParallelChunkCodec();
  CParallelChunkCodec(const CParallelChunkCodec&) = delete;
  CParallelChunkCodec& operator=(const CParallelChunkCodec&) = delete;

  // The chunk to fill next; it counts once pushed.
  SPkgChunk& Next();
  void Push();
  // Processes what was pushed and hands on every batch not handed on yet.
  void Finish();

 private:
  struct SThreadCodec;

  void Turn();
  void Start(size_t uBatch);
  void Wait();
  void HelperMain(SThreadCodec* pCodec);
  void Work(SThreadCodec& codec);

  TBatchDone m_onDone;
  TBatch m_batches[2];
  size_t m_auInBatch[2] = {0, 0};
  size_t m_uFilling = 0;
  bool m_bBusy = false;  // the other batch is with the helpers

  std::vector<std::unique_ptr<SThreadCodec>> m_codecs;  // [0] is the owner's
  std::vector<std::thread> m_helpers;

  std::mutex m_mutex;
  std::condition_variable m_cvWork;
  std::condition_variable m_cvDone;
  TBatch* m_pBatch = nullptr;
  size_t m_uCount = 0;
  size_t m_uNext = 0;       // next chunk to take
  size_t m_uFinished = 0;   // chunks done in this round
  uint64_t m_u64Round = 0;  // counts batches, so that helpers see new work
  bool m_bStop = false;
};

}  // namespace common
