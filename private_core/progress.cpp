// private_core.progress: the one-line terminal progress meter that the batch
// fetchers show while they work through a list of symbols.
//
// The meter is process-wide (`_state`) and deliberately dumb about its
// surroundings: every call reads standard output, the clock, the terminal
// size and the other helpers through the module namespace, so a caller (or a
// test) can swap any of them out by rebinding a module attribute.  Drawing is
// rare (at most ~24 times a second), so it keeps Python's arithmetic and
// concatenation semantics with plain object operations; only the throttled
// update path, which runs once per finished item, is tuned for speed.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <sys/ioctl.h>

#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"

namespace {
using namespace pcrt;

// Module-level names read at call time.
const Id id_sys("sys"), id_time("time"), id_shutil("shutil"), id_state("_state"), id_Meter("_Meter"),
    id_isatty_fn("_isatty"), id_ansi_ok("_ansi_ok"), id_term_width("_term_width"),
    id_draw_progress("_draw_progress"), id_compose_right("_compose_right"), id_join_right("_join_right"),
    id_fmt_time("_fmt_time"), id_fmt_rate("_fmt_rate");
const Id id_SPINNER("_SPINNER"), id_DONE_TOKEN("_DONE_TOKEN"), id_BAR_FILLED("_BAR_FILLED"),
    id_BAR_EMPTY("_BAR_EMPTY"), id_RESET("_RESET"), id_DIM("_DIM"), id_BOLD("_BOLD"), id_CYAN("_CYAN"),
    id_GREEN("_GREEN"), id_YELLOW("_YELLOW"), id_BLUE("_BLUE");

// Attributes, methods and keywords.
const Id id_stdout("stdout"), id_write("write"), id_flush("flush"), id_isatty("isatty"),
    id_perf_counter("perf_counter"), id_get_terminal_size("get_terminal_size"), id_fallback("fallback"),
    id_columns("columns"), id_force("force");
const Id id_total("total"), id_start_t("start_t"), id_last_draw_t("last_draw_t"), id_symbol("symbol"),
    id_enable_color("enable_color"), id_min_redraw_interval("min_redraw_interval"), id_palette("palette");

Site site_isatty(id_isatty), site_write(id_write), site_flush(id_flush), site_enable_color(id_enable_color);
Site site_total(id_total), site_last_draw_t(id_last_draw_t), site_min_redraw_interval(id_min_redraw_interval);

// Keys of the right-hand items, and the order in which a narrow terminal
// gives them up: the least useful first; the count is never given up.
const Id key_progress("progress"), key_percent("percent"), key_rate("rate"), key_eta("eta"), key_elapsed("elapsed");
const Id* const kDropOrder[] = {&key_elapsed, &key_eta, &key_rate, &key_percent};

// Literal pieces of the drawn line, interned once.
const Id lit_empty(""), lit_space(" "), lit_sep("  "), lit_open(" ["), lit_close("]"), lit_cr("\r"),
    lit_newline("\n"), lit_percent("%"), lit_done("done"), lit_eta("ETA "), lit_plus("+"), lit_3d("3d");

// ---------------------------------------------------------------------------
// Python operators on objects, so the drawing code keeps Python's semantics
// for whatever a caller stored on the meter or returned from a replaced helper.

Ref add(PyObject* a, PyObject* b) { return check(PyNumber_Add(a, b)); }
Ref sub(PyObject* a, PyObject* b) { return check(PyNumber_Subtract(a, b)); }
Ref mul(PyObject* a, PyObject* b) { return check(PyNumber_Multiply(a, b)); }
Ref truediv(PyObject* a, PyObject* b) { return check(PyNumber_TrueDivide(a, b)); }
Ref to_int(PyObject* a) { return check(PyNumber_Long(a)); }

Ref compare(PyObject* a, PyObject* b, int op) { return check(PyObject_RichCompare(a, b, op)); }
bool test(PyObject* a, PyObject* b, int op) { return truthy(compare(a, b, op).get()); }
// `a <op> b` used as a condition; exact ints that fit a C long compare in C.
bool compare_bool(PyObject* a, PyObject* b, int op) {
  if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
    int overflow_a = 0, overflow_b = 0;
    const long long x = PyLong_AsLongLongAndOverflow(a, &overflow_a);
    const long long y = PyLong_AsLongLongAndOverflow(b, &overflow_b);
    if (!overflow_a && !overflow_b) {
      switch (op) {
        case Py_LT:
          return x < y;
        case Py_LE:
          return x <= y;
        case Py_EQ:
          return x == y;
        case Py_NE:
          return x != y;
        case Py_GT:
          return x > y;
        default:
          return x >= y;
      }
    }
  }
  return check(PyObject_RichCompareBool(a, b, op)) != 0;
}

