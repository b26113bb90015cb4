// Typed fields of point-list plots: the one-byte field type (high four bits the kind, low
// four bits its mode), the field record, the ten operations of each kind in
// `field_type_tbl`, the options that describe how a field column is filled, and the
// operations on whole field arrays that the plot-list algorithms use.
//
// A field array is a contiguous run of IP_FIELD entries whose entry 0 carries the count in
// `len`. Values live in an arena (SIMPLE_ALLOC_T, freed all at once) when an operation is
// given one, else on the debug heap; merge and diff always use the debug heap.
//
// Fields come from stored point-list code, so two fields that cannot be combined (different
// kinds at one position, string modes without a rule, integer fields of two modes) are not
// a broken invariant of the program: the combining operations refuse them with
// PP_FIELD_KIND and leave nothing allocated. Encoding a type byte outside the nine valid
// ones is the program's own fault (such fields are never decoded) and ends the process.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "platform/d_alloc.h"
#include "text/code_method.h"

namespace tq {

// The valid type bytes.
enum : uint8_t {
  FD_NONE = 0x10,
  FD_STRING = 0x20,
  FD_STRING_INHERIT = 0x21,  // no value: the parent's applies (differences only)
  FD_STRING_ERASE = 0x22,    // no value
  FD_INT = 0x30,             // an option's merge type only
  FD_INT_ADD = 0x31,
  FD_INT_AVG = 0x32,         // value and count, merged by weight
  FD_INT_MAX = 0x33,
  FD_INT_MIN = 0x34,
  FD_RGBA = 0x40,
};
// Kinds (rows of field_type_tbl): the type byte shifted right by 4.
enum : int { FD_KIND_NONE = 1, FD_KIND_STRING = 2, FD_KIND_INT = 3, FD_KIND_RGBA = 4, FD_KINDS = 5 };
inline int fd_kind(unsigned type) { return int(type >> 4); }
// Whether type is one of the nine type bytes point-list code may carry (48 is not).
bool fd_code_type(unsigned type);

// Results of the operations that combine plots and fields.
enum : int { PP_OK = 0, PP_FIELD_KIND = -1, PP_PLOT_ORDER = -2, PP_BAD_CODE = -3 };

struct FIELD_RGBA_T {
  uint8_t rgba[4];  // in stored order
  int64_t count;    // weight
};

struct IP_FIELD {
  uint32_t type : 8;  // the type byte
  uint32_t len : 24;  // entry 0 of an array: the number of entries
  union {
    char* str;           // 32: the text, NUL-terminated
    int64_t* i;          // 49, 51, 52: the value; 50: the value then the count
    FIELD_RGBA_T* rgba;  // 64
    void* p;
  } d;                   // null for 16, 33, 34
};

// ---- Field options: one per field column, chained, in collected memory.
union FD_OPT;
struct FD_OPT_HEADER {
  FD_OPT* next;
  int csv_label;        // carried for the code that builds options
  int dim;
  int target_label;     // carried for the code that builds options
  uint8_t merge_type;   // the type byte fields made with this option receive
  TQ_SEXP* init_sexp;   // the column's initial value expression, or null
};
struct FD_NONE_OPT {
  FD_OPT_HEADER h;
};
struct FD_STR_OPT {
  FD_OPT_HEADER h;
  TQ_SEXP* convert;     // evaluated with "___convert" bound to the value, or null
  CODE_METHOD* cm;      // of the text
};
enum : int { FD_IT_INT = 1, FD_IT_FLOAT = 2, FD_IT_DD = 3, FD_IT_DDMMSS = 4 };  // FD_INT_OPT.type
struct FD_INT_OPT {
  FD_OPT_HEADER h;
  int type;             // FD_IT_*
  double reso;          // scale
  int64_t offset;
  int64_t count;        // initial weight
};
struct FD_RGBA_OPT {
  FD_OPT_HEADER h;
  int64_t count;        // initial weight
};
union FD_OPT {
  FD_OPT_HEADER h;
  FD_NONE_OPT none;
  FD_STR_OPT str;
  FD_INT_OPT i;
  FD_RGBA_OPT rgba;
};
struct MATRIX;
struct FD_OPT_PTR {
  FD_OPT* opt;          // the first option of a chain
  MATRIX* m;
  int last_label;
  int startline;
};

// The operations of one kind. The combining ones (merge, diff, add) set dest's type byte
// and value and answer 0 or PP_FIELD_KIND (dest then holds no value).
struct FIELD_TYPE {
  // With a target, fills it from data; without, parses the option list data into opt.
  int (*initial)(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
  void (*copy)(IP_FIELD* d1, const IP_FIELD* d2, SIMPLE_ALLOC_T* sat);  // deep copy
  int (*merge)(IP_FIELD* dest, const IP_FIELD* src1, const IP_FIELD* src2);
  int (*diff)(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* down);
  int (*add)(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* sat);
  // p at the field's type byte in code, end past the code's last byte: the address past the
  // value, or null when the value is cut by end. With dest the value is stored in it (the
  // caller sets its type byte); without, it is only skipped.
  const uint8_t* (*to_internal)(IP_FIELD* dest, const uint8_t* p, const uint8_t* end, SIMPLE_ALLOC_T* sat);
  // p just past the type byte (the caller writes it): writes the value, returns the end.
  uint8_t* (*to_external)(const IP_FIELD* src, uint8_t* p);
  int (*size)(const IP_FIELD* f);  // the bytes to_external writes
  int (*cmp)(const IP_FIELD* a, const IP_FIELD* b);  // -1, 0, 1
  void (*gc)(FD_OPT* opt);  // marks what the kind's option refers to; null when nothing
};
// Row 0 (kind 0) is empty; rows 1..4 none, string, integer, colour.
extern const FIELD_TYPE field_type_tbl[FD_KINDS];
// The kind row of a type byte, or null for kind 0 and kinds above 4.
const FIELD_TYPE* fd_row(unsigned type);

// The `initial` of each kind (pp_field_initial.cpp).
int fd_initial_none(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
int fd_initial_str(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
int fd_initial_int(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
int fd_initial_rgba(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
void fd_gc_str(FD_OPT* opt);

// A piece of size bytes from the arena, or (sat null) from the debug heap at file, line.
void* pp_alloc(SIMPLE_ALLOC_T* sat, size_t size, const char* file, int line);

// ---- Field arrays.
// A zeroed array of n entries (room for one at least), entry 0's len n.
IP_FIELD* xx_new_fields(int n, SIMPLE_ALLOC_T* sat, const char* file, int line);
// A new array of fd's count (arena, or debug heap at file, line) of copies; null for null.
IP_FIELD* xx_copy_fields(const IP_FIELD* fd, SIMPLE_ALLOC_T* sat, const char* file, int line);
#define copy_fields(fd, sat) ::tq::xx_copy_fields((fd), (sat), __FILE__, __LINE__)
// Frees every value and the array (debug heap only); null does nothing.
void free_fields(IP_FIELD* fd);
// Re-attributes the array and its values to file, line in the debug heap's statistics.
void xx_change_st_fields(IP_FIELD* fd, const char* file, int line);
inline int fields_count(const IP_FIELD* fd) { return fd ? int(fd[0].len) : 0; }
// The fields of a plot standing for two (debug heap): the longer array's length; at each
// position a none entry gives way to the other, else the kind's merge(short, long); both
// null give null, one null a copy of the other. Sets 0x08 in *flags when both are given.
// Entries of different kinds write "MF %x %x\n" (the shorter's and the longer's type) and
// fail: null with *err PP_FIELD_KIND (else *err is PP_OK).
IP_FIELD* merge_fields(uint8_t* flags, const IP_FIELD* fd1, const IP_FIELD* fd2, int* err);
// What added to up gives down (debug heap), down's length: a none entry on either side, or
// a position past up's entries, copies down's entry. Kinds that differ write "MF %x %x\n"
// (up's and down's type) and fail as merge_fields does.
IP_FIELD* diff_fields(const IP_FIELD* down, const IP_FIELD* up, int* err);

// A copy of str (arena or debug heap); null gives null.
char* sat_copy_str(const char* str, SIMPLE_ALLOC_T* sat);
// Degrees-minutes-seconds: the split by 60 and the recombination cancel, so values pass
// through unchanged.
int64_t ddmmss_int(int64_t d);
double ddmmss_float(double d);

// Mark routines of the option records (collected memory).
void gc_fd_opt(void* opt);
void gc_fd_opt_ptr(void* p);

}  // namespace tq
