// Interpolated reads: the channels of a matrix evaluated between samples. At level L the
// element with index e on axis a stands for the coordinate e * w_a, w_a = 2^(L *
// dim_divide[a]); a point with real coordinates reads the 2^dim elements around it (corner k
// is the point's cell offset by bit a of k on axis a) through the access cache and
// interpolates multilinearly, axis dim-1 first. The derivative reads give the Jacobian: a
// double_v (or float_v) matrix of sizes (dim, channels taken), element (column a, row r)
// the derivative of the r-th channel taken along axis a.
//
// Every read works on a private copy of the request (MX_CACHE_PARAM, access_cache.h): the
// point is inp_buf (dim doubles, floats for the float reads) at level inp_level, or else
// the code dc. A channel takes part when its data_ix x is not kMxcSkip; every channel taking
// part must hold doubles (floats for the float reads), go to output area 0 and have a
// position below the cache's ds_len, else the read is refused before anything is read (-1
// or null). The double reads refuse a point with a negative truncated coordinate.
//
// The plain double read keeps the corners of the last cell it read in a user cache on the
// MX_CACHE (MX_USER): a read inside that cell at that level, taking the same channels at
// the same positions, reads nothing from the matrix.
// Working memory comes from the cache's block pool and goes back before a read ends,
// except results. No locks: a cache serves one thread at a time.
#pragma once
#include <cstdint>

#include "matrix/access_cache.h"

namespace tq {

// The one-cell user cache of read_mx_ip_double, hung on MX_CACHE.user_header (debug heap).
struct MX_USER {
  MX_USER_HEADER h;  // free_func = free_user_cache_double
  int64_t* point;    // dim + 1: the level, then the cell's lower corner per axis
  int64_t* width;    // dim + 1: entry 1 + a the cell's extent on axis a (entry 0 unused)
  double** data;     // 2^dim: per corner, ds_len values read there (8-byte aligned in _data)
  void** _data;      // 2^dim: the allocations behind data, ds_len * 8 + 8 bytes each
  MX_CACHE_PARAM_IX* taken;  // ds_len: the data_ix the cell was read with (only the channels
                             // taken then were read, each at its position then)
};

// A list of points or of results for the vector read.
struct MX_IP_V {
  int len;          // number of points
  int64_t* levels;  // per point its level, or null (inp_level for all)
  double** data;    // input: per axis the coordinates; result: per output position the values
};

// Non-zero: read_mx_ip_double prints its corners ("- %f %f %f\n" read, "-1+ %f %f %f\n"
// cached; the first three values of each corner). 0 at start.
extern int _mx_deb_flag;

// Hangs a new MX_USER on c unless one is there (another kind of user record is released
// through its free_func first).
void new_user_cache_double(MX_CACHE* c);
// Releases c's MX_USER and clears c->user_header.
void free_user_cache_double(MX_CACHE* c);

// The interpolated value of every channel taking part into output area 0 at its position,
// as doubles. 0, or -1 (refused, negative coordinate, or a corner read failed: the user
// cache is then released).
int read_mx_ip_double(MX_CACHE_PARAM* p);
// The values at every point of the MX_IP_V in inp_buf, into the MX_IP_V in ret_buf (its
// first nout arrays; nout = 1 + the largest position taken), or, when ret_buf is null, into
// a new MX_IP_V from the pool stored in ret_buf (free it with free_mx_ip_v). Consecutive
// points in one cell share its corners; a corner that cannot be read counts 0.0. Prints
// "vec-1\n", "vec-2 <points> :: <m0> <m1> <m2> <m3>\n" (the cell misses: first point, other
// level, below the previous cell, at or above its upper edge) and "vec-3\n". 0, or -1 when
// refused (also for no list or a negative length).
int read_mx_ip_double_v(MX_CACHE_PARAM* p);
// Frees an MX_IP_V that read_mx_ip_double_v made (its data list ends with a null).
void free_mx_ip_v(MX_CACHE* c, MX_IP_V* v);
// The Jacobian at the point as forward differences at the lower corner of its cell; a new
// pool double_v, or null.
void* read_mx_ipdiff_double(MX_CACHE_PARAM* p);
// The Jacobian with each axis's edge differences interpolated over the cell at the point.
void* read_mx_ipdiff_double2(MX_CACHE_PARAM* p);
// read_mx_ip_double for float channels and a float point, without the user cache; every
// step of the interpolation is rounded to a float. Negative coordinates are not refused.
int read_mx_ip_float(MX_CACHE_PARAM* p);
// The Jacobian of float channels: per axis the difference of two float reads one cell width
// apart from the lower edge (the point moving on along each axis in turn); a new pool
// float_v, or null.
void* read_mx_ipdiff_float(MX_CACHE_PARAM* p);

}  // namespace tq
