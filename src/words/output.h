// Output words: "PrintStd" with the numbered streams of "openPrintStd" and "closePrintStd",
// "PrintChain", "SetResultFormat" and the header words "?xml" and "?tq" ("Print" has its own
// file); and the two encoding switches that loading and saving share.
#pragma once
#include "lang/sexp.h"
#include "stream/stream.h"

namespace tq {

// Sets the stream's code method by name: the standard one when no method carries the name.
void set_encoding_st(STREAM* st, const L_CHAR* name);
// Switches the reader that s was read from to the named code method (the standard one when
// none carries the name): its converter is closed and the new one opened, so the rest of
// its input is decoded with it.
void _q_xml_encoding(TQ_SEXP* s, const L_CHAR* name);

}  // namespace tq