// Builtin min(a, b) / max(a, b): the first argument wins ties.
Ref py_min(PyObject* a, PyObject* b) { return Ref::borrow(test(b, a, Py_LT) ? b : a); }
Ref py_max(PyObject* a, PyObject* b) { return Ref::borrow(test(b, a, Py_GT) ? b : a); }

// a + b + c + ... evaluated left to right.
Ref concat(std::initializer_list<PyObject*> pieces) {
  auto it = pieces.begin();
  Ref out = Ref::borrow(*it);
  for (++it; it != pieces.end(); ++it) out = add(out.get(), *it);
  return out;
}

// ---------------------------------------------------------------------------
// Colour escapes: ESC '[' [0-9;]* [A-Za-z].  Other escape forms are text.

// Length of the escape sequence starting at `i`, 0 when none starts there.
Py_ssize_t escape_at(int kind, const void* data, Py_ssize_t n, Py_ssize_t i) {
  if (PyUnicode_READ(kind, data, i) != 0x1b || i + 1 >= n || PyUnicode_READ(kind, data, i + 1) != '[') return 0;
  Py_ssize_t j = i + 2;
  while (j < n) {
    Py_UCS4 ch = PyUnicode_READ(kind, data, j);
    if (!((ch >= '0' && ch <= '9') || ch == ';')) break;
    ++j;
  }
  if (j >= n) return 0;
  Py_UCS4 ch = PyUnicode_READ(kind, data, j);
  if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z')) return j + 1 - i;
  return 0;
}

// Code points of `s` outside escape sequences; `s` must be exactly a str, as
// for the Python-level helper.
Py_ssize_t visible_len(PyObject* s) {
  convert_value(Conv::Str, "s", s);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t hidden = 0;
  for (Py_ssize_t i = 0; i < n;) {
    Py_ssize_t k = escape_at(kind, data, n, i);
    if (k) {
      hidden += k;
      i += k;
    } else {
      ++i;
    }
  }
  return n - hidden;
}

Ref strip_ansi(PyObject* s) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const Py_ssize_t kept = visible_len(s);
  if (kept == n) return Ref::borrow(s);
  // Escapes are ASCII, so every non-ASCII code point survives and the input's
  // storage width is also the result's (strings must stay canonical).
  Ref out = check(PyUnicode_New(kept, PyUnicode_MAX_CHAR_VALUE(s)));
  const int kind = PyUnicode_KIND(s), out_kind = PyUnicode_KIND(out.get());
  const void* data = PyUnicode_DATA(s);
  void* out_data = PyUnicode_DATA(out.get());
  Py_ssize_t o = 0;
  for (Py_ssize_t i = 0; i < n;) {
    Py_ssize_t k = escape_at(kind, data, n, i);
    if (k) {
      i += k;
      continue;
    }
    PyUnicode_WRITE(out_kind, out_data, o++, PyUnicode_READ(kind, data, i));
    ++i;
  }
  return out;
}

// `s` padded with spaces to `width` visible characters, never truncated.
// `width` is already an int.
Ref pad_to_width(PyObject* s, PyObject* width) {
  const Py_ssize_t s_len = visible_len(s);
  int overflow = 0;
  long long target = PyLong_AsLongLongAndOverflow(width, &overflow);
  if (target == -1 && PyErr_Occurred()) raised();
  if (overflow < 0 || (overflow == 0 && target <= s_len)) return Ref::borrow(s);
  if (overflow > 0 || target - s_len > PY_SSIZE_T_MAX - PyUnicode_GET_LENGTH(s)) {
    raise(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
  }
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const Py_ssize_t pad = static_cast<Py_ssize_t>(target - s_len);
  Ref out = check(PyUnicode_New(n + pad, PyUnicode_MAX_CHAR_VALUE(s)));
  check_size(PyUnicode_CopyCharacters(out.get(), 0, s, 0, n));
  check_size(PyUnicode_Fill(out.get(), n, pad, ' '));
  return out;
}

// `k, t = item`, with the interpreter's messages for a bad item.
std::pair<Ref, Ref> unpack_pair(PyObject* item) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
    return {Ref::borrow(PyTuple_GET_ITEM(item, 0)), Ref::borrow(PyTuple_GET_ITEM(item, 1))};
  }
  if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) > 2) {
    raise_format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", Py_SIZE(item));
  }
  PyObject* raw = PyObject_GetIter(item);
  if (raw == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    }
    raised();
  }
  Ref iter = Ref::steal(raw);
  Ref values[2];
  for (int i = 0; i < 2; ++i) {
    values[i] = Ref::steal_or_null(PyIter_Next(iter.get()));
    if (!values[i]) {
      if (PyErr_Occurred()) raised();
      raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
    }
  }
  Ref extra = Ref::steal_or_null(PyIter_Next(iter.get()));
  if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (PyErr_Occurred()) raised();
  return {std::move(values[0]), std::move(values[1])};
}

