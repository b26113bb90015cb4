// Coordinate units: a small fixed table of length and resolution units with their rates,
// and the record that names a coordinate system's unit. The word library keeps them; the
// unit environments above do the conversions.
#include <string_view>

#include "lang/unit.h"
#include "platform/d_alloc.h"
#include "text/l_string.h"

namespace tq {

const CU_TABLE tbl[3] = {
    {"length", {{"inch", 39.37007874015748}, {"mm", 1000}, {"cm", 100}, {"m", 1}, {"km", -1000}, {"", 0}}},
    {"resolution", {{"dpi", 0.0254}, {"dot/cm", -100}, {"dot/m", 1}, {"dot/km", 1000}, {"", 0}}},
    {"", {{"", 0}}},
};

void zero_c_unit(COORDINATE_UNIT* u) { *u = COORDINATE_UNIT{}; }

void free_c_unit(COORDINATE_UNIT* u) {
  if (u->system) d_f_ree(u->system);
  if (u->unit) d_f_ree(u->unit);
  if (u->url) d_f_ree(u->url);
}

L_CHAR* reso_c_unit_str(const L_CHAR* text) {
  static constexpr char kInverse[] = "^-1";
  const int n = text ? l_strlen(text) : 0;
  auto* out = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(n + 4)));
  for (int i = 0; i < n; ++i) out[i] = text[i];
  for (int i = 0; i < 4; ++i) out[n + i] = L_CHAR(kInverse[i]);
  set_buffer(out);
  return out;
}

L_CHAR* reso_c_unit(const COORDINATE_UNIT* u) { return reso_c_unit_str(u->unit); }

int table_search(int* group, const char* name) {
  if (!name) return -1;
  for (int g = 0; tbl[g].system[0]; ++g) {
    for (int i = 0; i < 10 && tbl[g].unit[i].name[0]; ++i) {
      if (std::string_view(tbl[g].unit[i].name) == name) {
        *group = g;
        return i;
      }
    }
  }
  return -1;
}

int standard_unit(int group) {
  if (group < 0 || group >= 3 || !tbl[group].system[0]) return -1;
  for (int i = 0; i < 10 && tbl[group].unit[i].name[0]; ++i)
    if (tbl[group].unit[i].rate == 1.0) return i;
  return -1;
}

}  // namespace tq
