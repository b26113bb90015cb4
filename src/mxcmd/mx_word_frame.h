// What every matrix word shares: how it is bound, how it finds its access token, node and
// matrix, how it reads attributes, channel numbers and data lists, the two name tables of
// access events and node states, and its error cells.
//
// A matrix word works only inside an event script: its token is the work pointer of the
// environment chain it is called in. Outside one (no work pointer) the word answers nil at
// once, reads no attribute and raises nothing. Inside, every error it raises carries the
// position of its own form and its registered name.
//
// A data list is the language form of one block value: (data dimension-code-list value),
// the value a pointer cell holding a datum (or a raw cell holding a vector's bytes). A
// result datum lives in collected memory, in a pointer cell marked with gc_text (scalars and
// vectors), gc_mx_stringv_data (string vectors, whose strings are collected too) or
// gc_mtx_block (block datums).
//
// The words hold no lock of their own: the store's calls take matrix_lock inside, and a
// node a word requests stays locked for the token until the token ends.
#pragma once
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"
#include "matrix/dim_code_list.h"
#include "matrix/matrix_node.h"
#include "matrix/matrix_token.h"
#include "platform/d_alloc.h"

namespace tq {

// One call of a matrix word.
struct MX_WORD {
  const char* name;  // the registered name: every error's function
  TQISP_ENV* env;
  TQ_SEXP* s;        // the form (evaluated arguments for order 1): every error's position
  TQ_SYM_FIELD* sf;  // the head symbol's attributes
  MATRIX_TOKEN* t;   // the running token
  MATRIX_NODE* n;    // its node
  MATRIX* m;         // the node's matrix
};
// Fills w for a call; false (w's token fields null) when env's chain has no token.
bool mx_word_open(MX_WORD* w, const char* name, TQISP_ENV* env, TQ_SEXP* s, TQ_SYM_FIELD* sf);

// Binds name in env to a primitive of that order and form length (head counted; -1: no
// maximum), without sub-environment.
void mx_bind_word(TQISP_ENV* env, const char* name, TQ_PRIM prim, int order, int min, int max);
inline constexpr int kMxEvaluated = 1;
inline constexpr int kMxSpecialForm = 0;

// ---- Attributes. The first entry of a name counts; values compare as whole texts,
// case-sensitively.
// Whether text equals the ASCII name (null text: false).
bool mx_text_is(const L_CHAR* text, const char* name);
// The value of the first attribute called name (ASCII), or null (get_sf_attribute's rule).
L_CHAR* mx_attr(const MX_WORD& w, const char* name);

// Access ids of the access event names ("MI_DEF" 0 ... "MI_VISU_2" 18); -1 for no text,
// -2 for any other name.
int get_access(const L_CHAR* name);
// Node states of the status names ("MS_OK" 2 ... "MS_EDIT_ERR_2" 6); -1 and -2 likewise.
int get_jump_status(const L_CHAR* name);

// A whole decimal text (an optional "-" and up to 18 digits, nothing else) into *v.
bool mx_decimal(const L_CHAR* text, int64_t* v);
enum : int { MX_ATTR_ABSENT = 0, MX_ATTR_OK = 1, MX_ATTR_BAD = -1 };
// The attribute `channel`: absent, a channel number of the word's matrix in *ch, or bad
// (not a whole decimal text, or outside 0 .. channel_nos - 1).
int mx_channel_attr(const MX_WORD& w, int* ch);

// ---- Dimension codes and data lists.
// A debug-heap dimension code owned for the scope of a word.
class MxDc {
 public:
  MxDc() = default;
  explicit MxDc(int64_t* dc) : dc_(dc) {}
  ~MxDc() { reset(nullptr); }
  MxDc(const MxDc&) = delete;
  MxDc& operator=(const MxDc&) = delete;
  void reset(int64_t* dc) {
    if (dc_) d_f_ree(dc_);
    dc_ = dc;
  }
  int64_t* get() const { return dc_; }
  explicit operator bool() const { return dc_ != nullptr; }

 private:
  int64_t* dc_ = nullptr;
};
// The datum a value cell holds: the record of a datum's pointer cell (marked as datums are,
// or not marked: the store's views of channel data); a raw cell's bytes when they hold a
// whole vector of a registered type (header, sizes and every element); else null.
void* mx_datum_of(TQ_SEXP* v);
// Element 1 of data list `list` as a dimension code of m into *dc (null when it has not
// dim + 1 elements) and the datum of element 2 into *d.
void mx_read_data(MATRIX* m, TQ_SEXP* list, MxDc* dc, void** d);
// (data dimension-code-list value) for the node of dc.
TQ_SEXP* mx_data_list(MATRIX* m, const int64_t* dc, TQ_SEXP* value);
// A pointer cell holding collected datum d, marked as its kind needs.
TQ_SEXP* mx_datum_cell(void* d);
// The information list (code dimension-code-list), or ("parent" code dimension-code-list).
TQ_SEXP* mx_info(MATRIX* m, int code, const int64_t* dc, bool parent = false);

// The targets of a target list of mxThinnedOut and mxMax (one data list, or a list headed
// by the symbol Children followed by data lists) into *targets; null, or the reason the
// list is refused.
const char* mx_target_list(TQ_SEXP* arg, TQ_SEXP** targets);

// ---- Nodes.
// The node of dc requested for the token with this access; the store's code in *code.
MATRIX_NODE* mx_request(const MX_WORD& w, int* code, int64_t* dc, int access);
// The dimension codes of the token node's existing children (mxTrigger's): a bit-field
// index in ascending child number, a listed index in its stored order. Null when none.
// Read from the token's node itself, which the token holds: a request for it would make the
// token wait for itself while the node is still loading.
MX_DIM_CODE_LIST* mx_children_codes(const MX_WORD& w);
// Gives n an array of channel_nos empty channels when it has none (matrix_lock held).
void _mx_node_channels(MATRIX_NODE* n);

// ---- Errors of the word, at its form.
TQ_SEXP* mx_error(const MX_WORD& w, uint32_t code, TQ_SEXP* data);
// 0x80040503 "invalid parameter in <word>", alone or leading a list with the offending
// item or a reason.
TQ_SEXP* mx_invalid(const MX_WORD& w);
TQ_SEXP* mx_invalid(const MX_WORD& w, TQ_SEXP* extra);
// 0x80030806 with data (null: none).
TQ_SEXP* mx_type_error(const MX_WORD& w, TQ_SEXP* data = nullptr);
// 0x80030806 ("type missmatch" what).
TQ_SEXP* mx_mismatch(const MX_WORD& w, TQ_SEXP* what);
// 0x80040501 ("invalid object in channel of NODE" reason info).
TQ_SEXP* mx_object_error(const MX_WORD& w, const char* reason, TQ_SEXP* info);
// 0x80040501 "invalid matrix loading".
TQ_SEXP* mx_loading_error(const MX_WORD& w);
// The store's error 0x8001160a ("Application System error" code [extra]).
TQ_SEXP* mx_store_error(const MX_WORD& w, int code, TQ_SEXP* extra);
enum : int { MX_APP_AGAIN = 1, MX_APP_DONE = 2 };  // the codes of mx_store_error
// A text cell in the default code method.
inline TQ_SEXP* mx_text(const char* text) { return n_get_string(text); }
inline TQ_SEXP* mx_int(int64_t v) { return get_integer(v, nullptr); }

}  // namespace tq
