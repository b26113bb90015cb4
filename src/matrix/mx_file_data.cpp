// Data records (0x602, 0x603) and event-script records (0x604) of file matrices.
#include "matrix/mx_file_data.h"

#include <cstring>
#include <string>
#include <vector>

#include "interp/script_start.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_header.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "store/record_list.h"
#include "store/store_lock.h"
#include "stream/format.h"
#include "text/code_method.h"

namespace tq {

namespace {

constexpr int kHead = int(sizeof(PN64_HEADER));

// A record of this type: `fixed` zeroed body bytes, d's network form, then zeros up to
// min_body body bytes; the head in file order. Null when tp gives no network form.
uint8_t* datum_record(uint16_t type, int fixed, MDT tp, void* d, int64_t min_body) {
  if (!tp || !tp->convert_to_net || !d) return nullptr;
  RECORD_LIST64* rl = new_recordlist64(type, uint64_t(kHead + fixed));
  tp->convert_to_net(tp, rl, d);
  int64_t body = fixed;
  for (const CHAIN_LIST64* c = rl->chain_head; c; c = c->next) body += c->len;
  if (body < min_body) set_recordlist_chain64(rl, d_calloc(1, size_t(min_body - body)), min_body - body, 1);
  setup_recordlist64(rl);
  auto* rec = static_cast<uint8_t*>(rl->data);
  rl->data = nullptr;
  free_recordlist64(rl);
  set_rec_head64(rec, type, uint64_t(kHead) + uint64_t(body < min_body ? min_body : body));
  return rec;
}

// Places and writes rec by the reuse rule at fofs: the offset used, or -1 (a new place
// that could not be written is freed again), or -2 when the write in place at fofs failed:
// that record may then hold part of rec (a body over 64 KiB goes out in pieces, and those
// before the failed one stay written; a shorter one is left as it was, but is taken as
// unsure all the same). The record at fofs, when it is not reused,
// is left to the caller, who frees it once nothing names it any more: freed before, its
// room could be handed to another record while the file still named it.
int64_t place_and_write(MATRIX* m, int64_t fofs, uint8_t* rec) {
  PDB64* p = m->file_work->pdb_fd;
  const uint16_t type = rec_type64(rec);
  int64_t ofs = mx_place_record(p, fofs, type, rec_size64(rec));
  if (ofs > 0 && mx_write_record(p, ofs, rec) != 0) {
    if (ofs != fofs) mx_free_record(p, ofs, type);  // a new place that nothing names
    ofs = ofs == fofs ? -2 : -1;
  }
  d_f_ree(rec);
  return ofs;
}

int64_t save_datum(MATRIX* m, int64_t fofs, uint8_t* rec) {
  if (!rec) return -1;
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) {
    d_f_ree(rec);
    return -1;
  }
  return place_and_write(m, fofs, rec);
}

MDT channel_type(const MATRIX* m, int id) {
  if (id < 0 || id >= m->p.channel_nos || !m->channel_info[id].data_type) return nullptr;
  return get_matrix_data_type(m->channel_info[id].data_type->type);
}

void* to_host(MDT tp, uint8_t* p, int64_t len) {
  if (!tp || !tp->convert_to_host || len < 0 || len > INT32_MAX) return nullptr;
  return tp->convert_to_host(tp, p, int(len), MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
}

// The joined pieces of one script as a 0x604 record. The store places no record below 24
// bytes: a shorter text is filled with spaces, which read as nothing.
uint8_t* script_record(const char* const* pieces) {
  std::string text;
  for (const char* const* s = pieces; *s; ++s) text += *s;
  if (text.size() < size_t(kMxCalMinBody)) text.resize(size_t(kMxCalMinBody), ' ');
  uint8_t* rec = mx_new_record(kRecMxCal, uint64_t(kHead) + text.size());
  std::memcpy(mx_body(rec), text.data(), text.size());
  return rec;
}

TQ_SEXP* read_script(MATRIX* m, int64_t fofs) {
  uint8_t* rec = mx_read_record(m->file_work->pdb_fd, fofs, kRecMxCal, 0);
  if (!rec) return nullptr;
  const std::string text(reinterpret_cast<const char*>(mx_body(rec)), size_t(mx_body_len(rec)));
  d_f_ree(rec);
  TQ_SEXP* forms = sexp_commands(utf8_cm, text.c_str(), nullptr);
  return get_type(forms) == kTagError ? nullptr : forms;
}

}  // namespace

int64_t save_matrix_data_1(MATRIX* m, int64_t fofs, void* target, MDT tp) {
  MX_FILE_ACCESS(acc, m);
  const int64_t ofs = save_datum(m, fofs, datum_record(kRecMxData1, 0, tp, target, kMxData1MinBody));
  if (ofs > 0 && fofs > 0 && ofs != fofs) mx_free_record(m->file_work->pdb_fd, fofs, kRecMxData1);
  return ofs;
}

int64_t save_matrix_data_2(MATRIX* m, int64_t fofs, void* target, int64_t next_fofs, int id, MDT tp) {
  uint8_t* rec = datum_record(kRecMxData2, kMxData2Fixed, tp, target, kMxData2Fixed);
  if (rec) {
    put_be64(mx_body(rec), uint64_t(next_fofs));
    put_be32(mx_body(rec) + 8, uint32_t(id));
  }
  return save_datum(m, fofs, rec);
}

void* load_matrix_data(int64_t* next_fofs, int* id, MATRIX* m, int64_t fofs, MDT tp) {
  if (fofs <= 0) return nullptr;
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return nullptr;
  auto* rec = static_cast<uint8_t*>(l_read_filespace64f(m->file_work->pdb_fd, uint64_t(fofs)));
  if (!rec) return nullptr;
  void* d = nullptr;
  uint8_t* body = mx_body(rec);
  const int64_t len = mx_body_len(rec);
  if (rec_type64(rec) == kRecMxData1) {
    d = to_host(tp, body, len);
  } else if (rec_type64(rec) == kRecMxData2 && len >= kMxData2Fixed) {
    const int ch = int32_t(get_be32(body + 8));
    d = to_host(channel_type(m, ch), body + kMxData2Fixed, len - kMxData2Fixed);
    if (d && next_fofs) *next_fofs = int64_t(get_be64(body));
    if (d && id) *id = ch;
  }
  d_f_ree(rec);
  return d;
}

int save_mode_cal(MATRIX* m, int mode, const char* const* const* cals, const int* pri) {
  if (mode < 0 || mode >= kMxModes) return -1;
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -2;
  // The new subheader is built beside the work record's and written after every script
  // record it names; only then do the records it no longer names go. A failure frees the
  // records placed anew instead, leaving the subheader, in memory and in the file, as it
  // was (a script of unchanged size rewritten in place keeps its new text).
  PN64_MX_SUBHEADER s = m->file_work->subheader;
  bool changed = pri != nullptr;
  if (pri) std::memcpy(s.mode_pri_area[mode], pri, sizeof s.mode_pri_area[mode]);
  std::vector<int64_t> placed, replaced;
  int err = 0;
  for (int e = 0; cals && e < kMxEvents && !err; ++e) {
    int64_t& slot = s.mode_cal_fofs[mode][e];
    const int64_t old = slot;
    const int64_t ofs = cals[e] ? place_and_write(m, old, script_record(cals[e])) : 0;
    if (ofs < 0) err = -1;
    if (ofs < 0 || ofs == old) continue;
    if (ofs) placed.push_back(ofs);
    if (old) replaced.push_back(old);
    slot = ofs;
    changed = true;
  }
  if (!err && changed && save_subheader_as(m, s)) err = -1;
  for (int64_t ofs : err ? placed : replaced) mx_free_record(m->file_work->pdb_fd, ofs, kRecMxCal);
  return err ? -2 : 0;
}

int load_mode_cal(TQ_SEXP** cals, int* pri, MATRIX* m, int mode) {
  if (mode < 0 || mode >= kMxModes) {
    if (cals) std::memset(cals, 0, sizeof(TQ_SEXP*) * kMxEvents);
    if (pri) std::memset(pri, 0, sizeof(int) * kMxEvents);
    return -1;
  }
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -2;
  const PN64_MX_SUBHEADER& s = m->file_work->subheader;
  if (pri) std::memcpy(pri, s.mode_pri_area[mode], sizeof s.mode_pri_area[mode]);
  for (int e = 0; cals && e < kMxEvents; ++e) cals[e] = read_script(m, s.mode_cal_fofs[mode][e]);
  return 0;
}

int save_cal_check(MATRIX* m) {
  ss_printf("SCC\n");
  if (!m->file_work) return 0;
  const PN64_MX_SUBHEADER& s = m->file_work->subheader;
  constexpr int kAll = kMxModes * kMxEvents;
  for (int i = 0; i < kAll; ++i) {
    const int64_t ofs = s.mode_cal_fofs[i / kMxEvents][i % kMxEvents];
    if (!ofs) continue;
    ss_printf("SCC %i-%i -- %lli\n", i / kMxEvents, i % kMxEvents, static_cast<long long>(ofs));
    for (int j = i + 1; j < kAll; ++j)
      if (s.mode_cal_fofs[j / kMxEvents][j % kMxEvents] == ofs) {
        ss_printf("save_cal_Check\n");
        return -1;
      }
  }
  return 0;
}

}  // namespace tq