// ---------------------------------------------------------------------------
// _Meter.palette and the text helpers.

enum class PaletteArg : std::size_t { self, code };

Ref meter_palette(Call& c) {
  Ref enabled = site_enable_color.get(c.self());
  if (enabled.get() == Py_True || (enabled.get() != Py_False && truthy(enabled.get()))) {
    return Ref::borrow(c[PaletteArg::code]);
  }
  return Ref::borrow(lit_empty.get());
}

const FnSpec kPalette{"palette", meter_palette, {self_arg(), arg("code", "str", Conv::Str)}, "str", nullptr};

Ref current_stdout(const Call& c) {
  Ref sys = c.global(id_sys);
  return module_attr(sys.get(), id_stdout);
}

Ref progress_isatty(Call& c) {
  Ref out = current_stdout(c);
  return site_isatty.call(out.get());
}

const FnSpec kIsatty{"_isatty", progress_isatty, {}, "bool", nullptr};

Ref progress_ansi_ok(Call& c) {
  Ref isatty = c.global(id_isatty_fn);
  return call(isatty.get());
}

const FnSpec kAnsiOk{"_ansi_ok", progress_ansi_ok, {}, "bool", nullptr};

// Clock-style duration: "07:05", "99:59", then hours and minutes ("1h40m").
enum class FmtTimeArg : std::size_t { seconds };

Ref progress_fmt_time(Call& c) {
  const double seconds = c.real(FmtTimeArg::seconds);
  if (seconds < 0 || std::isinf(seconds)) return str("--:--");
  const double shifted = seconds + 0.5;
  // Below 2**63 the whole seconds fit a C integer; beyond that, and for the
  // NaN that int() refuses, the interpreter's integers do the same work.
  if (shifted < 9.0e18) {
    const long long t = static_cast<long long>(shifted);
    long long m = t / 60;
    const long long s = t % 60;
    if (m >= 100) {
      const long long h = m / 60;
      m %= 60;
      return check(PyUnicode_FromFormat("%lldh%02lldm", h, m));
    }
    return check(PyUnicode_FromFormat("%02lld:%02lld", m, s));
  }
  Ref t = check(PyLong_FromDouble(shifted));
  Ref sixty = integer(60);
  Ref m = check(PyNumber_FloorDivide(t.get(), sixty.get()));
  Ref h = check(PyNumber_FloorDivide(m.get(), sixty.get()));
  Ref rest = check(PyNumber_Remainder(m.get(), sixty.get()));
  return check(PyUnicode_FromFormat("%Sh%02ldm", h.get(), PyLong_AsLong(rest.get())));
}

const FnSpec kFmtTime{"_fmt_time", progress_fmt_time, {arg("seconds", "float", Conv::Float)}, "str", nullptr};

enum class FmtRateArg : std::size_t { rate };

Ref progress_fmt_rate(Call& c) {
  const double rate = c.real(FmtRateArg::rate);
  if (!std::isfinite(rate) || rate <= 0) return str("--/s");
  const int decimals = rate < 1 ? 2 : rate < 10 ? 1 : 0;
  // The interpreter's own float formatting: correctly rounded, half to even
  // on the stored value, exactly as format(rate, "0.2f") and friends.
  char* digits = PyOS_double_to_string(rate, 'f', decimals, 0, nullptr);
  if (digits == nullptr) raised();
  Ref out = Ref::steal_or_null(PyUnicode_FromFormat("%s/s", digits));
  PyMem_Free(digits);
  if (!out) raised();
  return out;
}

const FnSpec kFmtRate{"_fmt_rate", progress_fmt_rate, {arg("rate", "float", Conv::Float)}, "str", nullptr};

// shutil.get_terminal_size as imported at load.  While `shutil` still offers
// it, the width is read here the way it reads it: entering its Python frame
// from native code costs more than the whole query.
PyObject* g_get_terminal_size = nullptr;

