// Index tuples of vector datums and their sequence numbers (first position fastest).
#include "matrix/ix_tuple.h"

#include <type_traits>

namespace tq {

namespace {

// Two's complement wrap-around of 32-bit arithmetic, computed without overflow.
int wrap32(int64_t v) { return int(uint32_t(uint64_t(v))); }
int mul32(int a, int b) { return int(uint32_t(a) * uint32_t(b)); }
int add32(int a, int b) { return int(uint32_t(a) + uint32_t(b)); }

}  // namespace

void get_ix_from_seq(int* target, const int* ix_size, int ix, int dim) {
  int64_t rest = ix;  // 64 bits: INT_MIN divided by -1 stays defined
  for (int i = 0; i < dim; ++i) {
    const int64_t size = ix_size[i];
    if (size == 0) {  // an empty axis has no position but 0
      target[i] = 0;
      continue;
    }
    target[i] = int(rest % size);
    rest = int64_t(wrap32(rest / size));
  }
}

int get_seq_from_ix(const int* ix, const int* ix_size, int dim) {
  int seq = 0;
  int stride = 1;
  for (int i = 0; i < dim; ++i) {
    seq = add32(seq, mul32(ix[i], stride));
    stride = mul32(stride, ix_size[i]);
  }
  return seq;
}

namespace {

// One odometer step over positions of type T, additions wrapping.
template <class T>
int odometer_step(T* ix, const T* st, const T* inc, const T* ix_size, int dim) {
  using U = std::make_unsigned_t<T>;
  for (int i = 0; i < dim; ++i) {
    ix[i] = T(U(ix[i]) + U(inc[i]));
    if (ix[i] < ix_size[i]) return 0;
    ix[i] = st ? st[i] : 0;
  }
  return 1;
}

}  // namespace

int inc_ix(int* ix, const int* st, const int* inc, const int* ix_size, int dim) {
  return odometer_step(ix, st, inc, ix_size, dim);
}

int inc_dim_code_ix(int64_t* ix, const int64_t* st, const int64_t* inc, const int64_t* ix_size, int dim) {
  return odometer_step(ix + 1, st ? st + 1 : nullptr, inc + 1, ix_size + 1, dim);
}

}  // namespace tq
