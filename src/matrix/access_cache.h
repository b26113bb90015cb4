// The access cache: element-wise reads and writes of points and runs through an MX_CACHE
// (mx_cache.h), which keeps one node of one matrix held (node lock and the channel locks of
// the accessed channels) with the datum descriptors of those channels, so that requests
// within the same block cost one dimension-code comparison.
//
// Setting a cache up: zero it, fill m, access_ch, ds_len and gn_tree_node, gn_create and
// gn_wait, and call mxc_setup. The cache serves one thread at a time and takes no lock of
// its own; the node it holds stays locked (other threads wait for it) until a request for
// another node or flush_mx_cache. Temporary buffers come from the cache's block pool.
//
// Point addressing: for a point of level L, the index on axis a is (coordinate >> (L *
// dim_divide[a])) modulo 2^block_size[a], plus ofs[a] when ofs is given. The boundary check
// wants every index within the datum (0 <= index < size) of every accessed vector channel.
#pragma once
#include <cstdint>

#include "matrix/mx_cache.h"

namespace tq {

// Where one accessed channel's value goes in a request.
struct MX_CACHE_PARAM_IX {
  uint16_t p;  // which of data_ptrs
  uint16_t x;  // element index (points) or buffer index (runs); kMxcSkip: not taking part
};
inline constexpr uint16_t kMxcSkip = 0xFFFF;

enum : int { MXC_NO_BOUNDARY_CHECK = 1 };  // MX_CACHE_PARAM.flags

// One request. The fields from ret_buf to newton_status belong to the interpolated reads
// and the solver (mxtype/interp_read.h, mxtype/newton_solver.h).
struct MX_CACHE_PARAM {
  int64_t* dc;                  // the point: level, then one coordinate per axis
  int* ofs;                     // per axis, an offset added to the in-block index; or null
  void* data_ptrs[4];           // caller buffers
  MX_CACHE_PARAM_IX* data_ix;   // one per accessed channel (ds_len)
  MX_CACHE* c;                  // the cache used
  MX_CACHE* c2;                 // a second cache (not used here)
  int flags;                    // MXC_NO_BOUNDARY_CHECK: reads skip the boundary check
  void* ret_buf;
  void* inp_buf;
  int inp_level;
  int status;
  double tolerance;
  double y_tolerance;
  int try_max;
  double try_avg;
  double result_tolerance;
  double result_y_tolerance;
  void* avg_mtx;
  int newton_status;
  int vector_len;               // run length in points
  uint8_t* vector_valid;        // per point of a write run: write it only when non-zero; or null
};

// Makes the node of dimension code src the node held: a hit (same node) costs a comparison;
// a miss lets the node held go, makes sure the node exists (one channel request with
// gn_tree_node and gn_create), waits for it with access gn_wait, and takes every accessed
// channel's datum under its channel lock (made from the channel's default when missing and
// gn_create is not negative). 0, or -1 with no node held.
int get_mx_cache(MX_CACHE* c, int64_t* src);
// -1 when the in-block index ix (one int per axis) lies outside the datum of some accessed
// vector channel of the node held; else 0.
int mx_cache_boundary(MX_CACHE* c, const int* ix);

// One point of every taking-part channel: data_ptrs[p] + x * element size to the datum's
// element at the point (write; marks the cache dirty), or back (read). 0, or -1 when the node
// cannot be had or the point fails the boundary check (nothing copied). A read that skips
// the check leaves a channel whose index lies outside its datum unread rather than read
// memory past it.
int write_mx_cache(MX_CACHE_PARAM* p);
int read_mx_cache(MX_CACHE_PARAM* p);

// A run of vector_len points along axis 0 from dc, across node boundaries: channel k's
// buffer is ((void**)data_ptrs[p])[x], element (point number) pairs with the datum's
// element. Every taking-part channel must be a vector channel and all must agree on each
// step. The number of points done, or -1 (a coordinate outside 0..pixel_size-1, a failed
// check, a node a write cannot have, channels that disagree or none taking part). A read
// passes over the points of a node it cannot have, copying nothing for them.
int write_mx_cache_vector(MX_CACHE_PARAM* p);
int read_mx_cache_vector(MX_CACHE_PARAM* p);

// n values of T from the cache's pool for the length of a request, given back when it ends.
template <class T>
class MxcBuf {
 public:
  MxcBuf(MX_CACHE* c, int64_t n) : c_(c), p_(static_cast<T*>(mxc_alloc(c, int64_t(sizeof(T)) * n))) {}
  ~MxcBuf() { mxc_free(c_, p_); }
  MxcBuf(const MxcBuf&) = delete;
  MxcBuf& operator=(const MxcBuf&) = delete;
  T* get() const { return p_; }
  T& operator[](int64_t i) const { return p_[i]; }

 private:
  MX_CACHE* c_;
  T* p_;
};

// Compares two byte ranges and prints "EQU\n" or "NOT EQUAL\n".
void check_memcpy(const void* a, const void* b, int size);

}  // namespace tq
