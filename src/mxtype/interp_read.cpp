// Interpolated reads of double and float channels, their Jacobians, and the one-cell user
// cache of the double read.
#include "mxtype/interp_read.h"

#include <algorithm>
#include <cstring>

#include "matrix/matrix.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "stream/format.h"

namespace tq {

int _mx_deb_flag;

namespace {

constexpr double kInt64Bound = 9223372036854775808.0;  // 2^63

// v truncated toward zero; false when no signed 64-bit value holds it.
bool truncate(double v, int64_t* out) {
  if (!(v > -kInt64Bound && v < kInt64Bound)) return false;
  *out = int64_t(v);
  return true;
}

// The cell width 2^(level * dim_divide[a]); false for a negative level or a width that
// leaves a signed 64-bit value.
bool cell_width(const MATRIX* m, int a, int64_t level, int64_t* w) {
  if (level < 0 || level > INT32_MAX) return false;
  const int64_t s = int64_t(m->dim_divide[a]) * level;
  if (s >= 63) return false;
  *w = int64_t(1) << s;
  return true;
}

bool taking_part(const MX_CACHE_PARAM* p, int k) { return p->data_ix[k].x != kMxcSkip; }

// Whether every channel taking part holds `scalar` elements, goes to output area 0 and has a
// position below ds_len.
bool channels_fit(const MX_CACHE_PARAM* p, int scalar) {
  const MX_CACHE* c = p->c;
  const MATRIX* m = c->m;
  for (int k = 0; k < c->ds_len; ++k) {
    if (!taking_part(p, k)) continue;
    const int ch = c->access_ch[k];
    MDT tp = ch >= 0 && ch < m->p.channel_nos ? m->channel_info[ch].data_type : nullptr;
    if (!tp || (tp->parent ? tp->parent : tp)->type != scalar) return false;
    if (p->data_ix[k].p != 0 || p->data_ix[k].x >= c->ds_len) return false;
  }
  return true;
}

// The positions of the channels taking part, in channel order; their number.
int positions(const MX_CACHE_PARAM* p, int* pos) {
  int n = 0;
  for (int k = 0; k < p->c->ds_len; ++k)
    if (taking_part(p, k)) pos[n++] = p->data_ix[k].x;
  return n;
}

// The point of a read: the code of its cell's element (level, truncated coordinates), its
// real coordinates, and per axis the cell width and lower edge.
class PointBuf {
 public:
  PointBuf(MX_CACHE* c, int dim) : dim_(dim), ints_(c, 3 * int64_t(dim) + 1), x_(c, dim) {}
  int64_t* t() const { return ints_.get(); }
  int64_t* w() const { return ints_.get() + dim_ + 1; }
  int64_t* low() const { return ints_.get() + 2 * dim_ + 1; }
  double* x() const { return x_.get(); }

