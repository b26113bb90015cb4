// Text conversion between byte strings and L_CHAR strings, and who owns each result: the
// calling thread's ring of 50 temporaries, the process-long cache of constant conversions,
// or the debug heap; and the L_CHAR string functions. Copies into collected memory (the
// *_mstr forms) belong to the language core.
#pragma once
#include <cstddef>
#include <cstdint>

#include "text/code_method.h"
#include "text/l_char.h"

namespace tq {

// ---- Temporaries. A temporary stays valid until the same thread has registered 50 more,
// or its task function returns; a caller that keeps a result copies it. Only tasks have a
// ring: a raw thread (made by _create_task) must not make temporaries.

inline constexpr int kTempRing = 50;

// Registers a debug-heap block as a temporary of the calling task, freeing the block its
// slot held. A null block only frees the slot's old block.
void xx_set_buffer(void* buf, const char* _file, int _line);
#define set_buffer(buf) ::tq::xx_set_buffer((buf), __FILE__, __LINE__)

// A byte string of static storage duration: the only text _l_string_2 accepts, since its
// cache is keyed by the text's address. The constructor runs at compile time and reads the
// text, so a runtime buffer (whose content may change) does not compile.
class ConstText {
 public:
  consteval ConstText(const char* s) : str_(s) {  // NOLINT: implicit from literals on purpose
    while (*s) ++s;  // reading it proves the text is a constant
  }
  const char* str() const { return str_; }

 private:
  const char* str_;
};

// Converts a NUL-terminated byte string to a new L_CHAR string (a temporary); null gives null.
L_CHAR* _l_string_1(CODE_METHOD* cm, const char* str);
// The conversion of a constant text, made once per (method, text address) and kept for the
// process; every call returns the same pointer. Must not be written through.
L_CHAR* _l_string_2(CODE_METHOD* cm, ConstText str);
// Converts an L_CHAR string to a NUL-terminated byte string (a temporary); a character cm
// cannot write becomes "&Cx%x;". Null gives null.
char* n_string(CODE_METHOD* cm, const L_CHAR* lstr);

// ---- L_CHAR strings (both arguments present).
int l_strlen(const L_CHAR* s);
L_CHAR* l_strcpy(L_CHAR* d, const L_CHAR* s);
// -1, 0 or 1, comparing characters as signed 32-bit values (tagged characters sort first).
int l_strcmp(const L_CHAR* str1, const L_CHAR* str2);
int cmp_part(const L_CHAR* target, const L_CHAR* data);  // 1 when data occurs in target

// ---- Copies on the debug heap, recording the caller's site; the caller frees them.
char* xx_copy_str(const char* s, const char* file, int line);                       // s not null
L_CHAR* xx_ll_copy_str(const L_CHAR* s, const char* file, int line);                // null stays null
char* xx_ln_copy_str(CODE_METHOD* cm, const L_CHAR* s, const char* file, int line); // null stays null
L_CHAR* _xx_nl_copy_str_1(CODE_METHOD* cm, const char* s, const char* file, int line);
L_CHAR* _xx_nl_copy_str_2(CODE_METHOD* cm, ConstText s, const char* file, int line);
#define copy_str(s) ::tq::xx_copy_str((s), __FILE__, __LINE__)
#define ll_copy_str(s) ::tq::xx_ll_copy_str((s), __FILE__, __LINE__)
#define ln_copy_str(cm, s) ::tq::xx_ln_copy_str((cm), (s), __FILE__, __LINE__)
#define nl_copy_str_1(cm, s) ::tq::_xx_nl_copy_str_1((cm), (s), __FILE__, __LINE__)
#define nl_copy_str_2(cm, s) ::tq::_xx_nl_copy_str_2((cm), (s), __FILE__, __LINE__)

}  // namespace tq
