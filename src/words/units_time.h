// The unit and time words: GetUnit and SetUnit read and set a number's unit text,
// ConvertUnit converts between units of the calling environment's unit environment,
// UnitSystem defines or selects unit environments, GetTQTime reads the clock.
#pragma once
#include "words/word_args.h"

namespace tq {

TQ_SEXP* tq_ConvertUnit(TQ_WORD_ARGS);
TQ_SEXP* tq_GetUnit(TQ_WORD_ARGS);
TQ_SEXP* tq_SetUnit(TQ_WORD_ARGS);
// (UnitSystem element ...): a special form; only the numbers inside System elements are
// evaluated. Nil, or an error that leaves the calling environment's unit environment as it was.
TQ_SEXP* tq_UnitSystem(TQ_WORD_ARGS);
// Seconds since 2001-01-01 UTC from the tick layer's clock (tick_now), unit "sec"; or with
// format="W3C-DTF" today's local date as "YYYY-MM-DD".
TQ_SEXP* tq_GetTQTime(TQ_WORD_ARGS);

}  // namespace tq
