// Helpers of the text tests: run bytes or characters through a code method directly (so
// embedded zeros and the closing sequence are seen), and write byte vectors compactly.
#pragma once
#include <string>
#include <vector>

#include "text/code_method.h"

namespace texttest {

using Bytes = std::vector<unsigned char>;
using Chars = std::vector<tq::L_CHAR>;

// Every byte through one work record, then close.
inline Chars decode(tq::CODE_METHOD* cm, const Bytes& in) {
  Chars out;
  void* w = cm->open();
  for (unsigned char b : in) {
    tq::L_CHAR ch = 0;
    if (cm->to_internal(&ch, w, b)) out.push_back(ch);
  }
  cm->close(nullptr, w);
  return out;
}

// Every character through one work record, then the closing sequence. A refused character
// is left out and counted in *refused when given.
inline Bytes encode(tq::CODE_METHOD* cm, const Chars& in, int* refused = nullptr) {
  Bytes out;
  std::vector<unsigned char> buf(size_t(cm->max_ret > cm->close_max ? cm->max_ret : cm->close_max) + 1);
  void* w = cm->open();
  for (tq::L_CHAR ch : in) {
    int n = cm->to_external(buf.data(), w, ch);
    if (n == 0 && refused) ++*refused;
    out.insert(out.end(), buf.begin(), buf.begin() + n);
  }
  int n = cm->close(buf.data(), w);
  out.insert(out.end(), buf.begin(), buf.begin() + n);
  return out;
}

inline Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline std::string hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    if (!s.empty()) s += ' ';
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

inline std::string hex(const Chars& c) {
  std::string s;
  char buf[16];
  for (tq::L_CHAR ch : c) {
    snprintf(buf, sizeof buf, "%s%X", s.empty() ? "" : " ", ch);
    s += buf;
  }
  return s;
}

}  // namespace texttest
