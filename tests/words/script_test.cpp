// The words' script tables: tests/words/scripts/THEME.tq with the exact replies in THEME.out.
#include <string>

#include "support/script_suite.h"

TQTEST_SCRIPT_SUITE(WordScript, std::string(TQ_SOURCE_DIR) + "/tests/words/scripts");