// What shutil.get_terminal_size(fallback=(default, 24)).columns gives, read
// without it; an empty Ref when COLUMNS is set, whose parsing is left to the
// library.  os.environ writes through to the process environment, so getenv
// sees what the library would see.
Ref terminal_columns(PyObject* default_width) {
#ifdef TIOCGWINSZ
  static const Id id_fileno("fileno");
  if (std::getenv("COLUMNS") != nullptr) return nullptr;
  // Every way the query can fail ends in the fallback width, as there.
  Ref stream = Ref::borrow(PySys_GetObject("__stdout__"));
  if (!stream || stream.get() == Py_None) return Ref::borrow(default_width);
  int fd = -1;
  try {
    Ref fileno = call_method(stream.get(), id_fileno);
    fd = PyLong_Check(fileno.get()) ? PyLong_AsInt(fileno.get()) : -1;
    if (fd == -1 && PyErr_Occurred()) raised();
  } catch (const Raised&) {
    catch_if(PyExc_Exception);
    return Ref::borrow(default_width);
  }
  struct winsize size{};
  if (fd < 0 || ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return Ref::borrow(default_width);
  return integer(size.ws_col);
#else
  (void)default_width;
  return nullptr;
#endif
}

// The terminal's width; any failure of the query (no terminal, a replaced
// `shutil`, a broken environment) falls back to `default`.
enum class TermWidthArg : std::size_t { default_ };

Ref progress_term_width(Call& c) {
  PyObject* default_width = c[TermWidthArg::default_];
  try {
    Ref shutil = c.global(id_shutil);
    Ref query = getattr(shutil.get(), id_get_terminal_size);
    if (query.get() == g_get_terminal_size) {
      if (Ref columns = terminal_columns(default_width)) return columns;
    }
    Ref rows = integer(24);
    Ref fallback = tuple({default_width, rows.get()});
    Ref size = call(query.get(), {}, {{id_fallback, fallback.get()}});
    return getattr(size.get(), id_columns);
  } catch (const Raised&) {
    catch_if(PyExc_Exception);
    return Ref::borrow(default_width);
  }
}

const FnSpec kTermWidth{
    "_term_width", progress_term_width, {arg("default", "int", Conv::Int, int_default(80))}, "int", nullptr};

enum class StripAnsiArg : std::size_t { s };
enum class LenNoansiArg : std::size_t { s };
enum class PadToWidthArg : std::size_t { s, width };

Ref progress_strip_ansi(Call& c) { return strip_ansi(c[StripAnsiArg::s]); }
Ref progress_len_noansi(Call& c) { return check(PyLong_FromSsize_t(visible_len(c[LenNoansiArg::s]))); }
Ref progress_pad_to_width(Call& c) { return pad_to_width(c[PadToWidthArg::s], c[PadToWidthArg::width]); }

const FnSpec kStripAnsi{"_strip_ansi", progress_strip_ansi, {arg("s", "str", Conv::Str)}, "str", nullptr};
const FnSpec kLenNoansi{"_len_noansi", progress_len_noansi, {arg("s", "str", Conv::Str)}, "int", nullptr};
const FnSpec kPadToWidth{"_pad_to_width",
                         progress_pad_to_width,
                         {arg("s", "str", Conv::Str), arg("width", "int", Conv::Int)},
                         "str",
                         nullptr};

// ---------------------------------------------------------------------------
// Public meter API.

// time.perf_counter as imported at load: a builtin, which runs no Python code.
PyObject* g_perf_counter = nullptr;

// time.perf_counter(); `pure` tells whether it was the builtin itself, so
// that no Python code ran (and no module global changed) during the call.
Ref clock_now(const Call& c, bool* pure = nullptr) {
  Ref time = c.global(id_time);
  Ref clock = module_attr(time.get(), id_perf_counter);
  if (pure != nullptr) *pure = clock.get() == g_perf_counter;
  return check(PyObject_CallNoArgs(clock.get()));
}

enum class StartProgressArg : std::size_t { total, symbol };

Ref progress_start_progress(Call& c) {
  PyObject* total = c[StartProgressArg::total];
  PyObject* symbol = c[StartProgressArg::symbol];
  Ref zero = integer(0);
  if (test(total, zero.get(), Py_LE)) {
    c.set_global(id_state, Py_None);
    return none();
  }
  Ref isatty = c.global(id_isatty_fn);
  if (!truthy(call(isatty.get()).get())) {
    // Redirected output (a file, a pipe, a log) gets no meter at all: not
    // even a final newline, so captured output stays clean.
    c.set_global(id_state, Py_None);
    return none();
  }
  Ref meter_cls = c.global(id_Meter);
  Ref start = clock_now(c);
  Ref never = real(0.0);
  Ref ansi_ok = c.global(id_ansi_ok);
  Ref color = call(ansi_ok.get());
  Ref meter = call(meter_cls.get(), {total, start.get(), never.get(), symbol, color.get()});
  // A meter left unfinished by an earlier batch is simply replaced; the new
  // one draws over the same line.
  c.set_global(id_state, meter.get());
  Ref draw = c.global(id_draw_progress);
  call(draw.get(), {zero.get()}, {{id_force, Py_True}});
  return none();
}

const FnSpec kStartProgress{"start_progress",
                            progress_start_progress,
                            {arg("total", "int", Conv::Int), arg("symbol", "str", Conv::Str)},
                            "None",
                            "Khởi tạo meter mới."};

// Called once per finished item, so the common (throttled) outcome costs one
// clock read and three attribute reads through look-up sites; comparisons of
// plain ints and floats are done in C, whatever else a caller stored on the
// meter goes through Python's operators.
enum class UpdateProgressArg : std::size_t { current };

Ref progress_update_progress(Call& c) {
  PyObject* current = c[UpdateProgressArg::current];
  Ref state = c.global(id_state);
  if (state.get() == Py_None) return none();
  bool pure = false;
  Ref now = clock_now(c, &pure);
  // Read again after a replaced clock: it may have started or ended a meter.
  if (!pure) state = c.global(id_state);
  Ref total = site_total.get(state.get());
  if (compare_bool(current, total.get(), Py_LT)) {
    Ref last = site_last_draw_t.get(state.get());
    Ref interval = site_min_redraw_interval.get(state.get());
    bool throttled;
    if (PyFloat_CheckExact(now.get()) && PyFloat_CheckExact(last.get()) && PyFloat_CheckExact(interval.get())) {
      throttled = PyFloat_AS_DOUBLE(now.get()) - PyFloat_AS_DOUBLE(last.get()) < PyFloat_AS_DOUBLE(interval.get());
    } else {
      Ref since = sub(now.get(), last.get());
      throttled = compare_bool(since.get(), interval.get(), Py_LT);
    }
    if (throttled) return none();
  }
  Ref draw = c.global(id_draw_progress);
  call(draw.get(), {current});
  return none();
}

const FnSpec kUpdateProgress{"update_progress",
                             progress_update_progress,
                             {arg("current", "int", Conv::Int)},
                             "None",
                             "Cập nhật trạng thái tiến độ."};

Ref progress_finish_progress(Call& c) {
  {
    Ref state = c.global(id_state);
    if (state.get() == Py_None) return none();
  }
  Ref draw = c.global(id_draw_progress);
  Ref state = c.global(id_state);
  Ref total = getattr(state.get(), id_total);
  call(draw.get(), {total.get()}, {{id_force, Py_True}});
  // The meter stays in place: a second finish redraws the full line, and the
  // next batch's start replaces it.
  Ref out = current_stdout(c);
  site_write.call(out.get(), {lit_newline.get()});
  out = current_stdout(c);
  site_flush.call(out.get());
  return none();
}

const FnSpec kFinishProgress{"finish_progress", progress_finish_progress, {}, "None", "Hoàn tất meter và xuống dòng."};

// ---------------------------------------------------------------------------
// Drawing.

// The right-hand text of the non-empty items, through the module's joiner.
Ref build_right(const Call& c, PyObject* items) {
  if (!PyList_CheckExact(items)) raise_arg_type("items", "list", items);
  Ref texts = new_list();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(items, i));
    auto [key, text] = unpack_pair(item.get());
    if (truthy(text.get())) list_append(texts.get(), text.get());
  }
  Ref join = c.global(id_join_right);
  return call(join.get(), {texts.get()});
}

