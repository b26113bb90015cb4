// In-memory JPEG on libjpeg-turbo: a destination that grows its malloc'd buffer, a source
// over the caller's block that ends in an end-of-image marker, and an error manager that
// jumps back to the call, which then frees what it holds and answers null.
//
// libjpeg-turbo has no 4-byte RGB: pixels go in as RGBX and come out of the library as
// RGBX, of which bytes 0..2 are copied. Each setjmp sits in a small function whose own
// locals are not changed after it; everything a jump must find lives in the caller's
// records, reached through pointers.
#include "image/jpeg_glue.h"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/quantize.h"

namespace tq {

namespace {

struct my_error_mgr {
  jpeg_error_mgr pub;
  jmp_buf back;  // where a library error returns to
};

[[noreturn]] void my_error_exit(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<my_error_mgr*>(cinfo->err)->back, 1);
}

// ---------------------------------------------------------------- encoding

// The output buffer, owned by jpeg_compress's frame so that it survives a jump.
struct JpegOut {
  unsigned char* buf;  // malloc'd, or null
  size_t cap;          // bytes allocated
};

struct my_destination_mgr {
  jpeg_destination_mgr pub;
  JpegOut* out;
  size_t first_cap;  // size of the first buffer
};

my_destination_mgr* dest_of(j_compress_ptr cinfo) { return reinterpret_cast<my_destination_mgr*>(cinfo->dest); }

void init_destination(j_compress_ptr cinfo) {
  my_destination_mgr* d = dest_of(cinfo);
  d->out->buf = static_cast<unsigned char*>(malloc(d->first_cap));
  if (!d->out->buf) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
  d->out->cap = d->first_cap;
  d->pub.next_output_byte = d->out->buf;
  d->pub.free_in_buffer = d->first_cap;
}

// The whole buffer is full: double it, up to what an int length can report.
boolean empty_output_buffer(j_compress_ptr cinfo) {
  my_destination_mgr* d = dest_of(cinfo);
  const size_t old = d->out->cap;
  if (old >= size_t(INT_MAX)) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 2);
  const size_t grown = old * 2 > size_t(INT_MAX) ? size_t(INT_MAX) : old * 2;
  auto* n = static_cast<unsigned char*>(realloc(d->out->buf, grown));
  if (!n) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 3);
  d->out->buf = n;
  d->out->cap = grown;
  d->pub.next_output_byte = n + old;
  d->pub.free_in_buffer = grown - old;
  return TRUE;
}

void term_destination(j_compress_ptr) {}

void jpeg_memory_dest(j_compress_ptr cinfo, JpegOut* out, size_t first_cap) {
  if (!cinfo->dest)
    cinfo->dest = static_cast<jpeg_destination_mgr*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(my_destination_mgr)));
  my_destination_mgr* d = dest_of(cinfo);
  d->pub.init_destination = init_destination;
  d->pub.empty_output_buffer = empty_output_buffer;
  d->pub.term_destination = term_destination;
  d->out = out;
  d->first_cap = first_cap;
}

size_t get_jpeg_compressed_size(j_compress_ptr cinfo) { return dest_of(cinfo)->out->cap - cinfo->dest->free_in_buffer; }

// Everything a jump back must find lives here, in the caller's frame.
struct CompressJob {
  const unsigned char* data;
  int width, height, quality;
  JpegOut out;
  size_t length;  // bytes written, once done
  jpeg_compress_struct cinfo;
  my_error_mgr err;
};

// 1 when the stream is complete in job->out; 0 after a library error.
int run_compress(CompressJob* job) {
  jpeg_compress_struct* c = &job->cinfo;
  c->err = jpeg_std_error(&job->err.pub);
  job->err.pub.error_exit = my_error_exit;
  if (setjmp(job->err.back)) {
    jpeg_destroy_compress(c);
    return 0;
  }
  jpeg_create_compress(c);
  if (job->width <= 0 || job->height <= 0) ERREXIT(c, JERR_EMPTY_IMAGE);
  // One raw image's worth to start with; small images, whose markers and tables alone
  // outgrow it, double it as they go.
  const uint64_t raw = uint64_t(job->width) * uint64_t(job->height) * 4;
  jpeg_memory_dest(c, &job->out, size_t(raw > uint64_t(INT_MAX) ? uint64_t(INT_MAX) : raw));
  c->image_width = JDIMENSION(job->width);  // the library refuses sides past 65500
  c->image_height = JDIMENSION(job->height);
  c->input_components = 4;
  c->in_color_space = JCS_EXT_RGBX;
  jpeg_set_defaults(c);
  jpeg_set_quality(c, job->quality, TRUE);
  jpeg_start_compress(c, TRUE);
  const size_t row_bytes = size_t(job->width) * 4;
  while (c->next_scanline < c->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(job->data + size_t(c->next_scanline) * row_bytes);  // only read
    jpeg_write_scanlines(c, &row, 1);
  }
  jpeg_finish_compress(c);
  job->length = get_jpeg_compressed_size(c);
  jpeg_destroy_compress(c);
  return 1;
}

