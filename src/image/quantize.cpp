// Median-cut quantiser. Every pixel's colour is listed once in its cell of a 16 x 16 x 16
// histogram (4 bits a channel), so a split rescans only the cells its box meets, never the
// image. Boxes are cut at the median of their longest side, the box of the largest
// (longest side x bit length of its pixel count) first; each cut turns the box's leaf in a
// decision tree into a two-way split, and the tree later maps every pixel to its box.
//
// Invariants: every box is tight (its ranges are the lowest and highest values of the
// colours inside it) and holds at least one pixel; the leaves of the tree partition colour
// space, and every image colour in a leaf's region lies in that leaf's box; at most 256
// boxes, so at most 511 tree nodes.
#include "image/quantize.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

// One histogram cell: every pixel colour that falls in it, duplicates kept.
struct MedianCutInfo {
  RGB4* col;  // debug heap
  int count;  // entries used
  int size;   // entries allocated
};
constexpr int kCells = 16 * 16 * 16;
MedianCutInfo gif_histgram[kMedianCutSlots][kCells];

enum : int { kLeaf = 0, kRed = 1, kGreen = 2, kBlue = 3 };  // ColorTree::type, split channels

struct ColorTree {
  int type;              // kLeaf or the split channel
  int pos;               // split value: left holds values below it, right the rest
  ColorTree* left;
  ColorTree* right;
  int pal_index;         // a leaf's palette entry
};

// One box of colour space.
struct RGBColorInfo {
  int r_pos, g_pos, b_pos;     // lowest value per channel
  int r_size, g_size, b_size;  // highest - lowest + 1
  int64_t pixel_count;
  ColorTree* tree;  // the box's leaf
};

constexpr int kMaxBoxes = 260;
constexpr int kMaxNodes = 1024;

struct Run {
  MedianCutInfo* hist;  // the work slot's cells
  RGBColorInfo box[kMaxBoxes];
  int nbox;
  ColorTree* nodes;  // kMaxNodes, debug heap
  int nnodes;
  int64_t count[256];  // pixels per value of the split channel
};

int cell_of(int r, int g, int b) { return (r >> 4) << 8 | (g >> 4) << 4 | (b >> 4); }

int& pos_of(RGBColorInfo& i, int ch) { return ch == kRed ? i.r_pos : ch == kGreen ? i.g_pos : i.b_pos; }
int& size_of(RGBColorInfo& i, int ch) { return ch == kRed ? i.r_size : ch == kGreen ? i.g_size : i.b_size; }
int value_of(const RGB4& c, int ch) { return ch == kRed ? c.r : ch == kGreen ? c.g : c.b; }

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

bool inside(const RGB4& c, const RGBColorInfo& b) {
  return c.r >= b.r_pos && c.r < b.r_pos + b.r_size && c.g >= b.g_pos && c.g < b.g_pos + b.g_size &&
         c.b >= b.b_pos && c.b < b.b_pos + b.b_size;
}

// Calls f(colour) for every listed colour inside the box, visiting only the cells it meets.
template <typename F>
void for_each_inside(const Run& run, const RGBColorInfo& b, F f) {
  for (int r = b.r_pos >> 4; r <= (b.r_pos + b.r_size - 1) >> 4; r++)
    for (int g = b.g_pos >> 4; g <= (b.g_pos + b.g_size - 1) >> 4; g++)
      for (int bl = b.b_pos >> 4; bl <= (b.b_pos + b.b_size - 1) >> 4; bl++) {
        const MedianCutInfo& cell = run.hist[r << 8 | g << 4 | bl];
        for (int k = 0; k < cell.count; k++)
          if (inside(cell.col[k], b)) f(cell.col[k]);
      }
}

void append(MedianCutInfo& cell, const unsigned char* p) {
  if (cell.count == cell.size) {
    const int grown = cell.size * 2 + 128;
    void* n = cell.col ? d_re_alloc(cell.col, size_t(grown) * sizeof(RGB4)) : d_alloc(size_t(grown) * sizeof(RGB4));
    if (!n) er_panic("no memory!!");
    cell.col = static_cast<RGB4*>(n);
    cell.size = grown;
  }
  cell.col[cell.count++] = RGB4{p[0], p[1], p[2], 0};
}

// Lists every pixel in its cell and makes the first box span the image's colours.
void fill_histogram(Run& run, const unsigned char* px, int64_t n) {
  int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
  for (int64_t i = 0; i < n; i++, px += 4) {
    append(run.hist[cell_of(px[0], px[1], px[2])], px);
    for (int c = 0; c < 3; c++) {
      if (px[c] < lo[c]) lo[c] = px[c];
      if (px[c] > hi[c]) hi[c] = px[c];
    }
  }
  run.box[0] = RGBColorInfo{lo[0], lo[1], lo[2], hi[0] - lo[0] + 1, hi[1] - lo[1] + 1, hi[2] - lo[2] + 1, n, nullptr};
}