// Blanks the first item under `key` that still shows something; false when
// there is none.
bool drop_item(PyObject* items, const Id& key) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(items, i));
    auto [k, text] = unpack_pair(item.get());
    if (test(k.get(), key.get(), Py_EQ) && truthy(text.get())) {
      Ref blank = tuple({key.get(), lit_empty.get()});
      check(PyList_SetItem(items, i, blank.release()));
      return true;
    }
  }
  return false;
}

// The figures of one drawing: the clamped count, the time since the start,
// the rate, the time left and the filled fraction, as Python's arithmetic
// gives them.
struct Figures {
  Ref current;    // max(0, min(current, total))
  Ref elapsed;    // max(1e-9, now - start_t)
  Ref rate;       // current / elapsed
  Ref remaining;  // (total - current) / rate, inf when nothing is done yet
  Ref frac;       // current / total, 0 for an empty total
  bool complete;  // current == total
};

// Plain ints and floats on the meter (what start_progress stores) are
// computed in C numbers; the C results are exactly what Python's int and
// float operators give for them.
bool measure_exact(PyObject* requested, PyObject* total, PyObject* now, PyObject* start_t, Figures& out) {
  if (!PyLong_CheckExact(requested) || !PyLong_CheckExact(total) || !PyFloat_CheckExact(now) ||
      !PyFloat_CheckExact(start_t)) {
    return false;
  }
  int overflow = 0;
  const long long asked = PyLong_AsLongLongAndOverflow(requested, &overflow);
  if (overflow) return false;
  const long long whole = PyLong_AsLongLongAndOverflow(total, &overflow);
  // Counts beyond 2**53 would round on their way to a double.
  constexpr long long kExact = 1LL << 53;
  if (overflow || whole > kExact || whole < -kExact) return false;
  const long long clamped = std::max(0LL, std::min(asked, whole));
  const double since = PyFloat_AS_DOUBLE(now) - PyFloat_AS_DOUBLE(start_t);
  const double elapsed = since > 1e-9 ? since : 1e-9;
  const double rate = static_cast<double>(clamped) / elapsed;
  const double remaining = rate > 0 ? static_cast<double>(whole - clamped) / rate : HUGE_VAL;
  out.current = clamped == asked ? Ref::borrow(requested) : clamped == whole ? Ref::borrow(total) : integer(clamped);
  out.elapsed = real(elapsed);
  out.rate = real(rate);
  out.remaining = real(remaining);
  out.frac = whole == 0 ? integer(0) : real(static_cast<double>(clamped) / static_cast<double>(whole));
  out.complete = clamped == whole;
  return true;
}