 private:
  int dim_;
  MxcBuf<int64_t> ints_;
  MxcBuf<double> x_;
};

// Fills pt from inp_buf (dim values of F at inp_level) or else from dc (at dc's level, or at
// inp_level when level_from_inp). False for a point that has no cell (or has a negative
// coordinate, when refused).
template <class F>
bool build_point(const MX_CACHE_PARAM* p, bool level_from_inp, bool refuse_negative, const PointBuf& pt) {
  const MATRIX* m = p->c->m;
  int64_t* t = pt.t();
  if (p->inp_buf) {
    const F* in = static_cast<const F*>(p->inp_buf);
    t[0] = p->inp_level;
    for (int a = 0; a < m->p.dim; ++a) {
      pt.x()[a] = double(in[a]);
      if (!truncate(double(in[a]), &t[a + 1])) return false;
    }
  } else {
    if (!p->dc) return false;
    t[0] = level_from_inp ? p->inp_level : p->dc[0];
    for (int a = 0; a < m->p.dim; ++a) pt.x()[a] = double(t[a + 1] = p->dc[a + 1]);
  }
  for (int a = 0; a < m->p.dim; ++a) {
    if ((refuse_negative && t[a + 1] < 0) || !cell_width(m, a, t[0], &pt.w()[a])) return false;
    pt.low()[a] = t[a + 1] & -pt.w()[a];
  }
  return true;
}

// Reads corner k of the cell of t (offset by bit a of k on axis a) into buf, n values of V
// zeroed first, through the private request q.
template <class V>
int read_corner(MX_CACHE_PARAM* q, int64_t* t, int* ofs, int dim, int k, V* buf, int n) {
  std::fill(buf, buf + n, V(0));
  for (int a = 0; a < dim; ++a) ofs[a] = (k >> a) & 1;
  q->dc = t;
  q->ofs = ofs;
  q->data_ptrs[0] = buf;
  return read_mx_cache(q);
}

// Multilinear interpolation of the corner values at(k, j), j < n, axis dim-1 first: the
// lower corners take in the upper ones; corner 0 ends with the result. Each step is
// computed in double and stored as V.
template <class V, class At>
void reduce(int dim, const int64_t* low, const int64_t* w, const double* x, int n, At at) {
  for (int a = dim - 1; a >= 0; --a) {
    const double lo = double(low[a]), hi = double(low[a]) + double(w[a]), xa = x[a];
    if (lo == xa) continue;
    const double below = hi - xa, above = xa - lo;
    const double per_width = 1.0 / double(w[a]);  // exact: w is a power of 2
    const int half = 1 << a;
    for (int k = 0; k < half; ++k)
      for (int j = 0; j < n; ++j) {
        V& v = at(k, j);
        const V v2 = at(k + half, j);
        v = hi == xa ? v2 : V((double(v) * below + double(v2) * above) * per_width);
      }
  }
}

MX_USER* own_user_cache(MX_CACHE* c) {
  MX_USER_HEADER* h = c->user_header;
  return h && h->free_func == free_user_cache_double ? reinterpret_cast<MX_USER*>(h) : nullptr;
}

bool in_cell(const MX_USER* u, const MX_CACHE_PARAM* p, const int64_t* t, int dim) {
  if (u->point[0] != t[0]) return false;
  for (int k = 0; k < p->c->ds_len; ++k)
    if (u->taken[k].p != p->data_ix[k].p || u->taken[k].x != p->data_ix[k].x) return false;
  for (int a = 0; a < dim; ++a)
    if (t[a + 1] < u->point[a + 1] || uint64_t(t[a + 1] - u->point[a + 1]) >= uint64_t(u->width[a + 1])) return false;
  return true;
}

// A new matrix of tp with sizes (dim, rows) from c's pool, and its elements.
template <class V>
void* new_jacobian(MDT tp, MX_CACHE* c, int dim, int rows, V** el) {
  int sizes[2] = {dim, rows};
  MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, nullptr, c};
  void* j = mxt_alloc_vector(tp, MX_ALLOC_POOL, &prm, c);
  if (!j) return nullptr;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, j);
  *el = reinterpret_cast<V*>(dh.offset);
  return j;
}

void* refuse(MX_CACHE* c, void* j) {
  mxc_free(c, j);
  return nullptr;
}

// Reads every corner of pt's cell into vals (nc blocks of stride values); the first that
// fails: false.
template <class V>
bool read_corners(const MX_CACHE_PARAM* p, const PointBuf& pt, V* vals, int stride) {
  MX_CACHE* c = p->c;
  const int dim = c->m->p.dim;
  MX_CACHE_PARAM q = *p;
  MxcBuf<int> ofs(c, dim);
  for (int k = 0; k < 1 << dim; ++k)
    if (read_corner(&q, pt.t(), ofs.get(), dim, k, vals + int64_t(k) * stride, stride) < 0) return false;
  return true;
}

// The start of the double derivative reads: the positions taken (rows of them), a new
// double Jacobian (its elements in e) and the point at inp_level; null, with nothing held,
// when refused.
void* start_jacobian(MX_CACHE_PARAM* p, int* pos, int* rows, double** e, const PointBuf& pt) {
  MX_CACHE* c = p->c;
  if (!channels_fit(p, MXT_DOUBLE)) return nullptr;
  *rows = positions(p, pos);
  void* jac = new_jacobian(&mx_type_double_v, c, c->m->p.dim, *rows, e);
  if (jac && !build_point<double>(p, true, true, pt)) return refuse(c, jac);
  return jac;
}

void print_corner(const char* fmt, const double* v) { ss_printf(fmt, v[0], v[1], v[2]); }

}  // namespace

