// The user's locale as the system's abstract locale name.
#pragma once

namespace tq {

// The abstract locale of LANG ("ja" for "ja_JP" and "ja", else "en"), or "en" when LANG is
// not set.
const char* get_locale();

}  // namespace tq