// ---------------------------------------------------------------- decoding

struct mlibjpg_source_mgr {
  jpeg_source_mgr pub;
  const JOCTET* stream;
  size_t size;
  boolean start_of_file;  // nothing handed out yet
  boolean ended;          // the block is used up: only end-of-image markers now
};

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

mlibjpg_source_mgr* src_of(j_decompress_ptr cinfo) { return reinterpret_cast<mlibjpg_source_mgr*>(cinfo->src); }

void init_source(j_decompress_ptr cinfo) { src_of(cinfo)->start_of_file = TRUE; }

// Hands out the block once; after that the stream has ended early, and an end-of-image
// marker (with the library's warning) lets the library finish instead of asking again.
boolean fill_input_buffer(j_decompress_ptr cinfo) {
  mlibjpg_source_mgr* s = src_of(cinfo);
  if (s->start_of_file && s->size > 0) {
    s->pub.next_input_byte = s->stream;
    s->pub.bytes_in_buffer = s->size;
  } else {
    if (!s->start_of_file) WARNMS(cinfo, JWRN_JPEG_EOF);
    s->pub.next_input_byte = kEndOfImage;
    s->pub.bytes_in_buffer = sizeof kEndOfImage;
    s->ended = TRUE;
  }
  s->start_of_file = FALSE;
  return TRUE;
}

// A skip past the end of the block stops at the end-of-image marker, which stays to be read.
void skip_input_data(j_decompress_ptr cinfo, long n) {
  if (n <= 0) return;
  jpeg_source_mgr* p = cinfo->src;
  while (size_t(n) > p->bytes_in_buffer) {
    if (src_of(cinfo)->ended) return;
    n -= long(p->bytes_in_buffer);
    fill_input_buffer(cinfo);
  }
  p->next_input_byte += n;
  p->bytes_in_buffer -= size_t(n);
}

void term_source(j_decompress_ptr) {}

void jpeg_memory_src(j_decompress_ptr cinfo, const void* stream, size_t stream_size) {
  if (!cinfo->src)
    cinfo->src = static_cast<jpeg_source_mgr*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(mlibjpg_source_mgr)));
  mlibjpg_source_mgr* s = src_of(cinfo);
  s->pub.init_source = init_source;
  s->pub.fill_input_buffer = fill_input_buffer;
  s->pub.skip_input_data = skip_input_data;
  s->pub.resync_to_restart = jpeg_resync_to_restart;
  s->pub.term_source = term_source;
  s->pub.bytes_in_buffer = 0;
  s->pub.next_input_byte = nullptr;
  s->stream = static_cast<const JOCTET*>(stream);
  s->size = stream_size;
  s->ended = FALSE;
}

// The colour spaces the loader accepts, with the component counts it requires.
enum class Space { kNone, kRgb, kCmyk, kGrey };

Space space_of(const jpeg_decompress_struct& c) {
  if (c.out_color_space == JCS_RGB && c.num_components == 3) return Space::kRgb;
  if (c.out_color_space == JCS_CMYK && c.num_components == 4) return Space::kCmyk;
  if (c.out_color_space == JCS_GRAYSCALE && c.num_components == 1) return Space::kGrey;
  return Space::kNone;
}

// One decoded line of the library into the caller's line (which the library's buffer
// never overlaps).
void put_line(Space space, const JSAMPLE* __restrict in, unsigned char* __restrict wp, JDIMENSION width) {
  switch (space) {
    case Space::kRgb:  // RGBX from the library; byte 3 of wp is not written
      for (JDIMENSION i = 0; i < width; i++, in += 4, wp += 4) {
        wp[0] = in[0];
        wp[1] = in[1];
        wp[2] = in[2];
      }
      break;
    case Space::kCmyk:
      for (JDIMENSION i = 0; i < width; i++, in += 4, wp += 4) {
        const unsigned k = in[3];
        wp[0] = static_cast<unsigned char>(in[0] * k / 255);
        wp[1] = static_cast<unsigned char>(in[1] * k / 255);
        wp[2] = static_cast<unsigned char>(in[2] * k / 255);
      }
      break;
    case Space::kGrey:
      memcpy(wp, in, width);
      break;
    case Space::kNone:
      break;
  }
}

// Everything a jump back must find lives here, in the caller's frame.
struct LoadJob {
  const void* memory;
  size_t size;
  LoadJPGHeaderCallback header_callback;
  LoadJPGReadCallback read_callback;
  void* data;
  bool whole_pixels;  // RGB lines may be written whole by the library, byte 3 then set to 0
  jpeg_decompress_struct cinfo;
  my_error_mgr err;
};