void free_user_cache_double(MX_CACHE* c) {
  MX_USER* u = own_user_cache(c);
  if (!u) return;
  const int nc = 1 << c->m->p.dim;
  for (int k = 0; k < nc; ++k) d_f_ree(u->_data[k]);
  d_f_ree(u->point);
  d_f_ree(u->width);
  d_f_ree(u->data);
  d_f_ree(u->_data);
  d_f_ree(u->taken);
  d_f_ree(u);
  c->user_header = nullptr;
}

void new_user_cache_double(MX_CACHE* c) {
  if (own_user_cache(c)) return;
  if (c->user_header) c->user_header->free_func(c);
  const int dim = c->m->p.dim, nc = 1 << dim;
  auto* u = static_cast<MX_USER*>(d_calloc(1, sizeof(MX_USER)));
  u->h.free_func = free_user_cache_double;
  u->point = static_cast<int64_t*>(d_calloc(size_t(dim) + 1, sizeof(int64_t)));
  u->width = static_cast<int64_t*>(d_calloc(size_t(dim) + 1, sizeof(int64_t)));
  u->data = static_cast<double**>(d_calloc(size_t(nc), sizeof(double*)));
  u->_data = static_cast<void**>(d_calloc(size_t(nc), sizeof(void*)));
  u->taken = static_cast<MX_CACHE_PARAM_IX*>(d_calloc(size_t(c->ds_len) + 1, sizeof(MX_CACHE_PARAM_IX)));
  for (int k = 0; k < nc; ++k) {
    u->_data[k] = d_calloc(size_t(c->ds_len) * 8 + 8, 1);
    u->data[k] = reinterpret_cast<double*>((reinterpret_cast<uintptr_t>(u->_data[k]) & ~uintptr_t(7)) + 8);
  }
  c->user_header = &u->h;
}

int read_mx_ip_double(MX_CACHE_PARAM* p) {
  MX_CACHE* c = p->c;
  const int dim = c->m->p.dim, nc = 1 << dim, n = c->ds_len;
  const int stride = std::max(n, 3);  // the debugging lines print three values of each corner
  if (!channels_fit(p, MXT_DOUBLE)) return -1;
  PointBuf pt(c, dim);
  if (!build_point<double>(p, false, true, pt)) return -1;
  MxcBuf<double> vals(c, int64_t(nc) * stride);
  std::fill(vals.get(), vals.get() + int64_t(nc) * stride, 0.0);
  auto corner = [&](int k) { return vals.get() + int64_t(k) * stride; };
  MX_USER* u = own_user_cache(c);
  if (u && in_cell(u, p, pt.t(), dim)) {
    for (int k = 0; k < nc; ++k) {
      memcpy(corner(k), u->data[k], sizeof(double) * size_t(n));
      if (_mx_deb_flag) print_corner("-1+ %f %f %f\n", corner(k));
    }
  } else {
    if (!u) {
      new_user_cache_double(c);
      u = own_user_cache(c);
    }
    if (!read_corners(p, pt, vals.get(), stride)) {
      u->h.free_func(c);
      return -1;
    }
    for (int k = 0; k < nc; ++k) {
      if (_mx_deb_flag) print_corner("- %f %f %f\n", corner(k));
      memcpy(u->data[k], corner(k), sizeof(double) * size_t(n));
    }
    u->point[0] = pt.t()[0];
    std::copy(p->data_ix, p->data_ix + n, u->taken);
    for (int a = 0; a < dim; ++a) {
      u->width[a + 1] = pt.w()[a];
      u->point[a + 1] = pt.low()[a];
    }
  }
  reduce<double>(dim, pt.low(), pt.w(), pt.x(), n, [&](int k, int j) -> double& { return corner(k)[j]; });
  for (int k = 0; k < n; ++k)
    if (taking_part(p, k)) static_cast<double*>(p->data_ptrs[0])[p->data_ix[k].x] = corner(0)[p->data_ix[k].x];
  return 0;
}

