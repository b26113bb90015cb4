// The user's locale from LANG.
#include "util/user_locale.h"

#include <cstdlib>

#include "text/text_util.h"

namespace tq {

const char* get_locale() {
  const char* lang = std::getenv("LANG");
  return lang ? get_abstract_locale(lang) : "en";
}

}  // namespace tq
