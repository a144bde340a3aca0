// Native functions that behave like Python functions.
//
// Each function is described once by an `FnSpec`: its name, its parameters
// (name, kind, conversion rule, annotation text, default) and its body.  From
// that one description come the argument parser with the library's messages,
// the docstring's signature line, `__annotations__`, `__defaults__`,
// `__kwdefaults__` and `inspect.signature()`.  The objects bind as methods when
// stored in a class, are called through vectorcall, and carry the module's
// namespace so that bodies look globals up at call time.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "pcrt/errors.hpp"

// Argument accesses are checked wherever Python's own asserts are on.
#if !defined(NDEBUG) && !defined(PCRT_CHECKED_ARGS)
#define PCRT_CHECKED_ARGS 1
#endif

namespace pcrt {

// How an argument is checked and converted on entry.
enum class Conv : std::uint8_t {
  Any,      // taken as given
  Str,      // exactly str
  OptStr,   // None or exactly str
  Dict,     // exactly dict
  OptDict,  // None or exactly dict
  List,     // exactly list
  Int,      // any number, converted with int()
  OptInt,   // None or as Int
  Float,    // any real number, converted with float()
  Bool,     // its truth value
  OptExactBool,  // None or exactly bool: 0 and 1 are refused, not read as False and True
};

enum class Kind : std::uint8_t { PositionalOrKeyword, KeywordOnly, VarPositional, VarKeyword };

// A parameter default, evaluated once when the function object is created;
// from then on the function's `__defaults__` and `__kwdefaults__` hold it and
// may be read, changed or replaced as on a Python function.
struct Default {
  enum class Tag : std::uint8_t { Required, None, True, False, Int, Float, Str, Global };
  Tag tag = Tag::Required;
  long long integer = 0;
  double real = 0.0;
  const char* text = nullptr;  // Str: the value; Global: the module name read at creation
};

constexpr Default required() { return {}; }
constexpr Default none_default() { return {Default::Tag::None}; }
constexpr Default bool_default(bool value) { return {value ? Default::Tag::True : Default::Tag::False}; }
constexpr Default int_default(long long value) { return {Default::Tag::Int, value}; }
constexpr Default float_default(double value) { return {Default::Tag::Float, 0, value}; }
constexpr Default str_default(const char* value) { return {Default::Tag::Str, 0, 0.0, value}; }
// The current value of a module-level name, as `def f(x=NAME)` evaluates it.
constexpr Default global_default(const char* name) { return {Default::Tag::Global, 0, 0.0, name}; }

struct Param {
  const char* name;
  const char* annotation = nullptr;  // annotation text; nullptr for none
  Conv conv = Conv::Any;
  Default def = {};
  Kind kind = Kind::PositionalOrKeyword;
};

// Parameter builders, read like a `def` line.
constexpr Param arg(const char* name, const char* annotation = nullptr, Conv conv = Conv::Any, Default def = {}) {
  return {name, annotation, conv, def, Kind::PositionalOrKeyword};
}
constexpr Param kwonly(const char* name, const char* annotation = nullptr, Conv conv = Conv::Any, Default def = {}) {
  return {name, annotation, conv, def, Kind::KeywordOnly};
}
constexpr Param self_arg() { return arg("self"); }
constexpr Param var_args(const char* name) { return {name, nullptr, Conv::Any, {}, Kind::VarPositional}; }
constexpr Param var_kwargs(const char* name) { return {name, nullptr, Conv::Any, {}, Kind::VarKeyword}; }

// The most parameters a native function may declare; a longer spec is
// refused when the function object is created.
inline constexpr std::size_t kMaxParams = 12;

class Call;
using Body = Ref (*)(Call& call);

// The module-level names of one module, for code that several modules share:
// a fetcher hands the shared steps its own `c.names()` rather than its Call.
// A name is read when asked, as a Python function's global look-up reads it,
// so a replaced global (a patched class, a stand-in module) takes effect at
// once; reads share the cache of Call::global.  Holds the namespace, so work
// that outlives the call (a worker thread) may keep it.
class ModuleNames {
 public:
  explicit ModuleNames(PyObject* globals) noexcept : globals_(Ref::borrow(globals)) {}

  // The module-level name, else the builtin (NameError when neither is bound).
  Ref get(const Id& name) const;
  PyObject* dict() const noexcept { return globals_.get(); }

