// The calendar reader: lines, parameters, escapes and folding; lazy reading in file order
// whichever component is inspected first, also by two tasks at once; malformed input
// ending cleanly in errors; and the stream's end in every case.
#include <gtest/gtest.h>

#include <memory>

#include "lang/calendar.h"
#include "ops_test_util.h"
#include "stream/string_stream.h"
#include "support/task_runner.h"

namespace {

using namespace tq;

STREAM* last_stream;

TQ_SEXP* read_cal(const char* text) {
  last_stream = s_open_string_read(text, nullptr, int(std::strlen(text)), 1);
  return get_cal(last_stream, nullptr);
}

std::string print_all(TQ_SEXP* v) { return tqtest::print_text(v, kPrintInList); }

constexpr char kCalendar[] =
    "BEGIN:VCALENDAR\r\n"
    "VERSION:2.0\r\n"
    "BEGIN:VEVENT\r\n"
    "DTSTART;TZID=UTC;VALUE=DATE:20240101\r\n"
    "SUMMARY:Meet\\, greet\\tnow\r\n"
    "DESCRIPTION:a\\nb\r\n"
    " continued\r\n"
    "\r\n"
    "BEGIN:VALARM\r\n"
    "ACTION:DISPLAY\r\n"
    "END:VALARM\r\n"
    "END:VEVENT\r\n"
    "X-EMPTY;A=1\r\n"
    "END:VCALENDAR\r\n";
constexpr char kExpected[] =
    "(VCALENDAR (VERSION \"2.0\") (VEVENT ([DTSTART TZID=\"UTC\" VALUE=\"DATE\"] \"20240101\") "
    "(SUMMARY \"Meet, greet\\tnow\") (DESCRIPTION \"a\\nbcontinued\") (VALARM (ACTION \"DISPLAY\"))) "
    "([X-EMPTY A=\"1\"]))";

// The read cells still name the reading's record, whose close hook reads the reading: a
// collection keeps both.
TEST(Calendar, ReadsComponentsPropertiesAndParameters) {
  GcFrame frame("t");
  TQ_SEXP* cal = read_cal(kCalendar);
  const void* reading = cal->pair.cdr->delay.d.func;
  EXPECT_EQ(print_all(cal), kExpected);
  EXPECT_EQ(s_exist(last_stream), 0) << "the outermost END closes the stream";
  gc_enable();
  EXPECT_TRUE(mem_is_block(reading));
}

// The outer component's next element is asked for before the nested ones are read: their
// lines are consumed first, and everything still comes out in file order.
TEST(Calendar, OuterComponentFirst) {
  GcFrame frame("t");
  TQ_SEXP* cal = read_cal(kCalendar);
  TQ_SEXP* rest = cdr(cdr(cal));         // (VEVENT ...) and what follows it
  TQ_SEXP* vevent = car(rest);
  TQ_SEXP* after = cdr(rest);            // reads the whole VEVENT first
  EXPECT_EQ(print_all(car(after)), "([X-EMPTY A=\"1\"])");
  EXPECT_EQ(print_all(vevent), "(VEVENT ([DTSTART TZID=\"UTC\" VALUE=\"DATE\"] \"20240101\") "
                               "(SUMMARY \"Meet, greet\\tnow\") (DESCRIPTION \"a\\nbcontinued\") "
                               "(VALARM (ACTION \"DISPLAY\")))");
  EXPECT_EQ(print_all(cal), kExpected);
}

// Two tasks inspect one reading at once, one from the outside in: the reading's cells
// share one record, so one task reads while the other waits.
TEST(Calendar, TwoTasksShareOneReading) {
  GcFrame frame("t");
  TQ_SEXP* cal = read_cal(kCalendar);
  auto seen = std::make_shared<std::array<std::string, 2>>();
  tqtest::Task outer([=] {
    gc_push(nullptr, nullptr, "outer");
    get_type(cdr(cdr(cdr(cal))));
    (*seen)[0] = print_all(cal);
    gc_pop(nullptr, nullptr);
  });
  tqtest::Task inner([=] {
    gc_push(nullptr, nullptr, "inner");
    (*seen)[1] = print_all(cal);
    gc_pop(nullptr, nullptr);
  });
  ASSERT_TRUE(outer.wait() && inner.wait()) << "a reading shared by two tasks did not finish";
  EXPECT_EQ((*seen)[0], kExpected);
  EXPECT_EQ((*seen)[1], kExpected);
}

// An error element as the printer writes it.
std::string error_text(const char* func, const char* data) {
  return std::string("\n %E\n (\"\" \"\" 0 \"iCalendar parser (") + func + ")\" 0x80040505\n " + data + ")";
}
const std::string kLineEnd = error_text("invalid property", "0");
const std::string kInputEnd = error_text("invalid property", "-1");

TEST(Calendar, MalformedInputEndsCleanly) {
  struct {
    const char* text;
    std::string result;
  } cases[] = {
      {"BEGIN:VCALENDAR\nFOO\nX:1\nEND:VCALENDAR\n", "(VCALENDAR " + kLineEnd + ")"},
      {"BEGIN:VCALENDAR\nBEGIN:VEVENT\nSUMMARY:x\n", "(VCALENDAR (VEVENT (SUMMARY \"x\") " + kInputEnd + "))"},
      {"BEGIN:VCALENDAR\nSUMMARY:ab", "(VCALENDAR (SUMMARY \"ab\") " + kInputEnd + ")"},
      {"BEGIN:VCALENDAR\nDTSTART;TZ", "(VCALENDAR (DTSTART) " + kInputEnd + ")"},
      {"BEGIN:VCALENDAR\nEND;X=1:VCALENDAR\nA:b\n",
       "(VCALENDAR " + error_text("END with parameter", "()") + ")"},
      {"BEGIN;X=1:VEVENT\n", error_text("BEGIN with parameter", "()")},
      {"", kInputEnd},
      {"END:VCALENDAR\nBEGIN:X\n", "()"},               // nothing open: nil, and the end
      {"SUMMARY:x\nBEGIN:X\n", "(SUMMARY \"x\")"},      // a first line that is no BEGIN
      {"\r\n\r\nBEGIN:A\r\nEND:A\r\nBEGIN:B\r\n", "(A)"},
      {"BEGIN:A\nP:caf\xc3\xa9\nEND:A", "(A (P \"caf&cxe9;\"))"},  // UTF-8 in, é out
  };
  for (const auto& c : cases) {
    GcFrame frame("t");
    TQ_SEXP* cal = read_cal(c.text);
    EXPECT_EQ(print_all(cal), c.result) << c.text;
    EXPECT_EQ(s_exist(last_stream), 0) << "stream left open after: " << c.text;
  }
}

// A reading dropped half way: the collector closes its stream.
TEST(Calendar, AbandonedReadingIsClosedByTheCollector) {
  STREAM* st;
  {
    GcFrame frame("t");
    TQ_SEXP* cal = read_cal(kCalendar);
    st = last_stream;
    ASSERT_EQ(print_all(car(cdr(cal))), "(VERSION \"2.0\")");
  }
  gc_enable();
  EXPECT_TRUE(tqtest::wait_until([&] { return s_exist(st) == 0; })) << "the dropped reading's stream stayed open";
}

}  // namespace