// Asks the header callback; 0 when the image is refused or its colour space not taken.
int offer_header(LoadJob* job, Space space) {
  jpeg_decompress_struct& c = job->cinfo;
  LoadJPGInfo info{int(c.image_width), int(c.image_height), 0, 0, nullptr};
  RGB4* palette = nullptr;
  if (space == Space::kRgb || space == Space::kCmyk) info.bpp = 24;
  if (space == Space::kGrey) {
    palette = static_cast<RGB4*>(malloc(256 * sizeof(RGB4)));
    if (!palette) return 0;
    for (int i = 0; i < 256; i++) palette[i] = RGB4{uint8_t(i), uint8_t(i), uint8_t(i), 0};
    info.bpp = 8;
    info.num_palette = 256;
    info.palette = palette;
  }
  if (info.bpp != 0 && !job->header_callback(&info, job->data)) info.bpp = 0;
  free(palette);  // the callback copied what it keeps
  return info.bpp != 0;
}

int run_load(LoadJob* job) {
  jpeg_decompress_struct* c = &job->cinfo;
  c->err = jpeg_std_error(&job->err.pub);
  job->err.pub.error_exit = my_error_exit;
  if (setjmp(job->err.back)) {
    jpeg_destroy_decompress(c);
    return 0;
  }
  jpeg_create_decompress(c);
  jpeg_memory_src(c, job->memory, job->size);
  jpeg_read_header(c, TRUE);
  const Space space = space_of(*c);
  if (!offer_header(job, space)) {
    jpeg_destroy_decompress(c);
    return 0;
  }
  if (space == Space::kRgb) c->out_color_space = JCS_EXT_RGBX;  // the library's 4-byte pixels
  jpeg_start_decompress(c);
  JSAMPARRAY buffer = (*c->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(c), JPOOL_IMAGE,
                                              c->output_width * JDIMENSION(c->output_components), 1);
  const bool direct = space == Space::kRgb && job->whole_pixels;
  while (c->output_scanline < c->output_height) {
    unsigned char* wp = job->read_callback(int(c->output_scanline), job->data);
    if (!wp) break;
    JSAMPROW line = direct ? wp : buffer[0];
    jpeg_read_scanlines(c, &line, 1);
    if (direct) {  // the library wrote RGBX with X = 255
      for (JDIMENSION i = 0; i < c->output_width; i++) wp[size_t(i) * 4 + 3] = 0;
    } else {
      put_line(space, line, wp, c->output_width);
    }
  }
  if (c->output_scanline < c->output_height)
    jpeg_abort_decompress(c);  // the caller stopped early: nothing more to check
  else
    jpeg_finish_decompress(c);
  jpeg_destroy_decompress(c);
  return 1;
}

// jpeg_uncompress's state shared with its two callbacks.
struct CallbackInfo {
  unsigned char* dib;  // width * height pixels of 4 bytes, calloc'd
  int width, height;
};

int HeaderCallback(LoadJPGInfo* info, void* data) {
  auto* ci = static_cast<CallbackInfo*>(data);
  if (info->bpp != 24) return 0;
  const uint64_t bytes = uint64_t(info->width) * uint64_t(info->height) * 4;
  if (bytes == 0 || bytes > uint64_t(INT_MAX)) return 0;
  ci->dib = static_cast<unsigned char*>(calloc(1, size_t(bytes)));
  ci->width = info->width;
  ci->height = info->height;
  return ci->dib != nullptr;
}

unsigned char* ReadCallback(int line_number, void* data) {
  auto* ci = static_cast<CallbackInfo*>(data);
  return ci->dib + size_t(ci->width) * size_t(line_number) * 4;
}

}  // namespace

unsigned char* jpeg_compress(int* ret_jpeg_length, const unsigned char* rgb_32bit_data, int image_width,
                             int image_height, int quality) {
  *ret_jpeg_length = 0;
  if (!rgb_32bit_data) return nullptr;
  CompressJob job{};
  job.data = rgb_32bit_data;
  job.width = image_width;
  job.height = image_height;
  job.quality = quality;
  if (!run_compress(&job)) {
    free(job.out.buf);
    return nullptr;
  }
  *ret_jpeg_length = int(job.length);
  return job.out.buf;
}

namespace {

int load_jpg(const void* memory, int memory_size, LoadJPGHeaderCallback header_callback,
             LoadJPGReadCallback read_callback, void* data, bool whole_pixels) {
  if (!header_callback || !read_callback) return 0;
  LoadJob job{};
  job.memory = memory;
  job.size = memory && memory_size > 0 ? size_t(memory_size) : 0;
  job.header_callback = header_callback;
  job.read_callback = read_callback;
  job.data = data;
  job.whole_pixels = whole_pixels;
  return run_load(&job);
}

}  // namespace

int LoadJPGFromMemory(const void* memory, int memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void* data) {
  return load_jpg(memory, memory_size, header_callback, read_callback, data, false);
}

unsigned char* jpeg_uncompress(int* ret_width, int* ret_height, const unsigned char* jpeg_data, int jpeg_length) {
  CallbackInfo info{nullptr, 0, 0};
  // The pixel buffer is ours: the library may decode straight into it.
  const int ok = load_jpg(jpeg_data, jpeg_length, HeaderCallback, ReadCallback, &info, true);
  *ret_width = info.width;
  *ret_height = info.height;
  if (!ok) {
    free(info.dib);
    return nullptr;
  }
  return info.dib;
}

}  // namespace tq
