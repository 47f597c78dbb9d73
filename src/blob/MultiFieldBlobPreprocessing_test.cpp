// Compressed and encrypted images: envelope layouts, refusals, the cache, and children of
// preprocessed parents.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "blob/BlobTestUtil.h"
#include "blob/MultiFieldBlob.h"
#include "platform/Crypto.h"

using common::CMultiFieldBlob;
using namespace blob_test;

namespace {

const bool s_bWatching = (CAssertWatch::Get(), true);

const uint8_t sc_key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t sc_iv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

uint32_t Get32(const Bytes& b, size_t uAt) {
  return uint32_t(b[uAt]) | uint32_t(b[uAt + 1]) << 8 | uint32_t(b[uAt + 2]) << 16 |
         uint32_t(b[uAt + 3]) << 24;
}

Bytes Envelope(uint8_t u8Code, uint32_t uSize, uint32_t uSpare, const Bytes& rest) {
  Bytes b = {1, u8Code};
  Put32(b, uSize);
  Put32(b, uSpare);
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

// An encrypted envelope over arbitrary plaintext bytes, with a valid MAC.
Bytes Encrypt(const Bytes& plain, const uint8_t* pKey = sc_key) {
  size_t c = platform::Aes128CbcCipherSize(plain.size());
  Bytes body;
  Put32(body, static_cast<uint32_t>(plain.size()));
  body.insert(body.end(), sc_iv, sc_iv + 16);
  Bytes cipher(c);
  EXPECT_TRUE(platform::Aes128CbcEncrypt(pKey, sc_iv, plain.data(), plain.size(), cipher.data()));
  body.insert(body.end(), cipher.begin(), cipher.end());
  Bytes env = Envelope(0x45, static_cast<uint32_t>(50 + c), 0, body);
  uint8_t mac[20];
  EXPECT_TRUE(platform::HmacSha1(pKey, 16, env.data() + 10, 20 + c, mac));
  env.insert(env.end(), mac, mac + 20);
  return env;
}

TEST(BlobCompression, EmptyBlobStaysPlaintext) {
  CMultiFieldBlob blob;
  blob.SetAutoPreprocessZLib(9);
  EXPECT_EQ((Bytes{1, 0x50, 10, 0, 0, 0, 0, 0, 0, 0}), Stored(blob));
}

TEST(BlobCompression, ZeroDataCompressesAndReloads) {
  CMultiFieldBlob blob;
  Bytes zeros(1000, 0);
  blob.AddField("z", zeros.data(), zeros.size());
  Bytes plain = Stored(blob);
  ASSERT_EQ(1017u, plain.size());
  blob.SetAutoPreprocessZLib(9);
  Bytes env = Stored(blob);
  // Header, plaintext length, spare, level, then the library's one-call stream.
  Bytes stream(compressBound(1017));
  uLongf uStream = stream.size();
  ASSERT_EQ(Z_OK, compress2(stream.data(), &uStream, plain.data(), 1017, 9));
  Bytes rest;
  Put32(rest, 1017);
  Put32(rest, 0);
  Put16(rest, 9);
  rest.insert(rest.end(), stream.begin(), stream.begin() + uStream);
  EXPECT_EQ(Envelope(0x43, static_cast<uint32_t>(20 + uStream), 0, rest), env);
  EXPECT_EQ(CMultiFieldBlob::eCachedMallocedPlaintextVersion, blob.GetCacheState());

  CMultiFieldBlob loaded(CMultiFieldBlob::eCopyImmediately, env.data(),
                         static_cast<uint32_t>(env.size()));
  EXPECT_EQ(CMultiFieldBlob::eZLibCompressed, loaded.GetAutoPreprocessCode());
  EXPECT_EQ(9, loaded.GetAutoZLibCompressionLevel());
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = loaded.FindFieldData("z", &uSize);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(zeros, Bytes(p, p + uSize));
  EXPECT_EQ(env, Stored(loaded));
}

TEST(BlobCompression, SpareCapacityTravelsInTheEnvelope) {
  Bytes image = Image({{"a", std::string(300, 'x')}});
  image.resize(image.size() + 40, 0);
  image[6] = 40;
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyImmediately, image.data(),
                       static_cast<uint32_t>(image.size()));
  blob.SetAutoPreprocessZLib(1);
  Bytes env = Stored(blob);
  EXPECT_EQ(0x43, env[1]);
  EXPECT_EQ(image.size() - 40, Get32(env, 10));
  EXPECT_EQ(40u, Get32(env, 14));
  CMultiFieldBlob loaded(CMultiFieldBlob::eCopyOnWrite, env.data(),
                         static_cast<uint32_t>(env.size()));
  EXPECT_EQ(40u, loaded.GetSizeOfSpareCapacity());
  loaded.SetAutoPreprocessPlaintext();
  EXPECT_EQ(image, Stored(loaded));
}

// Spare capacity beyond 64 MiB is never compressed: the reader refuses such a header, since a
// few forged bytes would make it allocate the spare.
TEST(BlobCompression, LargeSpareCapacityIsStoredAsPlaintext) {
  const uint32_t uSpare = (64u << 20) + 1;
  Bytes image = Image({{"a", std::string(300, 'x')}});
  uint32_t uSize = static_cast<uint32_t>(image.size());
  image.resize(uSize + uSpare, 0);
  image[6] = uint8_t(uSpare);
  image[7] = uint8_t(uSpare >> 8);
  image[8] = uint8_t(uSpare >> 16);
  image[9] = uint8_t(uSpare >> 24);
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyOnWrite, image.data(),
                       static_cast<uint32_t>(image.size()));
  blob.SetAutoPreprocessZLib(9);
  EXPECT_TRUE(image == Stored(blob));

