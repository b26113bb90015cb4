// Datums of any element type for the tests: from the text of the golden files, and random.
#pragma once
#include <random>
#include <string>
#include <vector>

#include "mxtype_test_util.h"

namespace mxtest {

// Element at of scalar type tp from its text (decimal integers, C hexadecimal floats).
void element_from_text(tq::MDT tp, void* at, const std::string& text);
// A kind-3 datum of a scalar type: a number, or the hex bytes of a block or a string.
void* scalar_from_text(tq::MDT tp, const std::string& text);
// A kind-3 vector: numbers, the packed bytes of a bit vector, or strings in hex ("~" null,
// "=" the empty string).
void* vector_from_text(tq::MDT tp, std::vector<int> sizes, const std::vector<std::string>& values);
// A kind-3 datum of any type but the language value, of random shape and content.
void* random_datum(tq::MDT tp, std::mt19937_64& rng);
// Element i of a string vector, and its replacement by a debug-heap copy (null for null).
const char* string_element(void* v, int64_t i);
void set_string_element(void* v, int64_t i, const char* s);

}  // namespace mxtest
