// The root file helper's pipe protocol (see ufr_wire.h): packing and unpacking of the fixed
// parts of requests and replies. Shared by the library and tools/tqufr.cpp.
#include "platform/ufr_wire.h"

#include <cstring>

namespace tq {

namespace {

void put32(char* at, int32_t v) { memcpy(at, &v, 4); }
int32_t get32(const char* at) {
  int32_t v;
  memcpy(&v, at, 4);
  return v;
}

}  // namespace

void ufr_put_request_head(const UfrRequestHead& h, char out[kUfrRequestHeadBytes]) {
  put32(out, int32_t(h.seq));
  put32(out + 4, h.code);
  put32(out + 8, h.argc);
}

UfrRequestHead ufr_get_request_head(const char in[kUfrRequestHeadBytes]) {
  return UfrRequestHead{uint32_t(get32(in)), get32(in + 4), get32(in + 8)};
}

int ufr_arg_value_bytes(int32_t type) {
  switch (type) {
    case UFR_INT:
    case UFR_BYTES:
    case UFR_REPLY_BUF: return 4;
    case UFR_INT64: return 8;
    default: return -1;
  }
}

int32_t ufr_get_arg_type(const char in[4]) { return get32(in); }

int ufr_put_arg_head(int32_t type, int64_t value, char out[kUfrArgHeadMax]) {
  const int n = ufr_arg_value_bytes(type);
  if (n < 0) return -1;
  put32(out, type);
  if (n == 8)
    memcpy(out + 4, &value, 8);
  else
    put32(out + 4, int32_t(value));
  return 4 + n;
}

int64_t ufr_get_arg_value(int32_t type, const char* in) {
  if (ufr_arg_value_bytes(type) == 8) {
    int64_t v;
    memcpy(&v, in, 8);
    return v;
  }
  return get32(in);
}

void ufr_put_reply_head(const UfrReplyHead& h, char out[kUfrReplyHeadBytes]) {
  put32(out, int32_t(h.seq));
  put32(out + 4, h.err.ufr_code);
  memcpy(out + 8, &h.err.r, 8);
  put32(out + 16, h.count);
}

UfrReplyHead ufr_get_reply_head(const char in[kUfrReplyHeadBytes]) {
  UfrReplyHead h{};
  h.seq = uint32_t(get32(in));
  h.err.ufr_code = get32(in + 4);
  memcpy(&h.err.r, in + 8, 8);
  h.count = get32(in + 16);
  return h;
}

void ufr_put_buf_head(const UfrBufHead& h, char out[kUfrBufHeadBytes]) {
  put32(out, h.index);
  put32(out + 4, h.len);
}

UfrBufHead ufr_get_buf_head(const char in[kUfrBufHeadBytes]) { return UfrBufHead{get32(in), get32(in + 4)}; }

UFR_ERR ufr_err(int32_t code, int32_t sys_code) {
  UFR_ERR e{};
  e.ufr_code = code;
  e.r.sys_code = sys_code;
  return e;
}

UfrReplyHead ufr_greeting(int32_t code, int32_t sys_code) {
  UfrReplyHead h{};
  h.err = ufr_err(code, sys_code);
  return h;
}

bool ufr_is_greeting(const UfrReplyHead& h) { return h.seq == 0 && h.count == 0; }

void ufr_put_checksum(uint32_t lev_mask, uint32_t sum0, uint32_t sum1, char out[kUfrCkBufBytes]) {
  memset(out, 0, kUfrCkBufBytes);
  put32(out, int32_t(lev_mask));
  put32(out + 4, int32_t(sum0));
  put32(out + 8, int32_t(sum1));
}

void ufr_get_checksum(const char in[kUfrCkBufBytes], uint32_t* lev_mask, uint32_t* sum0, uint32_t* sum1) {
  *lev_mask = uint32_t(get32(in));
  *sum0 = uint32_t(get32(in + 4));
  *sum1 = uint32_t(get32(in + 8));
}

}  // namespace tq
