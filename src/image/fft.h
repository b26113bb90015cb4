// Complex arithmetic, the radix-2 fast Fourier transform for power-of-two lengths, and the
// window-filter level builder of R64 files that uses it at lengths 8 and 4.
//
// Built with -ffp-contract=off (src/CMakeLists.txt), so every product and sum is rounded
// on its own and the results are the same on every machine.
#pragma once

#include "image/r64_file.h"

namespace tq {

struct COMPLEX {
  double im;  // imaginary part (first, as in the record's stored order)
  double re;  // real part
};

COMPLEX addc(COMPLEX a, COMPLEX b);
COMPLEX subc(COMPLEX a, COMPLEX b);
// re = a.re*b.re - a.im*b.im, im = a.im*b.re + a.re*b.im.
COMPLEX mulc(COMPLEX a, COMPLEX b);
COMPLEX minus(COMPLEX a);

// The lowest b bits of a in reverse order: upsidedown(1, 3) = 4, upsidedown(6, 3) = 3.
int upsidedown(int a, int b);

// The twiddle table of length size (a power of two) and sign (+1 or -1): entry n is
// cos(2 pi n / size) + i sign sin(2 pi n / size), for n < size / 2 (the only ones a
// transform uses). Made once per length and sign and kept for the life of the process, so
// transforms may run on several threads at once. Null when size is no power of two up to
// 2^30 or memory is short.
const COMPLEX* new_w_list(int size, int sign);

// Unscaled transform of the N = 2^beki values at list (0 <= beki <= 30):
// X[k] = sum over n of x[n] W^(n k), W = cos(2 pi / N) + i sign sin(2 pi / N).
// A new malloc'd array of N values that the caller frees with free(); null when beki is out
// of range or memory is short. list is not changed.
COMPLEX* _fastft(const COMPLEX* list, int beki, int sign);
// Forward transform scaled by 1/N (sign -1): numpy's fft(x) / N.
COMPLEX* fastft(const COMPLEX* list, int beki);
// Backward transform, unscaled (sign +1): N * numpy's ifft(x). fastdft(fastft(x)) = x.
COMPLEX* fastdft(const COMPLEX* list, int beki);
// Prints "a\n", then "\t%i (%f, %f)\n" with index, real and imaginary part of the first b.
void print_all(const COMPLEX* a, int b);

// The 8 x 8 raised-cosine window: (1 - cos(2 pi x / 8)) (1 - cos(2 pi y / 8)) / 4.
// x, y in 0..7.
double window_fn(int x, int y);

// Builds level + 1 of f from level with overlapping 8 x 8 windowed blocks at stride 4, each
// cut to its 4 x 4 lowest frequencies and added into the half-size level. Prints
// "h = %i/%i   \r" per band and "\n". 0, or -1 with r64_error -9 when level is incomplete or
// has no half, -1 on a read-only handle. Single reads and stores are not checked.
int r64_new_level_hifi(R64_FILE* f, int level);

}  // namespace tq
