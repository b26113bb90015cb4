// The calendar reader: iCalendar text (NAME;PARAM=VALUE:VALUE lines, BEGIN and END opening
// and closing components) read lazily from a stream into language values. A component is a
// list whose head is a symbol named by its BEGIN value and whose tail is a delayed cell;
// realising it reads the component's next line: a property, a nested component, or nil
// after its END. A property is (NAME "value") whose symbol carries the parameters as
// attributes in file order; (NAME) when the line ends before a value.
//
// Lines are consumed in file order whichever cell is inspected first: realising an outer
// component's tail first finishes the components opened inside it. All cells of a reading
// share one function-backed record, so the realisation lock serialises the threads that
// inspect them.
//
// Failures are error elements 0x80040505 with func "iCalendar parser (invalid property)"
// (data: the line's kind as an integer: 0 for a line without a colon, -1 for the end of
// the input or a read error while a component is open), "iCalendar parser (BEGIN with
// parameter)" or "iCalendar parser (END with parameter)" (data nil). Every error ends the
// reading: the stream is closed, and each cell still pending realises to nil, so a component
// cut short ends after its error.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "text/code_method.h"

namespace tq {

union STREAM;

inline constexpr int kCalBuffer = 1000;

// One open component: the delayed cell that will hold its next element.
struct TQ_CAL_STACK {
  TQ_CAL_STACK* next;  // the enclosing component's entry
  TQ_SEXP* delay;
};

// One reading, in collected memory. h is the delay function of every delayed cell of it.
struct TQ_CAL {
  DELAY_FUNC h;  // func tqcal_load, gc_func tqcal_gc
  STREAM* st;    // null once the reading has ended
  CODE_METHOD* cm;
  void* cm_work;  // null once closed
  uint8_t buffer[kCalBuffer];
  int buffer_len;
  int bptr;  // next byte of buffer to decode
  L_CHAR push_chr;
  int push_chr_flag;
  TQ_CAL_STACK* stack;  // open components, the innermost on top
  TQ_FILE* rec;         // the record every delayed cell of this reading names
};

// Reads the first line of stream (decoded with cm, UTF-8 when null) and returns its value,
// rooted in the caller's top frame: for BEGIN:VCALENDAR the component with its tail
// pending. A first line that is no BEGIN (a property, an END, an error) ends the reading at
// once. The reading owns the stream; a reading abandoned before its end has its stream
// closed by the collector. Null stream: null.
TQ_SEXP* get_cal(STREAM* stream, CODE_METHOD* cm);
// The delay function: realises one delayed cell of a reading in place and returns it.
TQ_SEXP* tqcal_load(TQ_SEXP* cell);
// Mark routines: the reading (its record and open components), a chain of stack entries.
void tqcal_gc(void* cal);
void gc_tq_cal_stack(void* entry);

}  // namespace tq