int read_mx_ip_double_v(MX_CACHE_PARAM* p) {
  MX_CACHE* c = p->c;
  const MATRIX* m = c->m;
  const int dim = m->p.dim, nc = 1 << dim;
  const auto* in = static_cast<const MX_IP_V*>(p->inp_buf);
  if (!channels_fit(p, MXT_DOUBLE) || !in || in->len < 0) return -1;
  const int len = in->len;
  int nout = 1;
  for (int k = 0; k < c->ds_len; ++k)
    if (taking_part(p, k)) nout = std::max(nout, p->data_ix[k].x + 1);
  auto* ret = static_cast<MX_IP_V*>(p->ret_buf);
  MxcBuf<double*> res(c, nout);  // the result array of each output position
  for (int o = 0; o < nout; ++o) res[o] = ret ? ret->data[o] : static_cast<double*>(mxc_alloc(c, int64_t(8) * len));
  ss_printf("vec-1\n");
  // The cell of the last point read: its level, lower edges, widths and corner values.
  // A point in the same cell at the same level shares them (the corner values of points
  // read before are not kept: each point is reduced as soon as its corners are known).
  MxcBuf<int64_t> low(c, dim), wid(c, dim), t(c, dim + 1);
  MxcBuf<double> corners(c, int64_t(nc) * nout), work(c, int64_t(nc) * nout), x(c, dim), buf(c, nout);
  MxcBuf<int> ofs(c, dim);
  MX_CACHE_PARAM q = *p;
  int64_t cell_level = 0;
  int miss[4] = {0, 0, 0, 0};
  for (int j = 0; j < len; ++j) {
    const int64_t level = in->levels ? in->levels[j] : p->inp_level;
    for (int a = 0; a < dim; ++a) x[a] = in->data[a][j];
    int reason = j == 0 ? 0 : level != cell_level ? 1 : -1;
    for (int a = 0; reason < 0 && a < dim; ++a) {
      if (x[a] < double(low[a])) reason = 2;
      else if (!(x[a] < double(low[a]) + double(wid[a]))) reason = 3;
    }
    if (reason >= 0) {
      ++miss[reason];
      cell_level = level;
      bool ok = true;
      t[0] = level;
      for (int a = 0; a < dim; ++a) {
        int64_t w = 1;
        if (!truncate(x[a], &t[a + 1]) || !cell_width(m, a, level, &w)) ok = false;
        wid[a] = w;
        low[a] = t[a + 1] & -w;
      }
      for (int k = 0; k < nc; ++k) {  // a corner that cannot be read counts 0.0
        const bool read = ok && read_corner(&q, t.get(), ofs.get(), dim, k, buf.get(), nout) == 0;
        for (int o = 0; o < nout; ++o) corners[int64_t(k) * nout + o] = read ? buf[o] : 0.0;
      }
    }
    for (int64_t i = 0; i < int64_t(nc) * nout; ++i) work[i] = corners[i];
    reduce<double>(dim, low.get(), wid.get(), x.get(), nout,
                   [&](int k, int o) -> double& { return work[int64_t(k) * nout + o]; });
    for (int o = 0; o < nout; ++o) res[o][j] = work[o];
  }
  ss_printf("vec-2 %i :: %i %i %i %i\n", len, miss[0], miss[1], miss[2], miss[3]);
  if (!ret) {
    ret = static_cast<MX_IP_V*>(mxc_alloc(c, sizeof(MX_IP_V)));
    ret->len = len;
    ret->levels = nullptr;
    ret->data = static_cast<double**>(mxc_alloc(c, int64_t(sizeof(double*)) * (nout + 1)));
    for (int o = 0; o < nout; ++o) ret->data[o] = res[o];
    ret->data[nout] = nullptr;
    p->ret_buf = ret;
  }
  ss_printf("vec-3\n");
  return 0;
}

void free_mx_ip_v(MX_CACHE* c, MX_IP_V* v) {
  if (!v) return;
  for (double** d = v->data; *d; ++d) mxc_free(c, *d);
  mxc_free(c, v->data);
  mxc_free(c, v);
}

void* read_mx_ipdiff_double(MX_CACHE_PARAM* p) {
  MX_CACHE* c = p->c;
  const int dim = c->m->p.dim, n = c->ds_len;
  MxcBuf<int> pos(c, n), ofs(c, dim);
  PointBuf pt(c, dim);
  int rows;
  double* e;
  void* jac = start_jacobian(p, pos.get(), &rows, &e, pt);
  if (!jac) return nullptr;
  for (int a = 0; a < dim; ++a) pt.t()[a + 1] = pt.low()[a];
  MxcBuf<double> lower(c, n), upper(c, n);
  MX_CACHE_PARAM q = *p;
  if (read_corner(&q, pt.t(), ofs.get(), dim, 0, lower.get(), n) < 0) return refuse(c, jac);
  for (int a = 0; a < dim; ++a) {
    if (read_corner(&q, pt.t(), ofs.get(), dim, 1 << a, upper.get(), n) < 0) return refuse(c, jac);
    for (int r = 0; r < rows; ++r) e[a + dim * r] = (upper[pos[r]] - lower[pos[r]]) / double(pt.w()[a]);
  }
  return jac;
}