  Bytes stream(64);
  uLongf uStream = stream.size();
  ASSERT_EQ(Z_OK, compress2(stream.data(), &uStream, image.data(), uSize, 6));
  Bytes rest;
  Put32(rest, uSize);
  Put32(rest, uSpare);
  rest.insert(rest.end(), {6, 0});
  rest.insert(rest.end(), stream.begin(), stream.begin() + uStream);
  Bytes forged = Envelope(0x43, static_cast<uint32_t>(20 + uStream), 0, rest);
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &forged, static_cast<uint32_t>(forged.size()),
      "CMultiFieldBlob(pSerialized): Bad CompressedBlob header #3");
}

TEST(BlobCompression, EnvelopeRefusals) {
  using E = CMultiFieldBlob::CInvalidSerializedBlobException;
  Bytes spare = Envelope(0x43, 20, 1, Bytes(11, 0));
  ExpectLoadRefused<E>(&spare, 21, "CMultiFieldBlob(pSerialized): Bad CompressedBlob header #1");
  Bytes headerOnly = Envelope(0x43, 20, 0, Bytes{10, 0, 0, 0, 0, 0, 0, 0, 9, 0});
  ExpectLoadRefused<E>(&headerOnly, 20,
                       "CMultiFieldBlob(pSerialized): Bad CompressedBlob header #2");
  Bytes level10 = Envelope(0x43, 21, 0, Bytes{10, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0});
  ExpectLoadRefused<E>(&level10, 21, "CMultiFieldBlob(pSerialized): Bad CompressedBlob header #3");
  Bytes level0 = Envelope(0x43, 21, 0, Bytes{10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ExpectLoadRefused<E>(&level0, 21, "CMultiFieldBlob(pSerialized): Bad CompressedBlob header #3");
  Bytes short9 = Envelope(0x43, 21, 0, Bytes{9, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0});
  ExpectLoadRefused<E>(&short9, 21, "CMultiFieldBlob(pSerialized): Bad CompressedBlob header #3");
  Bytes garbage = Envelope(0x43, 24, 0, Bytes{10, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 2, 3, 4});
  ExpectLoadRefused<CMultiFieldBlob::CPreprocessingFailedException>(&garbage, 24,
                                                                    "ZLib decompression failed");
  // A stream that inflates to a header with the wrong spare capacity.
  Bytes plain = {1, 0x50, 10, 0, 0, 0, 0, 0, 0, 0};
  Bytes stream(64);
  uLongf uStream = stream.size();
  ASSERT_EQ(Z_OK, compress2(stream.data(), &uStream, plain.data(), 10, 6));
  Bytes rest = {10, 0, 0, 0, 3, 0, 0, 0, 6, 0};
  rest.insert(rest.end(), stream.begin(), stream.begin() + uStream);
  Bytes corrupt = Envelope(0x43, static_cast<uint32_t>(20 + uStream), 0, rest);
  ExpectLoadRefused<E>(&corrupt, static_cast<uint32_t>(corrupt.size()),
                       "CMultiFieldBlob(pSerialized): Corrupt decompressed BlobHeader");
  // A plaintext length the stream cannot hold is refused before anything is allocated.
  Bytes bomb = Envelope(0x43, 24, 0, Bytes{0, 0, 0, 0x7f, 0, 0, 0, 0, 1, 0, 1, 2, 3, 4});
  ExpectLoadRefused<CMultiFieldBlob::CPreprocessingFailedException>(&bomb, 24,
                                                                    "ZLib decompression failed");
}

TEST(BlobCompression, CachedEnvelopeIsReusedUntilAChange) {
  CMultiFieldBlob blob;
  blob.AddField("text", std::string(500, 'a'));
  blob.SetAutoPreprocessZLib(5);
  const uint8_t* pFirst = blob.GetSerializedBlob(nullptr);
  EXPECT_EQ("", blob.GetFieldDataAsCString("absent"));  // a read: back to plaintext
  EXPECT_EQ(CMultiFieldBlob::eCachedMallocedPreprocessedVersion, blob.GetCacheState());
  blob.SetAutoPreprocessZLib(5);  // same setting: the cached envelope stays
  EXPECT_EQ(CMultiFieldBlob::eCachedMallocedPreprocessedVersion, blob.GetCacheState());
  EXPECT_EQ(pFirst, blob.GetSerializedBlob(nullptr));
  blob.SetAutoPreprocessZLib(6);
  EXPECT_EQ(CMultiFieldBlob::eCacheEmpty, blob.GetCacheState());
  blob.AddField("more", "x");
  EXPECT_EQ(CMultiFieldBlob::eCacheEmpty, blob.GetCacheState());
}

TEST(BlobCompression, LentEnvelopeIsHandedBackUnchanged) {
  CMultiFieldBlob source;
  source.AddField("text", std::string(500, 'b'));
  source.SetAutoPreprocessZLib(9);
  Bytes env = Stored(source);
  CMultiFieldBlob lent(CMultiFieldBlob::eCopyOnWrite, env.data(),
                       static_cast<uint32_t>(env.size()));
  EXPECT_EQ(CMultiFieldBlob::eCachePtrIsCopyOnWritePreprocessedVersion, lent.GetCacheState());
  EXPECT_EQ(env.data(), lent.GetSerializedBlob(nullptr));
  EXPECT_EQ(std::string(500, 'b'), lent.GetFieldDataAsCString("text"));
  lent.AddField("x", "y");
  Bytes changed = Stored(lent);
  EXPECT_NE(env, changed);
  CMultiFieldBlob reloaded(CMultiFieldBlob::eCopyOnWrite, changed.data(),
                           static_cast<uint32_t>(changed.size()));
  EXPECT_EQ("y", reloaded.GetFieldDataAsCString("x"));
}

TEST(BlobCompression, LentPlaintextStaysTheCallersAndReturns) {
  Bytes image = Image({{"text", std::string(400, 'p') + std::string(1, '\0')}});
  Bytes original = image;
  CMultiFieldBlob lent(CMultiFieldBlob::eCopyOnWrite, image.data(),
                       static_cast<uint32_t>(image.size()));
  lent.SetAutoPreprocessZLib(9);
  Bytes env = Stored(lent);
  EXPECT_EQ(0x43, env[1]);
  EXPECT_EQ(CMultiFieldBlob::eCachePtrIsCopyOnWritePlaintextVersion, lent.GetCacheState());
  EXPECT_EQ(CMultiFieldBlob::eTakeOwnershipOfMallocedSerializedBlob, lent.GetMemoryOwnership());
  EXPECT_EQ(original, image);
  // A read goes back to lending the caller's plaintext and keeps the envelope for reuse.
  const uint8_t* pEnvelope = lent.GetSerializedBlob(nullptr);
  EXPECT_EQ(std::string(400, 'p'), lent.GetFieldDataAsCString("text"));
  EXPECT_EQ(CMultiFieldBlob::eCopyOnWrite, lent.GetMemoryOwnership());
  EXPECT_EQ(image.data(), lent.PeekImage());
  EXPECT_EQ(CMultiFieldBlob::eCachedMallocedPreprocessedVersion, lent.GetCacheState());
  EXPECT_EQ(pEnvelope, lent.GetSerializedBlob(nullptr));
  lent.AddField("x", "y");
  EXPECT_EQ(original, image);
  EXPECT_NE(image.data(), lent.PeekImage());
}

TEST(BlobEncryption, EnvelopeLayoutFor32Bytes) {
  Bytes image = Image({{"abcd", "0123456789ab"}});  // 10 + 6 + 4 + 12 = 32 bytes
  ASSERT_EQ(32u, image.size());
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyImmediately, image.data(), 32);
  blob.SetAutoPreprocessAES128(sc_key, sc_iv);
  Bytes env = Stored(blob);
  ASSERT_EQ(98u, env.size());
  EXPECT_EQ(Encrypt(image), env);
  // The same settings give the same envelope, also when it is built again after a change.
  blob.SetField("abcd", "0123456789ab", 12);
  EXPECT_EQ(CMultiFieldBlob::eCacheEmpty, blob.GetCacheState());
  EXPECT_EQ(Encrypt(image), Stored(blob));

  CMultiFieldBlob loaded(CMultiFieldBlob::eCopyImmediately, env.data(), 98, 0, 0, sc_key);
  EXPECT_EQ(CMultiFieldBlob::eAES128, loaded.GetAutoPreprocessCode());
  EXPECT_EQ(env, Stored(loaded));
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = loaded.FindFieldData("abcd", &uSize);
  EXPECT_EQ(std::string("0123456789ab"), std::string(reinterpret_cast<const char*>(p), uSize));
}

TEST(BlobEncryption, WrongKeyAlwaysFailsTheMac) {
  Bytes image = Image({{"secret", "value"}});
  Bytes env = Encrypt(image);
  ExpectLoadRefused<CMultiFieldBlob::CRequiresDecryptionKeyException>(
      &env, static_cast<uint32_t>(env.size()),
      "CMultiFieldBlob(pSerialized): No decryption key supplied for encrypted blob");
  for (int i = 0; i < 64; ++i) {
    uint8_t wrong[16];
    std::memcpy(wrong, sc_key, 16);
    wrong[i % 16] ^= uint8_t(1 + i);
    ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
        &env, static_cast<uint32_t>(env.size()),
        "CMultiFieldBlob(pSerialized): decrypted blob failed MAC", wrong);
  }
  // Any changed byte of the authenticated part, too.
  for (size_t uAt = 10; uAt < env.size(); ++uAt) {
    Bytes forged = env;
    forged[uAt] ^= 0x80;
    ExpectThrowText<CMultiFieldBlob::CInvalidSerializedBlobException>(
        [&] {
          CMultiFieldBlob b(CMultiFieldBlob::eCopyOnWrite, forged.data(),
                            static_cast<uint32_t>(forged.size()), 0, 0, sc_key);
        },
        uAt < 14 && (forged[10] < 10 || Get32(forged, 10) >= forged.size() - 50)
            ? "CMultiFieldBlob(pSerialized): Bad encryption header"
            : "CMultiFieldBlob(pSerialized): decrypted blob failed MAC");
  }
}

