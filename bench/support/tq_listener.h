// A listener interpreter of this process for the benchmarks' clients: started once (the
// runtime too, and the calling thread bound to an interpreter of its own), admitting every
// peer.
#pragma once
#include "interp/interpreter.h"
#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/init_tqlisp.h"
#include "platform/access_rules.h"

namespace benchsupport {

// Its port, or -1 when it could not listen.
inline int tq_listener_port() {
  static int port = [] {
    tq::init_tq();
    tq::setup_self_interpreter();
    tq::TQ_INTERPRETER* t = new_tq_interpreter();
    t->a_type = tq::TQI_ACCEPT;
    t->env = tq::qvlisp_top_env1;
    t->port = 0;
    tq::PERMISSION_LIST* pl = tq::new_permission_list(t, nullptr);
    tq::insert_access_list(&pl->ap, 0, 0, nullptr, 0, 0, 1);
    const int id = tq::setup_i(t);
    tq::TQ_INTERPRETER info{};
    return id > 0 && tq::get_tqi_info(&info, unsigned(id)) == 0 ? info.port : -1;
  }();
  return port;
}

}  // namespace benchsupport
