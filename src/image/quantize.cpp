// Median-cut quantiser. Every pixel's colour is first listed in its cell of a 16 x 16 x 16
// histogram (4 bits a channel, the work slot's cells); each cell's list is then folded
// into distinct colours with pixel counts, kept in one array in which every box owns a
// contiguous run. A cut counts the pixels per value of the box's longest side over its
// run only, puts the median where half the pixels lie below, and partitions the run in
// place, noting the tightest ranges of both halves as it goes; the box of the largest
// (longest side x bit length of its pixel count) is cut first. At the end each box's run
// writes its palette index into per-cell maps of the colours present, through which the
// pixels are mapped. This gives the same boxes, palette and indices as cutting a decision
// tree over the cell lists, scanning every cell a box meets, but touches each colour once
// per cut instead of every listed pixel of every cell met, three times.
//
// Invariants: the runs of the boxes partition the array of distinct colours; a box's
// ranges are the lowest and highest values present in its run on each channel (it is
// tight), so every colour inside a box's ranges is in its run; every run is non-empty and
// its pixel count is the sum of its colours' counts; at most 256 boxes.
#include "image/quantize.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/d_alloc.h"

namespace tq {

namespace {

// One histogram cell: every pixel colour that falls in it, duplicates kept.
struct MedianCutInfo {
  RGB4* col;  // a part of the run's one block of lists
  int count;  // entries used
  int size;   // entries it has room for
};
constexpr int kCells = 16 * 16 * 16;
MedianCutInfo gif_histgram[kMedianCutSlots][kCells];

// A distinct colour and the number of pixels of that colour.
struct Colour {
  unsigned char c[3];  // red, green, blue
  unsigned char pad;
  uint32_t count;
};

// One box of colour space, owning the run [begin, end) of the colour array.
struct RGBColorInfo {
  int r_pos, g_pos, b_pos;     // lowest value per channel
  int r_size, g_size, b_size;  // highest - lowest + 1
  int64_t pixel_count;
  int64_t begin, end;
};

constexpr int kMaxBoxes = 260;
enum : int { kRed = 0, kGreen = 1, kBlue = 2 };  // split channels, and byte offsets in a pixel

struct Run {
  MedianCutInfo* hist;  // the work slot's cells
  Colour* colours;      // distinct colours, debug heap
  int64_t ncolours;
  RGBColorInfo box[kMaxBoxes];
  int nbox;
  int64_t count[256];  // pixels per value of the split channel
};

int cell_of(int r, int g, int b) { return (r >> 4) << 8 | (g >> 4) << 4 | (b >> 4); }
int low_of(int r, int g, int b) { return (r & 15) << 8 | (g & 15) << 4 | (b & 15); }

int* pos_of(RGBColorInfo& i) { return &i.r_pos; }    // r, g, b in order
int* size_of(RGBColorInfo& i) { return &i.r_size; }  // r, g, b in order

int median_info_maxlen(const RGBColorInfo& i) {
  const int m = i.r_size > i.g_size ? i.r_size : i.g_size;
  return m > i.b_size ? m : i.b_size;
}

// The longest side, red before green before blue.
int median_info_maxtype(const RGBColorInfo& i) {
  const int m = median_info_maxlen(i);
  return i.r_size == m ? kRed : i.g_size == m ? kGreen : kBlue;
}

// Significant bits of the pixel count: 0 for 0, 1 for 1, 2 for 2..3, ...
int median_info_get_pixel_weit(const RGBColorInfo& i) {
  int bits = 0;
  for (int64_t n = i.pixel_count; n > 0; n >>= 1) bits++;
  return bits;
}

// ------------------------------------------------------------------ histogram

// Lists every pixel's colour in its cell. The lists are cut from one block, sized by a
// first count of the cells, so they never grow; the block is returned for freeing.
RGB4* fill_histogram(Run& run, const unsigned char* px, int64_t n) {
  for (int64_t i = 0; i < n; i++) run.hist[cell_of(px[i * 4], px[i * 4 + 1], px[i * 4 + 2])].count++;
  auto* all = static_cast<RGB4*>(d_alloc(size_t(n) * sizeof(RGB4)));
  int64_t at = 0;
  for (int c = 0; c < kCells; c++) {
    MedianCutInfo& cell = run.hist[c];
    cell.col = all + at;
    cell.size = cell.count;
    at += cell.count;
    cell.count = 0;
  }
  for (int64_t i = 0; i < n; i++, px += 4) {
    MedianCutInfo& cell = run.hist[cell_of(px[0], px[1], px[2])];
    cell.col[cell.count++] = RGB4{px[0], px[1], px[2], 0};
  }
  return all;
}

// Folds every cell's list into distinct colours with their pixel counts, cell by cell.
void fold_cells(Run& run, int64_t n) {
  const int64_t most = n < (int64_t(1) << 24) ? n : int64_t(1) << 24;  // there are 2^24 colours
  run.colours = static_cast<Colour*>(d_alloc(size_t(most) * sizeof(Colour)));
  run.ncolours = 0;
  auto* slot_of = static_cast<int64_t*>(d_alloc(4096 * sizeof(int64_t)));  // low nibbles -> colour
  for (int k = 0; k < 4096; k++) slot_of[k] = -1;
  for (int c = 0; c < kCells; c++) {
    const MedianCutInfo& cell = run.hist[c];
    const int64_t first = run.ncolours;
    for (int i = 0; i < cell.count; i++) {
      const RGB4& p = cell.col[i];
      int64_t& s = slot_of[low_of(p.r, p.g, p.b)];
      if (s < 0) {
        s = run.ncolours++;
        run.colours[s] = Colour{{p.r, p.g, p.b}, 0, 0};
      }
      run.colours[s].count++;
    }
    for (int64_t i = first; i < run.ncolours; i++) {
      const unsigned char* v = run.colours[i].c;
      slot_of[low_of(v[0], v[1], v[2])] = -1;
    }
  }
  d_f_ree(slot_of);
}

// ------------------------------------------------------------------ boxes

// Lowest and highest values seen, per channel.
struct Ranges {
  int lo[3] = {255, 255, 255};
  int hi[3] = {-1, -1, -1};
  void add(const unsigned char* v) {
    for (int k = 0; k < 3; k++) {
      if (v[k] < lo[k]) lo[k] = v[k];
      if (v[k] > hi[k]) hi[k] = v[k];
    }
  }
};

RGBColorInfo make_box(const Ranges& r, int64_t pixels, int64_t begin, int64_t end) {
  return RGBColorInfo{r.lo[0],  r.lo[1], r.lo[2], r.hi[0] - r.lo[0] + 1, r.hi[1] - r.lo[1] + 1, r.hi[2] - r.lo[2] + 1,
                      pixels, begin,   end};
}

void first_box(Run& run, int64_t n) {
  Ranges r;
  for (int64_t i = 0; i < run.ncolours; i++) r.add(run.colours[i].c);
  run.box[0] = make_box(r, n, 0, run.ncolours);
  run.nbox = 1;
}

// The box to cut: the largest product, the lowest index among equals; -1 when all are 0.
int pick_box(const Run& run) {
  int best = -1;
  int64_t best_v = 0;
  for (int i = 0; i < run.nbox; i++) {
    const int64_t v = int64_t(median_info_maxlen(run.box[i])) * median_info_get_pixel_weit(run.box[i]);
    if (v > best_v) best = i, best_v = v;
  }
  return best;
}

// The first value of the upper half: the lowest p above the lowest value at which the
// pixels below reach half the total (or the highest value). *below gets their number.
int find_median(const Run& run, int lo, int hi, int64_t total, int64_t* below) {
  int p = lo + 1;
  int64_t sum = run.count[lo];
  while (p < hi && 2 * sum < total) sum += run.count[p++];
  *below = sum;
  return p;
}

// Moves the colours below p on channel ch to the front of [begin, end) and returns where
// the rest starts, noting on the way the ranges of both parts on the two other channels
// (in locals: the colour bytes could alias the ranges' members).
int64_t partition_run(Run& run, int64_t begin, int64_t end, int ch, int p, Ranges* lower, Ranges* upper) {
  Colour* a = run.colours;
  const int c1 = ch == kRed ? kGreen : kRed, c2 = ch == kBlue ? kGreen : kBlue;
  int l1 = 255, h1 = -1, l2 = 255, h2 = -1, u1 = 255, v1 = -1, u2 = 255, v2 = -1;
  int64_t i = begin, j = end - 1;
  while (i <= j) {
    const unsigned char* c = a[i].c;
    const int x = c[c1], y = c[c2];
    if (c[ch] < p) {
      l1 = x < l1 ? x : l1, h1 = x > h1 ? x : h1;
      l2 = y < l2 ? y : l2, h2 = y > h2 ? y : h2;
      i++;
    } else {
      u1 = x < u1 ? x : u1, v1 = x > v1 ? x : v1;
      u2 = y < u2 ? y : u2, v2 = y > v2 ? y : v2;
      std::swap(a[i], a[j--]);
    }
  }
  lower->lo[c1] = l1, lower->hi[c1] = h1, lower->lo[c2] = l2, lower->hi[c2] = h2;
  upper->lo[c1] = u1, upper->hi[c1] = v1, upper->lo[c2] = u2, upper->hi[c2] = v2;
  return i;
}

// Cuts box i at the median of channel ch; the halves replace it at the end of the list
// (the last box moves into its place, then the lower and the upper half are appended).
void split_box(Run& run, int i, int ch) {
  const RGBColorInfo old = run.box[i];
  const int lo = pos_of(const_cast<RGBColorInfo&>(old))[ch];
  const int hi = lo + size_of(const_cast<RGBColorInfo&>(old))[ch] - 1;
  for (int v = lo; v <= hi; v++) run.count[v] = 0;
  int64_t total = 0;
  for (int64_t k = old.begin; k < old.end; k++) {
    run.count[run.colours[k].c[ch]] += run.colours[k].count;
    total += run.colours[k].count;
  }
  run.box[i] = run.box[--run.nbox];
  int64_t below = 0;
  const int p = find_median(run, lo, hi, total, &below);
  Ranges lower, upper;  // on the split channel from the counts: the values present on each side
  lower.lo[ch] = lo;
  for (lower.hi[ch] = p - 1; run.count[lower.hi[ch]] == 0;) lower.hi[ch]--;
  for (upper.lo[ch] = p; run.count[upper.lo[ch]] == 0;) upper.lo[ch]++;
  upper.hi[ch] = hi;
  const int64_t mid = partition_run(run, old.begin, old.end, ch, p, &lower, &upper);
  run.box[run.nbox++] = make_box(lower, below, old.begin, mid);
  run.box[run.nbox++] = make_box(upper, total - below, mid, old.end);
}

void cut_boxes(Run& run) {
  while (run.nbox < 256) {
    const int i = pick_box(run);
    if (i < 0 || median_info_maxlen(run.box[i]) < 2) return;
    split_box(run, i, median_info_maxtype(run.box[i]));
  }
}

// ------------------------------------------------------------------ palette and indices

void make_palette(const Run& run, ColorMap* cmap) {
  for (int i = 0; i < 256; i++) {
    RGB4& e = cmap->color[i];
    if (i < run.nbox) {
      const RGBColorInfo& b = run.box[i];
      e.r = static_cast<unsigned char>(b.r_pos + b.r_size / 2);
      e.g = static_cast<unsigned char>(b.g_pos + b.g_size / 2);
      e.b = static_cast<unsigned char>(b.b_pos + b.b_size / 2);
    } else {
      e.r = e.g = e.b = 0;
    }
  }
}

// Each box's colours note its index in a 4096-byte map of their cell (made for the cells
// that hold colours only); every pixel then reads its index there.
void map_pixels(const Run& run, const unsigned char* px, int64_t n, unsigned char* code) {
  auto** maps = static_cast<unsigned char**>(d_calloc(kCells, sizeof(unsigned char*)));
  for (int i = 0; i < run.nbox; i++)
    for (int64_t k = run.box[i].begin; k < run.box[i].end; k++) {
      const unsigned char* v = run.colours[k].c;
      unsigned char*& m = maps[cell_of(v[0], v[1], v[2])];
      if (!m) m = static_cast<unsigned char*>(d_alloc(4096));
      m[low_of(v[0], v[1], v[2])] = static_cast<unsigned char>(i);
    }
  for (int64_t i = 0; i < n; i++, px += 4) code[i] = maps[cell_of(px[0], px[1], px[2])][low_of(px[0], px[1], px[2])];
  for (int c = 0; c < kCells; c++) d_f_ree(maps[c]);
  d_f_ree(maps);
}

}  // namespace

int MedianCut(const unsigned char* pData, int iWidth, int iHeight, ColorMap* cmap, unsigned char* pCode, int iWorkID) {
  if (!pData || !cmap || iWorkID < 0 || iWorkID >= kMedianCutSlots || iWidth < 0 || iHeight < 0) return 0;
  const int64_t n = int64_t(iWidth) * iHeight;
  if (n > INT_MAX) return 0;
  Run run;
  run.hist = gif_histgram[iWorkID];
  for (int i = 0; i < kCells; i++) run.hist[i] = MedianCutInfo{nullptr, 0, 0};
  run.colours = nullptr;
  run.nbox = 0;  // no pixels: no box at all
  if (n > 0) {
    RGB4* lists = fill_histogram(run, pData, n);
    fold_cells(run, n);
    d_f_ree(lists);
    for (int i = 0; i < kCells; i++) run.hist[i] = MedianCutInfo{nullptr, 0, 0};
    first_box(run, n);
    cut_boxes(run);
  }
  make_palette(run, cmap);
  if (pCode && n > 0) map_pixels(run, pData, n, pCode);
  d_f_ree(run.colours);
  return -1;
}

}  // namespace tq