void* read_mx_ipdiff_double2(MX_CACHE_PARAM* p) {
  MX_CACHE* c = p->c;
  const int dim = c->m->p.dim, nc = 1 << dim, n = c->ds_len;
  MxcBuf<int> pos(c, n);
  PointBuf pt(c, dim);
  int rows;
  double* e;
  void* jac = start_jacobian(p, pos.get(), &rows, &e, pt);
  if (!jac) return nullptr;
  MxcBuf<double> vals(c, int64_t(nc) * n), diff(c, int64_t(nc) * n);
  if (!read_corners(p, pt, vals.get(), n)) return refuse(c, jac);
  auto v = [&](int k, int j) { return vals[int64_t(k) * n + j]; };
  for (int a = 0; a < dim; ++a) {
    const int bit = 1 << a;
    const double w = double(pt.w()[a]);
    for (int k = 0; k < nc; ++k)  // every corner takes the difference along its own cell edge
      for (int j = 0; j < n; ++j)
        diff[int64_t(k) * n + j] = (k & bit) ? (v(k, j) - v(k & ~bit, j)) / w : (v(k | bit, j) - v(k, j)) / w;
    reduce<double>(dim, pt.low(), pt.w(), pt.x(), n, [&](int k, int j) -> double& { return diff[int64_t(k) * n + j]; });
    for (int r = 0; r < rows; ++r) e[a + dim * r] = diff[pos[r]];
  }
  return jac;
}

int read_mx_ip_float(MX_CACHE_PARAM* p) {
  MX_CACHE* c = p->c;
  const int dim = c->m->p.dim, nc = 1 << dim, n = c->ds_len;
  if (!channels_fit(p, MXT_FLOAT)) return -1;
  PointBuf pt(c, dim);
  if (!build_point<float>(p, false, false, pt)) return -1;
  MxcBuf<float> vals(c, int64_t(nc) * n);
  if (!read_corners(p, pt, vals.get(), n)) return -1;
  reduce<float>(dim, pt.low(), pt.w(), pt.x(), n, [&](int k, int j) -> float& { return vals[int64_t(k) * n + j]; });
  for (int k = 0; k < n; ++k)
    if (taking_part(p, k)) static_cast<float*>(p->data_ptrs[0])[p->data_ix[k].x] = vals[p->data_ix[k].x];
  return 0;
}

void* read_mx_ipdiff_float(MX_CACHE_PARAM* p) {
  MX_CACHE* c = p->c;
  const MATRIX* m = c->m;
  const int dim = m->p.dim, n = c->ds_len;
  if (!channels_fit(p, MXT_FLOAT) || (!p->inp_buf && !p->dc)) return nullptr;
  MxcBuf<int> pos(c, n);
  const int rows = positions(p, pos.get());
  float* e;
  void* jac = new_jacobian(&mx_type_float_v, c, dim, rows, &e);
  if (!jac) return nullptr;
  MxcBuf<float> point(c, dim), first(c, n), second(c, n);
  for (int a = 0; a < dim; ++a)
    point[a] = p->inp_buf ? static_cast<const float*>(p->inp_buf)[a] : float(p->dc[a + 1]);
  MX_CACHE_PARAM q = *p;
  q.inp_buf = point.get();
  auto read_at = [&](float* out) {
    std::fill(out, out + n, 0.0f);
    q.data_ptrs[0] = out;
    return read_mx_ip_float(&q);
  };
  for (int a = 0; a < dim; ++a) {
    int64_t t, w;
    if (!truncate(point[a], &t) || !cell_width(m, a, p->inp_level, &w)) return refuse(c, jac);
    point[a] = float(t & -w);
    if (read_at(first.get()) < 0) return refuse(c, jac);
    point[a] = float(double(point[a]) + double(w));
    if (read_at(second.get()) < 0) return refuse(c, jac);
    for (int r = 0; r < rows; ++r) e[a + dim * r] = (second[pos[r]] - first[pos[r]]) / float(w);
  }
  return jac;
}

}  // namespace tq