ColorTree* new_leaf(Run& run) {
  if (run.nnodes == kMaxNodes) er_panic("MedianCut: tree");  // 511 nodes at most
  ColorTree* t = &run.nodes[run.nnodes++];
  *t = ColorTree{kLeaf, 0, nullptr, nullptr, 0};
  return t;
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

// Narrows the box to the colours inside it.
void shrink_box(const Run& run, RGBColorInfo& b) {
  int lo[3] = {255, 255, 255}, hi[3] = {-1, -1, -1};
  for_each_inside(run, b, [&](const RGB4& c) {
    const int v[3] = {c.r, c.g, c.b};
    for (int k = 0; k < 3; k++) {
      if (v[k] < lo[k]) lo[k] = v[k];
      if (v[k] > hi[k]) hi[k] = v[k];
    }
  });
  if (hi[0] < 0) return;  // nothing inside: cannot happen for a box with pixels
  b.r_pos = lo[0], b.g_pos = lo[1], b.b_pos = lo[2];
  b.r_size = hi[0] - lo[0] + 1, b.g_size = hi[1] - lo[1] + 1, b.b_size = hi[2] - lo[2] + 1;
}

// Removes box i: the last box moves into its place.
void remove_box(Run& run, int i) { run.box[i] = run.box[--run.nbox]; }

// Cuts box i at the median of channel ch.
void split_box(Run& run, int i, int ch) {
  RGBColorInfo old = run.box[i];
  const int lo = pos_of(old, ch), hi = lo + size_of(old, ch) - 1;
  for (int v = lo; v <= hi; v++) run.count[v] = 0;
  int64_t total = 0;
  for_each_inside(run, old, [&](const RGB4& c) {
    run.count[value_of(c, ch)]++;
    total++;
  });
  remove_box(run, i);
  if (total == 0) return;
  int p = lo + 1;
  int64_t sum = run.count[lo];
  while (p < hi && 2 * sum < total) sum += run.count[p++];

  RGBColorInfo lower = old, upper = old;
  size_of(lower, ch) = p - lo;
  pos_of(upper, ch) = p;
  size_of(upper, ch) = hi - p + 1;
  lower.pixel_count = sum;
  upper.pixel_count = total - sum;
  lower.tree = new_leaf(run);
  upper.tree = new_leaf(run);
  *old.tree = ColorTree{ch, p, lower.tree, upper.tree, 0};
  shrink_box(run, lower);
  shrink_box(run, upper);
  run.box[run.nbox++] = lower;
  run.box[run.nbox++] = upper;
}

void cut_boxes(Run& run) {
  while (run.nbox < 256) {
    const int i = pick_box(run);
    if (i < 0 || median_info_maxlen(run.box[i]) < 2) return;
    split_box(run, i, median_info_maxtype(run.box[i]));
  }
}

void make_palette(Run& run, ColorMap* cmap) {
  for (int i = 0; i < 256; i++) {
    RGB4& e = cmap->color[i];
    if (i < run.nbox) {
      const RGBColorInfo& b = run.box[i];
      run.box[i].tree->pal_index = i;
      e.r = static_cast<unsigned char>(b.r_pos + b.r_size / 2);
      e.g = static_cast<unsigned char>(b.g_pos + b.g_size / 2);
      e.b = static_cast<unsigned char>(b.b_pos + b.b_size / 2);
    } else {
      e.r = e.g = e.b = 0;
    }
  }
}

void map_pixels(const Run& run, const unsigned char* px, int64_t n, unsigned char* code) {
  const ColorTree* root = &run.nodes[0];
  for (int64_t i = 0; i < n; i++, px += 4) {
    const ColorTree* t = root;
    while (t->type != kLeaf) t = px[t->type - 1] < t->pos ? t->left : t->right;
    code[i] = static_cast<unsigned char>(t->pal_index);
  }
}

void clear_slot(MedianCutInfo* hist) {
  for (int i = 0; i < kCells; i++) {
    d_f_ree(hist[i].col);
    hist[i] = MedianCutInfo{nullptr, 0, 0};
  }
}

}  // namespace

int MedianCut(const unsigned char* pData, int iWidth, int iHeight, ColorMap* cmap, unsigned char* pCode, int iWorkID) {
  if (!pData || !cmap || iWorkID < 0 || iWorkID >= kMedianCutSlots || iWidth < 0 || iHeight < 0) return 0;
  const int64_t n = int64_t(iWidth) * iHeight;
  if (n > INT_MAX) return 0;
  Run run;
  run.hist = gif_histgram[iWorkID];
  for (int i = 0; i < kCells; i++) run.hist[i] = MedianCutInfo{nullptr, 0, 0};
  run.nbox = 0;
  run.nnodes = 0;
  run.nodes = static_cast<ColorTree*>(d_alloc(kMaxNodes * sizeof(ColorTree)));
  if (n > 0) {  // no pixels: no box at all
    fill_histogram(run, pData, n);
    run.box[0].tree = new_leaf(run);
    run.nbox = 1;
    cut_boxes(run);
  }
  make_palette(run, cmap);
  if (pCode && n > 0) map_pixels(run, pData, n, pCode);
  d_f_ree(run.nodes);
  clear_slot(run.hist);
  return -1;
}

}  // namespace tq
