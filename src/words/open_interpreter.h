// Opening interpreters from scripts: "OpenInterpreter" builds an interpreter record of any
// kind a script may open, fills it through its option words and hands it to the runtime's
// set-up; "Permission" with its rule words "Allow" and "Deny" gives a listener the lists
// that admit its peers. init_OpenInterpreter (words/registrars.h) binds them.
#pragma once
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"

namespace tq {

// (OpenInterpreter kind environment option-form ...): the new interpreter's id. The option
// forms are evaluated where the option words are visible; the first error ends the word
// before set-up and the record is released.
TQ_SEXP* tq_OpenInterpreter(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV* a, TQ_SYM_FIELD* sf, TQISP_ENV* sp_env);

// An address of an access rule or of the "IP" option from a dotted text: the 32-bit value
// whose most significant byte is the first octet, as the runtime keeps peer addresses and
// rules. An unreadable text gives 0xffffffff, as inet_addr does.
uint32_t dotted_address(const char* text);

}  // namespace tq
