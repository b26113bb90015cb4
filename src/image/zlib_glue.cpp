// In-memory zlib blocks. Packing is zlib's compress2 into a buffer of the stream's worst
// size; unpacking streams through inflate into a buffer that doubles as it fills, so a
// damaged or cut stream ends in null instead of a loop, and no size passes INT_MAX.
#include "image/zlib_glue.h"

#include <zlib.h>

#include <climits>
#include <cstdint>

#include "platform/d_alloc.h"

namespace tq {

unsigned char* zlib_compress(int* compressedSize, const void* sourceMemory, int sourceSize, int opt) {
  *compressedSize = 0;
  if (sourceSize < 0 || (!sourceMemory && sourceSize > 0)) return nullptr;
  // The worst case of stored blocks fits in n + n/1000 + 12 bytes.
  const int64_t cap64 = int64_t(sourceSize) + sourceSize / 1000 + 12;
  const uLongf cap = uLongf(cap64 > INT_MAX ? INT_MAX : cap64);
  auto* buf = static_cast<unsigned char*>(d_alloc(cap));
  uLongf len = cap;
  const int rc = compress2(buf, &len, static_cast<const Bytef*>(sourceMemory), uLong(sourceSize), opt);
  if (rc != Z_OK) {
    d_f_ree(buf);
    return nullptr;
  }
  *compressedSize = int(len);
  return buf;
}

namespace {

// The inflated size the buffer starts at: the compressed length, as a stream usually
// grows; at least a little, so that tiny streams do not double many times.
constexpr int64_t kMinStart = 64;

enum class Inflated { kDone, kFailed };

// Runs inflate to the stream's end, doubling *buf whenever it is full. *out gets the
// inflated length.
Inflated inflate_all(z_stream* zs, unsigned char** buf, int64_t* cap, int64_t* out) {
  for (;;) {
    const int rc = inflate(zs, Z_NO_FLUSH);
    *out = int64_t(zs->total_out);
    if (rc == Z_STREAM_END) return Inflated::kDone;
    if (rc != Z_OK && rc != Z_BUF_ERROR) return Inflated::kFailed;  // data, memory or stream error
    if (zs->avail_out > 0) return Inflated::kFailed;  // room left but no input: the stream was cut
    if (*cap >= INT_MAX) return Inflated::kFailed;     // more than an int can count
    const int64_t grown = *cap * 2 > INT_MAX ? INT_MAX : *cap * 2;
    void* n = d_re_alloc(*buf, size_t(grown));
    if (!n) return Inflated::kFailed;
    *buf = static_cast<unsigned char*>(n);
    zs->next_out = *buf + *out;
    zs->avail_out = uInt(grown - *out);
    *cap = grown;
  }
}

}  // namespace

void* zlib_uncompress(int* uncompress_len, const void* data, int length) {
  if (length <= 0 || !data) return nullptr;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return nullptr;
  int64_t cap = length < kMinStart ? kMinStart : length;
  auto* buf = static_cast<unsigned char*>(d_alloc(size_t(cap)));
  zs.next_in = static_cast<Bytef*>(const_cast<void*>(data));  // zlib's type; never written
  zs.avail_in = uInt(length);
  zs.next_out = buf;
  zs.avail_out = uInt(cap);
  int64_t out = 0;
  const Inflated r = inflate_all(&zs, &buf, &cap, &out);
  inflateEnd(&zs);
  if (r != Inflated::kDone) {
    d_f_ree(buf);
    return nullptr;
  }
  *uncompress_len = int(out);
  return buf;
}

}  // namespace tq