Figures measure(PyObject* requested, PyObject* total, PyObject* now, PyObject* start_t) {
  Figures out;
  if (measure_exact(requested, total, now, start_t, out)) return out;
  Ref zero = integer(0);
  out.current = py_max(zero.get(), py_min(requested, total).get());
  Ref tiny = real(1e-9);
  out.elapsed = py_max(tiny.get(), sub(now, start_t).get());
  out.rate = truediv(out.current.get(), out.elapsed.get());
  out.remaining = test(out.rate.get(), zero.get(), Py_GT)
                      ? truediv(sub(total, out.current.get()).get(), out.rate.get())
                      : real(HUGE_VAL);
  out.frac = test(total, zero.get(), Py_EQ) ? zero : truediv(out.current.get(), total);
  out.complete = test(out.current.get(), total, Py_EQ);
  return out;
}

// The done token, or the spinner frame for the clock in tenths of a second,
// so the spinner turns at the same pace however often the caller updates.
Ref spinner_frame(const Call& c, PyObject* now, bool complete) {
  if (complete) return c.global(id_DONE_TOKEN);
  Ref frames = c.global(id_SPINNER);
  Ref ten = integer(10);
  Ref tick = to_int(mul(now, ten.get()).get());
  Ref count = check(PyLong_FromSsize_t(check_size(PyObject_Length(frames.get()))));
  Ref index = check(PyNumber_Remainder(tick.get(), count.get()));
  return check(PyObject_GetItem(frames.get(), index.get()));
}

// The meter's palette applied to the colour constant bound to `name`.
Ref paint(const Call& c, PyObject* pal_fn, const Id& name) {
  Ref code = c.global(name);
  return call(pal_fn, {code.get()});
}

// The right-hand text and the bar's width for a line `width` columns wide
// whose left part is `left`: when the bar would get fewer than `bar_min`
// columns, right-hand items are given up one by one rather than running past
// the terminal's edge and wrapping; a line that fits is drawn in full.
std::pair<Ref, Ref> fit_right(const Call& c, PyObject* items, PyObject* left, PyObject* width) {
  Ref bar_min = integer(10);
  Ref right = build_right(c, items);
  Ref four = integer(4);
  Ref left_len = check(PyLong_FromSsize_t(visible_len(left)));
  Ref budget = sub(sub(width, left_len.get()).get(), four.get());
  if (test(budget.get(), bar_min.get(), Py_LT)) budget = bar_min;

  auto bar_room = [&](PyObject* right_text) {
    Ref right_len = check(PyLong_FromSsize_t(visible_len(right_text)));
    return sub(budget.get(), right_len.get());
  };
  Ref room = bar_room(right.get());
  if (test(room.get(), bar_min.get(), Py_LT)) {
    for (const Id* key : kDropOrder) {
      if (drop_item(items, *key)) {
        right = build_right(c, items);
        room = bar_room(right.get());
      }
      if (!test(room.get(), bar_min.get(), Py_LT)) break;
    }
  }
  Ref bar_w = py_max(bar_min.get(), room.get());
  return {build_right(c, items), std::move(bar_w)};
}

// "[####....]" in the palette's colours, `bar_w` cells wide.
Ref bar_text(const Call& c, PyObject* pal_fn, PyObject* bar_w, const Figures& figures) {
  Ref filled = figures.complete ? Ref::borrow(bar_w)
                                : py_min(bar_w, to_int(mul(bar_w, figures.frac.get()).get()).get());
  Ref green = paint(c, pal_fn, id_GREEN);
  Ref filled_cells = mul(c.global(id_BAR_FILLED).get(), filled.get());
  Ref bar = concat({green.get(), filled_cells.get(), paint(c, pal_fn, id_RESET).get()});
  Ref gap = sub(bar_w, filled.get());
  Ref zero = integer(0);
  if (test(gap.get(), zero.get(), Py_GT)) {
    Ref dim = paint(c, pal_fn, id_DIM);
    Ref empty_cells = mul(c.global(id_BAR_EMPTY).get(), gap.get());
    Ref tail = concat({dim.get(), empty_cells.get(), paint(c, pal_fn, id_RESET).get()});
    bar = add(bar.get(), tail.get());
  }
  return bar;
}