TEST(BlobEncryption, EnvelopeRefusals) {
  using E = CMultiFieldBlob::CInvalidSerializedBlobException;
  Bytes spare = Envelope(0x45, 60, 1, Bytes(51, 0));
  ExpectLoadRefused<E>(&spare, 61, "CMultiFieldBlob(pSerialized): Bad EncryptedBlob header",
                       sc_key);
  Bytes fifty = Envelope(0x45, 50, 0, Bytes(40, 0));
  ExpectLoadRefused<E>(&fifty, 50, "CMultiFieldBlob(pSerialized): Bad AES128 encryption header",
                       sc_key);
  Bytes rest(56, 0);
  rest[0] = 16;  // plaintext length equal to c = 16
  Bytes equal = Envelope(0x45, 66, 0, rest);
  ExpectLoadRefused<E>(&equal, 66, "CMultiFieldBlob(pSerialized): Bad encryption header", sc_key);
  // A correctly authenticated envelope whose plaintext is not a blob image.
  Bytes notBlob = Encrypt(Bytes{2, 0x50, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ExpectLoadRefused<E>(&notBlob, static_cast<uint32_t>(notBlob.size()),
                       "CMultiFieldBlob(pSerialized): Corrupt decrypted BlobHeader", sc_key);
  Bytes sizeMismatch = Encrypt(Bytes{1, 0x50, 10, 0, 0, 0, 1, 0, 0, 0, 0, 0});
  ExpectLoadRefused<E>(&sizeMismatch, static_cast<uint32_t>(sizeMismatch.size()),
                       "CMultiFieldBlob(pSerialized): Corrupt decrypted BlobHeader", sc_key);
}

TEST(BlobPreprocessedChildren, EncryptedParentCollapsesAndRevivesChild) {
  CMultiFieldBlob root;
  root.AddField("top", "t");
  CMultiFieldBlob child;
  child.AddField("inner", std::string(200, 'c'));
  root.AddField("child", &child);
  root.SetAutoPreprocessAES128(sc_key, sc_iv);
  Bytes env = Stored(root);
  EXPECT_EQ(0x45, env[1]);
  EXPECT_TRUE(child.IsCollapsed());
  EXPECT_EQ(std::string(200, 'c'), child.GetFieldDataAsCString("inner"));
  EXPECT_FALSE(child.IsCollapsed());
  child.SetField("inner", "changed");
  Bytes env2 = Stored(root);
  CMultiFieldBlob loaded(CMultiFieldBlob::eCopyOnWrite, env2.data(),
                         static_cast<uint32_t>(env2.size()), 0, 0, sc_key);
  CMultiFieldBlob loadedChild(&loaded, "child");
  EXPECT_EQ("changed", loadedChild.GetFieldDataAsCString("inner"));
  loadedChild.DetachFromParent();
  child.DetachFromParent();
}

TEST(BlobPreprocessedChildren, CompressedChildInsideEncryptedParentRoundTrips) {
  CMultiFieldBlob root(0, 32);
  root.AddField("a", "first");
  CMultiFieldBlob child;
  root.AddField("child", &child);
  root.AddField("z", "last");
  CMultiFieldBlob grandChild;
  child.AddField("gc", &grandChild);
  for (int i = 0; i < 40; ++i) grandChild.AddField(std::to_string(i), std::string(50, 'g'));
  child.SetAutoPreprocessZLib(9);
  root.SetAutoPreprocessAES128(sc_key, sc_iv);
  uint32_t uPlainRoot = root.GetSizeOfSerializedBlob();
  Bytes env = Stored(root);
  EXPECT_TRUE(grandChild.IsCollapsed());
  // The child's compressed envelope sits inside the encrypted root.
  CMultiFieldBlob loaded(CMultiFieldBlob::eCopyImmediately, env.data(),
                         static_cast<uint32_t>(env.size()), 0, 0, sc_key);
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = loaded.FindFieldData("child", &uSize);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0x43, p[1]);
  EXPECT_LT(loaded.GetSizeOfSerializedBlob(), uPlainRoot);
  CMultiFieldBlob loadedChild(&loaded, "child");
  EXPECT_EQ(CMultiFieldBlob::eZLibCompressed, loadedChild.GetAutoPreprocessCode());
  CMultiFieldBlob loadedGrandChild(&loadedChild, "gc");
  EXPECT_EQ(40u, loadedGrandChild.GetNumFields());
  EXPECT_EQ(std::string(50, 'g'), loadedGrandChild.GetFieldDataAsCString("39"));
  loadedGrandChild.SetField("new", "n");
  EXPECT_EQ("last", loaded.GetFieldDataAsCString("z"));
  Bytes again = Stored(loaded);
  CMultiFieldBlob reloaded(CMultiFieldBlob::eCopyOnWrite, again.data(),
                           static_cast<uint32_t>(again.size()), 0, 0, sc_key);
  CMultiFieldBlob c2(&reloaded, "child");
  CMultiFieldBlob g2(&c2, "gc");
  EXPECT_EQ("n", g2.GetFieldDataAsCString("new"));
  EXPECT_EQ(41u, g2.GetNumFields());
  // Edits in the original hierarchy still work after it was serialized.
  grandChild.SetField("0", "zero");
  EXPECT_EQ("zero", grandChild.GetFieldDataAsCString("0"));
  for (CMultiFieldBlob* pBlob : {&g2, &c2, &loadedGrandChild, &loadedChild, &grandChild, &child}) {
    pBlob->DetachFromParent();
  }
}

TEST(BlobPreprocessedChildren, ChildEnvelopeTrimsAncestorsSpare) {
  CMultiFieldBlob root;
  CMultiFieldBlob mid;
  root.AddField("mid", &mid);
  CMultiFieldBlob leaf;
  mid.AddField("leaf", &leaf);
  leaf.AddField("zeros", std::string(4000, '\0'));
  leaf.SetAutoPreprocessZLib(9);
  uint32_t uRootSpare = root.GetSizeOfSpareCapacity();
  uint32_t uMidSpare = mid.GetSizeOfSpareCapacity();
  uint32_t uRootImage = root.GetSizeOfSerializedBlob() + uRootSpare;
  uint32_t uRootUnused = root.GetSizeOfUnusedOwnedBlobArea();
  Bytes stored = Stored(root);
  // The freed bytes end in the root's unused area; the spare capacities are as before.
  EXPECT_EQ(uRootSpare, root.GetSizeOfSpareCapacity());
  EXPECT_EQ(uMidSpare, mid.GetSizeOfSpareCapacity());
  EXPECT_EQ(uRootUnused + (uRootImage - stored.size()), root.GetSizeOfUnusedOwnedBlobArea());
  EXPECT_LT(stored.size(), 1000u);
  leaf.DetachFromParent();
  mid.DetachFromParent();
}

}  // namespace