 private:
  Ref globals_;
};

struct FnSpec {
  const char* name;
  Body body;
  std::vector<Param> params;
  const char* returns = nullptr;  // return annotation text; nullptr for none
  const char* doc = nullptr;      // docstring text after the signature line
};

struct FunctionObject;

// The parsed and converted arguments of one call, in parameter order.
class Call {
 public:
  Call(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Arguments are read by name: each body declares the parameters of its FnSpec
  // as a scoped enum beside it, in the FnSpec's order, e.g.
  //   enum class InitArg : std::size_t { self, api_key, timeout };
  // and reads `c[InitArg::timeout]`, `c.flag(...)`, `c.real(...)`.  Debug and
  // sanitizer builds check each access against the FnSpec: the index must name
  // a parameter, `flag` needs Conv::Bool and `real` needs Conv::Float (a
  // mismatch raises SystemError instead of reading the wrong slot).
  template <class E>
    requires std::is_enum_v<E>
  PyObject* operator[](E param) const {
    return slot(static_cast<std::size_t>(param), Conv::Any);
  }
  // The truth value of a Conv::Bool parameter.
  template <class E>
    requires std::is_enum_v<E>
  bool flag(E param) const {
    return slot(static_cast<std::size_t>(param), Conv::Bool) == Py_True;
  }
  // The value of a Conv::Float parameter (always an exact float).
  template <class E>
    requires std::is_enum_v<E>
  double real(E param) const {
    return PyFloat_AS_DOUBLE(slot(static_cast<std::size_t>(param), Conv::Float));
  }
  template <class E>
    requires std::is_enum_v<E>
  bool is_none(E param) const {
    return slot(static_cast<std::size_t>(param), Conv::Any) == Py_None;
  }
  // The first argument of a method.
  PyObject* self() const { return slot(0, Conv::Any); }

  // A module-level name read at call time (NameError when unbound).
  Ref global(const Id& name) const;
  // The defining module's names, for shared code (see ModuleNames).
  ModuleNames names() const;
  // dict[name] (an empty Ref when missing), served from the name's cache
  // while no watched dict has changed.
  static Ref cached_get(PyObject* dict, const Id& name);
  // Rebinds a module-level name (Python's `global name; name = value`).
  void set_global(const Id& name, PyObject* value) const;
  // The class the function was defined in (Python's `__class__` cell).
  PyObject* defining_class() const;
  FunctionObject* function() const noexcept { return fn_; }

 private:
  PyObject* slot(std::size_t index, Conv needed) const {
#ifdef PCRT_CHECKED_ARGS
    check_access(index, needed);
#else
    (void)needed;
#endif
    return slots_[index];
  }
  // Raises SystemError for an index outside the FnSpec or a parameter whose
  // conversion rule is not `needed` (Conv::Any: any rule).
  void check_access(std::size_t index, Conv needed) const;
  void parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  void take_keywords(PyObject* const* values, PyObject* kwnames);
  void fill_defaults();
  void take(std::size_t index, Ref value);
  void release() noexcept;

  FunctionObject* fn_;
  std::uint32_t owned_ = 0;  // bit i set: slots_[i] is a reference we own
  PyObject* slots_[kMaxParams];
};

// `module.name` for a module read on a hot path (`time.perf_counter`,
// `sys.stdout`): served from a cache while the module's namespace is
// unchanged; any other object, or a name of the "__x__" form, takes getattr.
Ref module_attr(PyObject* obj, const Id& name);

// Applies a conversion rule to a value handed from one native step to another
// rather than through an argument list; `name` is the argument named in errors.
Ref convert_value(Conv conv, const char* name, PyObject* value);

// Creates a function object for `spec`; `module` is the defining module, and
// `qualname_prefix` is "Class." for methods (nullptr for module functions).
// The FnSpec must outlive the function (they are static objects).
Ref make_function(const FnSpec& spec, PyObject* module, const char* qualname_prefix = nullptr);
// Records the defining class once it exists (used by `super()` in bodies).
void set_defining_class(PyObject* function, PyObject* cls);
bool is_function(PyObject* obj);

// super(defining class, self).<name>: the next implementation in the MRO.
Ref super_attr(const Call& call, const Id& name);

}  // namespace pcrt