// "\r" + the line padded to the terminal's width, to standard output.
void write_line(const Call& c, PyObject* line, PyObject* width) {
  convert_value(Conv::Str, "s", line);
  Ref width_int = convert_value(Conv::Int, "width", width);
  Ref text = add(lit_cr.get(), pad_to_width(line, width_int.get()).get());
  Ref out = current_stdout(c);
  site_write.call(out.get(), {text.get()});
  out = current_stdout(c);
  site_flush.call(out.get());
}

enum class DrawProgressArg : std::size_t { current, force };

Ref progress_draw_progress(Call& c) {
  Ref m = c.global(id_state);
  if (m.get() == Py_None) return none();
  // `force` only documents intent at the call sites: this function always draws.

  Ref total = getattr(m.get(), id_total);
  Ref now = clock_now(c);
  Ref start_t = getattr(m.get(), id_start_t);
  Figures figures = measure(c[DrawProgressArg::current], total.get(), now.get(), start_t.get());
  Ref spin = spinner_frame(c, now.get(), figures.complete);

  Ref pal_fn = getattr(m.get(), id_palette);
  Ref symbol = getattr(m.get(), id_symbol);
  Ref left = concat({paint(c, pal_fn.get(), id_BOLD).get(), spin.get(), paint(c, pal_fn.get(), id_RESET).get(),
                     lit_space.get(), paint(c, pal_fn.get(), id_CYAN).get(), symbol.get(),
                     paint(c, pal_fn.get(), id_RESET).get()});

  Ref compose = c.global(id_compose_right);
  Ref completed = boolean(figures.complete);
  Ref right_items = call(compose.get(), {figures.current.get(), total.get(), figures.rate.get(),
                                         figures.remaining.get(), figures.elapsed.get(), pal_fn.get(), completed.get()});
  Ref visible_items = check(PySequence_List(right_items.get()));

  Ref term_width = c.global(id_term_width);
  Ref forty = integer(40);
  Ref width = py_max(forty.get(), call(term_width.get()).get());
  auto [right, bar_w] = fit_right(c, visible_items.get(), left.get(), width.get());
  Ref bar = bar_text(c, pal_fn.get(), bar_w.get(), figures);

  Ref line = concat({left.get(), lit_open.get(), bar.get(), lit_close.get()});
  if (truthy(right.get())) line = add(line.get(), add(lit_space.get(), right.get()).get());
  write_line(c, line.get(), width.get());
  // Only a line that reached the terminal counts for throttling.
  setattr(m.get(), id_last_draw_t, now.get());
  return none();
}

const FnSpec kDrawProgress{"_draw_progress",
                           progress_draw_progress,
                           {arg("current", "int", Conv::Int), arg("force", "bool", Conv::Bool, bool_default(false))},
                           "None",
                           nullptr};

enum class ComposeRightArg : std::size_t { current, total, rate, remaining, elapsed, pal, completed };

Ref progress_compose_right(Call& c) {
  using A = ComposeRightArg;
  PyObject* current = c[A::current];
  PyObject* total = c[A::total];
  PyObject* pal_fn = c[A::pal];
  const bool completed = c.flag(A::completed);
  auto pal = [&](const Id& name) {
    Ref code = c.global(name);
    return call(pal_fn, {code.get()});
  };

  // Division first, then the scaling, then truncation: 29 of 100 shows 28 %.
  Ref percent;
  if (truthy(total)) {
    Ref hundred = integer(100);
    percent = to_int(mul(truediv(current, total).get(), hundred.get()).get());
  } else {
    percent = integer(0);
  }

  Ref count = check(PyUnicode_FromFormat("%S/%S", current, total));
  Ref progress_text = concat({pal(id_DIM).get(), count.get(), pal(id_RESET).get()});

  Ref percent_digits = check(PyObject_Format(percent.get(), lit_3d.get()));
  Ref percent_text = concat({pal(id_BLUE).get(), percent_digits.get(), lit_percent.get(), pal(id_RESET).get()});

  Ref yellow = pal(id_YELLOW);
  Ref fmt_rate = c.global(id_fmt_rate);
  Ref rate_text = concat({yellow.get(), call(fmt_rate.get(), {c[A::rate]}).get(), pal(id_RESET).get()});

  Ref eta_text;
  if (completed) {
    eta_text = concat({pal(id_GREEN).get(), lit_done.get(), pal(id_RESET).get()});
  } else {
    Ref eta_yellow = pal(id_YELLOW);
    Ref fmt_time = c.global(id_fmt_time);
    eta_text = concat(
        {lit_eta.get(), eta_yellow.get(), call(fmt_time.get(), {c[A::remaining]}).get(), pal(id_RESET).get()});
  }

  Ref dim = pal(id_DIM);
  Ref fmt_time = c.global(id_fmt_time);
  Ref elapsed_text = concat(
      {dim.get(), lit_plus.get(), call(fmt_time.get(), {c[A::elapsed]}).get(), pal(id_RESET).get()});

  Ref items = new_list(5);
  const std::pair<const Id*, PyObject*> entries[] = {{&key_progress, progress_text.get()},
                                                     {&key_percent, percent_text.get()},
                                                     {&key_rate, rate_text.get()},
                                                     {&key_eta, eta_text.get()},
                                                     {&key_elapsed, elapsed_text.get()}};
  Py_ssize_t i = 0;
  for (const auto& [key, text] : entries) PyList_SET_ITEM(items.get(), i++, tuple({key->get(), text}).release());
  return items;
}

