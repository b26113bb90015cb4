// The sample open hook of map-like file matrices and its six event scripts.
#include "matrix/mxmap_open.h"

#include "interp/script_start.h"
#include "lang/gc.h"
#include "matrix/matrix.h"
#include "matrix/matrix_open.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_data.h"
#include "matrix/mx_file_header.h"
#include "matrix/mx_node_record.h"
#include "mxtype/mx_type.h"
#include "text/code_method.h"

namespace tq {

namespace {

// A piece of a script: text, or a number (dest_dim times `dest` plus `add`).
struct Piece {
  const char* text;
  int dest;
  int add;
};
constexpr Piece T(const char* s) { return {s, 0, 0}; }
constexpr Piece N(int v) { return {nullptr, 0, v}; }
constexpr Piece kDestDim{nullptr, 1, 0};
constexpr Piece kDestDim12{nullptr, 1, 12};

constexpr Piece kScript1[] = {
    T("<If> (= create-node \"enable\") <Then>\n"), T("\t<mxFinish\n"), T("\t\tnormal-jump-status=\"MS_OK\"\n"),
    T("\t\terr-jump-status=\"MS_OK\"/>\n"), T("</Then><Else>\n"), T("\t<mxFinish\n"),
    T("\t\tnormal-jump-status=\"MS_OK\"\n"), T("\t\terr-jump-status=\"MS_PROCESS_ERR_1\"/>\n"),
    T("</Else></If>\n"), T("<mxLoad target=\"file\"/>\n"),
};
constexpr Piece kScript2Edit1[] = {
    T("<mxFinish\n"), T("\tnormal-jump-status=\"MS_OK\"\n"), T("\terr-jump-status=\"MS_EDIT_ERR_1\"/>\n"),
    T("<mxTrigger type=\"parent\"/>\n"),
};
constexpr Piece kScript2Edit2[] = {
    T("<mxFinish\n"), T("\tnormal-jump-status=\"MS_OK\"\n"), T("\terr-jump-status=\"MS_EDIT_ERR_2\"/>\n"),
    T("<mxTrigger type=\"parent\"/>\n"),
};
constexpr Piece kScript3[] = {
    T("<mxFinish\n"), T("\tnormal-jump-status=\"MS_OK\"\n"), T("\terr-jump-status=\"MS_EDIT_ERR_1\"/>\n"),
    T("<Let>\n"), T("<Sub>\n"), T("\t<cnt> "), kDestDim, T(" </cnt>\n"), T("\t<ch> "), N(12), T(" </ch>\n"),
    T("</Sub>\n"), T("<mxSet> "), N(9), T(" \t\t([mxThinnedOut type=\"representative\"\n"), T("\t\t\tchannel=\""),
    N(9), T("\"]\n"), T("\t\t([mxCH type=\"children\"] \n"), N(9), T("))\n"), T("</mxSet>"),
    T("<For dec=\"cnt\">"), T("\t<mxSet> ^ch ([mxThinnedOut type=\"representative\"\n"),
    T("\t\t\tchannel=\"^ch\"] \n"), T("\t\t\t([mxCH type=\"children\"] ch))\n"), T("\t</mxSet>\n"),
    T("\t<set> ^ch (+ ch 1) </set>\n"), T("</For>\n"), T("</Let>\n"), T("<mxTrigger type=\"parent\"/>\n"),
};
constexpr Piece kScript4[] = {
    T("<mxFinish\n"), T("\tnormal-jump-status=\"MS_OK\"\n"), T("\terr-jump-status=\"MS_EDIT_ERR_1\"/>\n"),
    T("<Let>\n"), T("<Sub>\n"), T("\t<cnt> "), kDestDim, T(" </cnt>\n"), T("\t<ch> "), N(12), T(" </ch>\n"),
    T("</Sub><mxSet> "), N(9), T(" \t\t([mxThinnedOut type=\"representative\"\n"), T("\t\t\tchannel=\""), N(9),
    T("\"]\n"), T("\t\t([mxCH type=\"children\"] \n"), N(9), T("))\n"), T("</mxSet>\n"),
    T("<For dec=\"cnt\">\t<mxSet> ^ch ([mxThinnedOut type=\"representative\"\n"),
    T("\t\t\tchannel=\"^ch\"] \t\t\t([mxCH type=\"children\"] ch))\n"), T("\t</mxSet>\n"),
    T("\t<set> ^ch (+ ch 1) </set>\n"), T("</For>\n"), T("</Let>\n"),
};
constexpr Piece kScript5[] = {
    T("<mxFinish\n"), T("\tnormal-jump-status=\"MS_OK\"\n"), T("\terr-jump-status=\"MS_EDIT_ERR_2\"/>\n"),
    T("<Let>\n"), T("<Sub>\n"), T("\t<cnt> (- max_levels this_level) </cnt>\n"), T("\t<ch> (+ \n"), kDestDim12,
    T(" this_level) </ch>\n"), T("\t<cnt2> \n"), kDestDim, T(" </cnt2>\n"), T("\t<ch2>\n"), N(12),
    T(" </ch2>\n"), T("\t<ret> () </ret>\n"),
    T("</Sub><For dec=\"cnt\">\t<mxSet> ^ch (mxMax ([mxCH type=\"children\"] ch))\n"), T("\t</mxSet>\n"),
    T("\t<set> ^ch (+ ch 1) </set>\n"), T("</For>\n"), T("<mxSet> \n"), N(10), T("\t(mxCH (+ \n"), kDestDim12,
    T(" this_level))\n"), T("</mxSet>\n"), T("<set> ^ret (cons (mxCH \n"), N(10), T(") ()) </set>\n"),
    T("<For dec=\"cnt2\">\n"), T("\t<Define> ^d (mxSquash (mxCH ch2)) </Define>\n"),
    T("\t<mxSet> ^ch2 ^d </mxSet>\n"), T("\t<set> ^ret (cons d ret) </set>\n"),
    T("\t<set> ^ch2 (+ ch2 1) </set>\n"), T("</For>\n"),
    T("<mxSet> 8 (mxCompressZ (mxCompound (reverse ret))) </mxSet>\n"), T("</Let>\n"),
};
constexpr Piece kScript6[] = {T("<mxSave/>\n")};

struct Slot {
  int id;
  const Piece* begin;
  const Piece* end;
};
template <size_t N>
constexpr Slot slot(int id, const Piece (&s)[N]) {
  return {id, s, s + N};
}
constexpr Slot kSlots[] = {
    slot(3, kScript1), slot(9, kScript4),  slot(10, kScript3), slot(11, kScript2Edit1),
    slot(13, kScript5), slot(14, kScript2Edit2), slot(21, kScript6),
};
constexpr int kCopies[][2] = {{4, 3}, {5, 3}, {22, 21}, {23, 21}};  // slot, the slot it copies

constexpr int kPriFineFirst512 = 0x02000001;  // base 512, finer levels first
constexpr int kPriFineFirst1024 = 0x04000001;
constexpr int kFixedChannels = 12;

// The first description: parameters, then each axis. A setter's code, or 0.
int describe_axes(MATRIX* m, const MXMAP_WORK* mw) {
  MATRIX_PARAM p{};
  p.flags = MXP_VECTOR_PLUS_ONE;
  p.dim = mw->src_dim;
  for (int id = 3; id <= 17; ++id) p.pri_area[id] = kPriFineFirst512;
  for (int id = 21; id <= 23; ++id) p.pri_area[id] = kPriFineFirst1024;
  p.read_file = matrix_standard_read_file;
  p.write_file = matrix_standard_write_file;
  p.close_file = close_matrix_file;
  int r = set_matrix_param(m, &p);
  for (int a = 0; a < mw->src_dim && !r; ++a) {
    if ((r = set_matrix_dim_divide(m, a, 1)) || (r = set_matrix_block_size(m, a, 8))) break;
    r = set_matrix_pixel_size(m, a, mw->pixel_size[a]);
  }
  return r;
}

int describe_channels(MATRIX* m, int dest_dim) {
  MATRIX_PARAM p{};
  p.channel_nos = m->total_levels + dest_dim + kFixedChannels;
  if (const int r = set_matrix_param(m, &p)) return r;
  double zero = 0.0;
  struct Decl {
    int ch;
    MDT tp;
    int flags;
    void* def;
  };
  std::vector<Decl> decls = {{0, &mx_type_double_v, 3, &zero}, {1, &mx_type_string_v, 3, nullptr},
                             {8, &mx_type_block, 3, nullptr},    {9, &mx_type_uint8_v, 2, nullptr},
                             {10, &mx_type_double, 2, nullptr},  {11, &mx_type_double_v, 2, nullptr}};
  for (int ch = kFixedChannels; ch < p.channel_nos; ++ch)
    decls.push_back({ch, ch < kFixedChannels + dest_dim ? &mx_type_double_v : &mx_type_double, 2, &zero});
  for (const Decl& d : decls) {
    MATRIX_CHANNEL_INFO inf{d.tp, d.flags, d.def, 0};
    if (const int r = set_matrix_channel_info(m, d.ch, &inf)) return r;
  }
  return 0;
}

const Slot* find_slot(int id) {
  for (const Slot& s : kSlots)
    if (s.id == id) return &s;
  return nullptr;
}

// Sets every script, then writes the header and the scripts with the priorities.
int describe_scripts(MATRIX* m, int dest_dim) {
  std::vector<std::vector<std::string>> texts(kMxAccessIds);
  for (const Slot& s : kSlots) {
    texts[size_t(s.id)] = mxmap_script_pieces(s.id, dest_dim);
    std::string joined;
    for (const std::string& piece : texts[size_t(s.id)]) joined += piece;
    if (const int r = set_matrix_cal(m, s.id, sexp_commands(std_cm, joined.c_str(), nullptr))) return r;
  }
  for (const auto& c : kCopies) {
    if (const int r = set_matrix_cal_equ(m, c[0], c[1])) return r;
    texts[size_t(c[0])] = texts[size_t(c[1])];
  }
  if (save_matrix_header(m)) return -1;
  std::vector<std::vector<const char*>> lists(kMxAccessIds);
  std::vector<const char* const*> cals(kMxAccessIds, nullptr);
  for (int id = 0; id < kMxAccessIds; ++id) {
    if (texts[size_t(id)].empty()) continue;
    for (const std::string& piece : texts[size_t(id)]) lists[size_t(id)].push_back(piece.c_str());
    lists[size_t(id)].push_back(nullptr);
    cals[size_t(id)] = lists[size_t(id)].data();
  }
  return save_mode_cal(m, 0, cals.data(), m->p.pri_area);
}

}  // namespace

std::vector<std::string> mxmap_script_pieces(int id, int dest_dim) {
  std::vector<std::string> out;
  const Slot* s = find_slot(id);
  for (const Piece* p = s ? s->begin : nullptr; s && p != s->end; ++p)
    out.push_back(p->text ? p->text : std::to_string(p->dest * dest_dim + p->add));
  return out;
}

void open_mxmap(MATRIX_TOKEN* t) {
  MATRIX* m = t->wait_matrix;
  const auto* mw = static_cast<const MXMAP_WORK*>(m->open_work);
  {
    GcFrame frame("open_mxmap");  // the scripts are rooted until their holders keep them
    if (describe_axes(m, mw) == 0 && describe_channels(m, mw->dest_dim) == 0) describe_scripts(m, mw->dest_dim);
  }
  set_matrix_mode(m, MX_MODE_OPEN);  // also after a failed setter: waiting accesses go on
  free_open_token(t);
}

}  // namespace tq
