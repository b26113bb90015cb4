// peers: a plain in-memory tree
// A granted login check of a path five directories deep ("/a/b/c/d/e/f.txt", a rule file in
// every directory requiring one password service) on a connection that already holds the
// service's accepted result, so no peer is asked and every rule file is read already: the
// check phase and its clean-up, again and again. Beside it, the plain lookup of the same
// five names in an in-memory tree of maps. Report: checks and lookups per second; the
// closing note gives the ratio of their times (goal: at most 5).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "entry/start.h"
#include "interp/file_prefix.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "remote/auth_server.h"
#include "stream/string_stream.h"
#include "support/scratch.h"
#include "text/l_string.h"

namespace {

const char kPath[] = "/a/b/c/d/e/f.txt";
double check_rate, lookup_rate;
std::string root;

// The documents tree with its rule files, and a connection holding the accepted result;
// null when the set-up was not granted.
tq::AUTH_CONNECTION_SET* connection() {
  static tq::AUTH_CONNECTION_SET* conn = [] {
    tq::minimum_matrix_init(0, nullptr);
    tq::setup_self_interpreter();
    root = benchsupport::new_tmp_folder("tqauth.");
    std::string dir = root + "/tqdocs/";
    for (const char* d : {"", "a/", "b/", "c/", "d/", "e/"}) {
      dir += d;
      std::filesystem::create_directories(dir);
      std::ofstream(dir + ".tqaccess") << (*d ? "(access (target \"p\"))"
                                              : "(access ([service name=\"p\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p\"]))");
    }
    tq::Reg_List_pathpair(tq::_l_string_1(tq::std_cm, (root + "/").c_str()), tq::_l_string_1(tq::std_cm, "/"));
    tq::TQ_INTERPRETER* t = new_tq_interpreter();
    t->connect_ip = 0x7f000001;
    tq::AUTH_CONNECTION_SET* c = tq::new_auth_connection_set(t);
    tq::GcFrame frame("bench_auth");
    // A copy of its own: a temporary would be reused by the conversions of the two calls
    // (the longer the rule files' folder, the sooner).
    tq::L_CHAR* path = nl_copy_str_1(tq::std_cm, kPath);
    int gc_no;
    tq::ap_server_check_path_phase(c, path, "read", &gc_no);
    const std::string reply = "([result-list type=\"and\"] ([service name=\"SERVICE://" +
                              std::string(tq::n_string(tq::std_cm, tq::get_tqlisp_site())) +
                              ":0/p\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p\"]))";
    tq::STREAM* in = tq::s_open_string_read(reply.data(), tq::utf8_cm, int(reply.size()), 1);
    tq::TQ_SEXP* r = tq::car(tq::init_parse(in, tq::_l_string_1(tq::utf8_cm, "bench"), nullptr));
    const bool granted = tq::ap_server_authentification(c, r, path, "read", gc_no) == nullptr;
    tq::ap_server_gc(c, gc_no);
    d_f_ree(path);
    return granted ? c : nullptr;
  }();
  return conn;
}

void timed(benchmark::State& state, double* rate, const auto& body) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) body();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.SetItemsProcessed(state.iterations());
  *rate = double(state.iterations()) / secs;
}

void BM_GrantedCheck(benchmark::State& state) {
  tq::AUTH_CONNECTION_SET* c = connection();
  if (!c) return state.SkipWithError("the set-up's login was not granted");
  tq::L_CHAR* path = nl_copy_str_1(tq::std_cm, kPath);
  timed(state, &check_rate, [&] {
    int gc_no;
    if (tq::ap_server_check_path_phase(c, path, "read", &gc_no) != nullptr) state.SkipWithError("a check was denied");
    tq::ap_server_gc(c, gc_no);
  });
  d_f_ree(path);
}
BENCHMARK(BM_GrantedCheck);

struct Dir {
  std::map<std::string, Dir> children;
};

void BM_TreeLookup(benchmark::State& state) {
  Dir top;
  top.children["a"].children["b"].children["c"].children["d"].children["e"];
  const std::string path = kPath;
  timed(state, &lookup_rate, [&] {
    const Dir* d = &top;
    for (size_t at = 1, end; d && (end = path.find('/', at)) != std::string::npos; at = end + 1) {
      auto it = d->children.find(path.substr(at, end - at));
      d = it == d->children.end() ? nullptr : &it->second;
    }
    benchmark::DoNotOptimize(d);
  });
}
BENCHMARK(BM_TreeLookup);

}  // namespace

void bench_after() {
  if (check_rate > 0 && lookup_rate > 0)
    printf("Granted checks: %.0f/s, tree lookups: %.0f/s, time ratio %.2f (goal at most 5)\n", check_rate, lookup_rate,
           lookup_rate / check_rate);
  if (!root.empty()) std::filesystem::remove_all(root);
}