const FnSpec kComposeRight{"_compose_right",
                           progress_compose_right,
                           {arg("current", "int", Conv::Int), arg("total", "int", Conv::Int),
                            arg("rate", "float", Conv::Float), arg("remaining", "float", Conv::Float),
                            arg("elapsed", "float", Conv::Float), arg("pal"), arg("completed", "bool", Conv::Bool)},
                           "List[Tuple[str, str]]",
                           nullptr};

enum class JoinRightArg : std::size_t { parts };

Ref progress_join_right(Call& c) {
  PyObject* parts = c[JoinRightArg::parts];
  Ref kept = new_list();
  // The size is re-read each round, as a list iterator does.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) {
    Ref part = Ref::borrow(PyList_GET_ITEM(parts, i));
    if (truthy(part.get())) list_append(kept.get(), part.get());
  }
  return check(PyUnicode_Join(lit_sep.get(), kept.get()));
}

const FnSpec kJoinRight{"_join_right", progress_join_right, {arg("parts", "List[str]", Conv::List)}, "str", nullptr};

// ---------------------------------------------------------------------------

void build(Module& m) {
  m.import("math");
  m.import("os");
  m.import("re");
  m.import("shutil");
  // kept for the life of the process, like the module that holds it
  if (g_get_terminal_size == nullptr)
    g_get_terminal_size = getattr(m.get("shutil").get(), id_get_terminal_size).release();
  m.import("sys");
  m.import("time");
  if (g_perf_counter == nullptr) g_perf_counter = getattr(m.get("time").get(), id_perf_counter).release();
  m.import_from("dataclasses", {"dataclass"});
  m.import_from("typing", {"List", "Tuple"});

  m.add("_SPINNER", tuple({str("-").get(), str("\\").get(), str("|").get(), str("/").get()}).get());
  m.add("_DONE_TOKEN", str("OK").get());
  m.add("_BAR_FILLED", str("#").get());
  m.add("_BAR_EMPTY", str(".").get());
  m.add("_RESET", str("\x1b[0m").get());
  m.add("_DIM", str("\x1b[2m").get());
  m.add("_BOLD", str("\x1b[1m").get());
  m.add("_CYAN", str("\x1b[36m").get());
  // Named green for history; the colour itself is a blue-violet.
  m.add("_GREEN", str("\x1b[38;2;93;105;244m").get());
  m.add("_YELLOW", str("\x1b[33m").get());
  m.add("_BLUE", str("\x1b[34m").get());

  ClassBuilder meter(m, "_Meter");
  meter.annotate("total", "int")
      .annotate("start_t", "float")
      .annotate("last_draw_t", "float")
      .annotate("symbol", "str")
      .annotate("enable_color", "bool")
      .annotate("min_redraw_interval", "float", real(1.0 / 24.0).get())
      .method(kPalette);
  m.add("_Meter", meter.build_dataclass().get());

  m.def(kIsatty);
  m.def(kAnsiOk);
  m.def(kFmtTime);
  m.def(kFmtRate);
  m.def(kTermWidth);
  m.def(kStripAnsi);
  m.def(kLenNoansi);
  m.def(kPadToWidth);

  m.add("_state", Py_None);

  m.def(kStartProgress);
  m.def(kUpdateProgress);
  m.def(kFinishProgress);
  m.def(kDrawProgress);
  m.def(kComposeRight);
  m.def(kJoinRight);
}

}  // namespace

PCRT_MODULE(progress, build)
