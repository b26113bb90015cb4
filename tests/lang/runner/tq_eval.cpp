// Test helper, not a user program: starts the runtime, reads the script named by its
// argument with the reader and prints, for every top-level form, the form's value with the
// printer and a line feed. The reader is named by the script's base name, and the site of
// this host prints as "SITE", so the output is the same on every machine. With
// TQ_GC_STRESS set, a collection runs after every form and at every primitive return, so
// values that are not rooted are lost and show up in the output.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "entry/start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "lang/site.h"
#include "stream/file_stream.h"
#include "stream/string_stream.h"
#include "platform/resolve.h"
#include "support/host_entry.h"
#include "text/l_string.h"

namespace {

void collect() { tq::gc_enable(); }

// The scripts see a host database of one entry, "localhost" at 127.0.0.1, and no local
// domain: their output never depends on the machine's hosts file or on a name server.
const std::vector<std::string> kNoAliases;
const std::vector<uint32_t> kLoopback{0x7f000001};
int only_localhost(const char* name, hostent* ret, char* buf, size_t len, hostent** result, int* h_err) {
  if (strcmp(name, "localhost") != 0) return tqtest::hostent_not_found(result, h_err);
  return tqtest::fill_hostent("localhost", kNoAliases, kLoopback, ret, buf, len, result, h_err);
}
int loopback_by_addr(const void* addr, socklen_t alen, int type, hostent* ret, char* buf, size_t len,
                     hostent** result, int* h_err) {
  uint32_t net = 0;
  if (type == AF_INET && alen == 4) memcpy(&net, addr, 4);
  if (ntohl(net) != kLoopback[0]) return tqtest::hostent_not_found(result, h_err);
  return only_localhost("localhost", ret, buf, len, result, h_err);
}
int enumeration_at;  // under the resolver's lock
int localhost_entry(hostent* ret, char* buf, size_t len, hostent** result, int* h_err) {
  if (enumeration_at++ > 0) return tqtest::hostent_not_found(result, h_err);
  return only_localhost("localhost", ret, buf, len, result, h_err);
}
void rewind_entries(int) { enumeration_at = 0; }
void end_entries() { enumeration_at = 0; }
const tq::HOST_SOURCE kLocalhostOnly{only_localhost, loopback_by_addr, localhost_entry, rewind_entries, end_entries};

// Every quoted occurrence of the site becomes "SITE".
std::string normalise_site(std::string text, const std::string& site) {
  const std::string from = "\"" + site + "\"";
  for (size_t at = 0; !site.empty() && (at = text.find(from, at)) != std::string::npos; at += 6)
    text.replace(at, from.size(), "\"SITE\"");
  return text;
}

int run(int argc, char** argv) {
  using namespace tq;
  if (argc < 2) {
    fprintf(stderr, "usage: tq_eval file.tq\n");
    return 2;
  }
  tq::host_source = &kLocalhostOnly;
  tq::resolv_conf_path = "/dev/null";
  tq::forget_local_host();
  // The program's whole start-up, so scripts see every built-in word.
  minimum_matrix_init(argc, argv);
  // The evaluating thread is bound to an interpreter of its own, or the break check stops it.
  setup_self_interpreter();
  bool stress = getenv("TQ_GC_STRESS") != nullptr;
  if (stress) eval_check_hook = collect;
  STREAM* in = s_open_file(argv[1], O_RDONLY, 0);
  if (!in) {
    fprintf(stderr, "tq_eval: cannot open %s\n", argv[1]);
    return 2;
  }
  const char* base = strrchr(argv[1], '/');
  base = base ? base + 1 : argv[1];
  const std::string site = n_string(utf8_cm, get_tqlisp_site());
  gc_push(nullptr, nullptr, "tq_eval");
  TQ_SEXP* root = init_parse(in, _l_string_1(utf8_cm, base), nullptr);
  gc_set(root, gc_qv_sexp);
  for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = p->pair.cdr) {
    gc_push(nullptr, nullptr, "tq_eval form");
    TQ_SEXP* v = eval(qvlisp_top_env1, p->pair.car);
    STREAM* out = s_open_string_write(utf8_cm);
    if (print_sexp(out, v, 0) < 0) fprintf(stderr, "tq_eval: print failed\n");
    const char* text = s_get_string(out);
    std::string line = normalise_site(text ? text : "", site) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
    d_s_close(out);
    gc_pop(nullptr, nullptr);
    if (stress) gc_enable();
  }
  gc_pop(nullptr, nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { tq::start_process(argc, argv, run); }
