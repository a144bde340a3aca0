// Argument parsing: the calling convention's conversions, the parser and its
// failures (worded as the interpreter words them for Python functions), and
// the call itself.
#include <string>

#include "function_object.hpp"

namespace pcrt {
namespace detail {

namespace {

bool is_number(PyObject* value) {
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  return nb != nullptr && (nb->nb_int != nullptr || nb->nb_index != nullptr || nb->nb_float != nullptr);
}

// Parser failures, worded as the interpreter words them for Python functions.

[[noreturn]] void too_many_positional(FunctionObject* fn, Py_ssize_t given) {
  Py_ssize_t most = fn->n_positional;
  Py_ssize_t least = first_defaulted(fn);
  if (least == most) {
    raise_format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", qualname_utf8(fn), most,
                 most == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  }
  raise_format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
               qualname_utf8(fn), least, most, given);
}

Py_ssize_t find_keyword(FunctionObject* fn, PyObject* key) {
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    if (fn->names[i] == key) return i;
  }
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_Compare(fn->names[i], key) == 0) return i;
  }
  return -1;
}

}  // namespace

[[noreturn]] void missing_positional(FunctionObject* fn, PyObject* const* slots) {
  std::string names;
  Py_ssize_t count = 0;
  const Py_ssize_t first_default = first_defaulted(fn);
  auto is_missing = [&](Py_ssize_t i) {
    return slots[i] == nullptr && i < first_default;
  };
  for (Py_ssize_t i = 0; i < fn->n_positional; ++i) {
    if (is_missing(i)) ++count;
  }
  Py_ssize_t seen = 0;
  for (Py_ssize_t i = 0; i < fn->n_positional; ++i) {
    if (!is_missing(i)) continue;
    ++seen;
    if (seen > 1) names += (seen == count) ? (count > 2 ? ", and " : " and ") : ", ";
    names += "'";
    names += PyUnicode_AsUTF8(fn->names[i]);
    names += "'";
  }
  raise_format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", qualname_utf8(fn), count,
               count == 1 ? "" : "s", names.c_str());
}

PyObject* convert(const Param& param, PyObject* value) {
  switch (param.conv) {
    case Conv::Any:
      return nullptr;
    case Conv::OptStr:
      if (value == Py_None) return nullptr;
      [[fallthrough]];
    case Conv::Str:
      if (!PyUnicode_CheckExact(value)) raise_arg_type(param.name, "str", value);
      return nullptr;
    case Conv::OptDict:
      if (value == Py_None) return nullptr;
      [[fallthrough]];
    case Conv::Dict:
      if (!PyDict_CheckExact(value)) raise_arg_type(param.name, "dict", value);
      return nullptr;
    case Conv::List:
      if (!PyList_CheckExact(value)) raise_arg_type(param.name, "list", value);
      return nullptr;
    case Conv::OptInt:
      if (value == Py_None) return nullptr;
      [[fallthrough]];
    case Conv::Int:
      if (PyLong_CheckExact(value)) return nullptr;
      if (!is_number(value)) raise_arg_type(param.name, "int", value);
      return check(PyNumber_Long(value)).release();
    case Conv::Float: {
      if (PyFloat_CheckExact(value)) return nullptr;
      double real = PyFloat_AsDouble(value);
      if (real == -1.0 && PyErr_Occurred()) raised();
      return check(PyFloat_FromDouble(real)).release();
    }
    case Conv::Bool:
      if (value == Py_True || value == Py_False) return nullptr;
      return Py_NewRef(truthy(value) ? Py_True : Py_False);
    case Conv::OptExactBool:
      if (value != Py_None && !PyBool_Check(value)) raise_arg_type(param.name, "bool", value);
      return nullptr;
  }
  return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* fn = as_function(callable);
  try {
    Call call(fn, args, PyVectorcall_NARGS(nargsf), kwnames);
    return fn->spec->body(call).release();
  } catch (const std::exception&) {
    translate_exception();
    return nullptr;
  }
}

}  // namespace detail

using namespace detail;

Ref convert_value(Conv conv, const char* name, PyObject* value) {
  Param param{name, nullptr, conv};
  PyObject* converted = convert(param, value);
  return converted ? Ref::steal(converted) : Ref::borrow(value);
}

void Call::take(std::size_t index, Ref value) {
  slots_[index] = value.release();
  owned_ |= (1u << index);
}

Call::Call(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : fn_(fn) {
  try {
    parse(args, nargs, kwnames);
  } catch (const std::exception&) {
    release();
    throw;
  }
}

void Call::release() noexcept {
  for (std::uint32_t bits = owned_; bits != 0; bits &= bits - 1) drop_ref(slots_[__builtin_ctz(bits)]);
  owned_ = 0;
}

Call::~Call() { release(); }

// Keyword arguments into their parameters' slots, the unknown ones into
// **kwargs (TypeError when there is none).
void Call::take_keywords(PyObject* const* values, PyObject* kwnames) {
  FunctionObject* fn = fn_;
  const Py_ssize_t n_kw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_kw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = values[k];
    Py_ssize_t index = find_keyword(fn, key);
    if (index == fn->varargs_index || index == fn->varkw_index) index = -1;
    if (index < 0) {
      if (fn->varkw_index < 0) {
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qualname_utf8(fn), key);
      }
      dict_set(slots_[fn->varkw_index], key, value);
      continue;
    }
    if (slots_[index] != nullptr) {
      raise_format(PyExc_TypeError, "%s() got multiple values for argument '%S'", qualname_utf8(fn), key);
    }
    slots_[index] = value;
  }
}

void Call::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FunctionObject* fn = fn_;
  const Py_ssize_t n_params = fn->n_params;
  const Py_ssize_t n_positional = fn->n_positional;
  for (Py_ssize_t i = 0; i < n_params; ++i) slots_[i] = nullptr;

  Py_ssize_t n_direct = nargs;
  if (nargs > n_positional) {
    if (fn->varargs_index < 0) too_many_positional(fn, nargs);
    n_direct = n_positional;
  }
  for (Py_ssize_t i = 0; i < n_direct; ++i) slots_[i] = args[i];
  if (fn->varargs_index >= 0) {
    Ref extra = check(PyTuple_New(nargs - n_direct));
    for (Py_ssize_t i = n_direct; i < nargs; ++i) PyTuple_SET_ITEM(extra.get(), i - n_direct, Py_NewRef(args[i]));
    take(static_cast<std::size_t>(fn->varargs_index), std::move(extra));
  }
  if (fn->varkw_index >= 0) take(static_cast<std::size_t>(fn->varkw_index), new_dict());

  if (kwnames != nullptr) take_keywords(args + nargs, kwnames);

  fill_defaults();

  // Every value gets its check, defaults included: `__defaults__` and
  // `__kwdefaults__` may have been given anything since creation.
  for (std::uint32_t bits = fn->checked_mask; bits != 0; bits &= bits - 1) {
    const int i = __builtin_ctz(bits);
    PyObject* value = slots_[i];
    // Inline the commonest outcomes: already the exact type asked for.
    switch (fn->convs[i]) {
      case Conv::Str:
      case Conv::OptStr:
        if (PyUnicode_CheckExact(value)) continue;
        break;
      case Conv::Int:
      case Conv::OptInt:
        if (PyLong_CheckExact(value)) continue;
        break;
      case Conv::Float:
        if (PyFloat_CheckExact(value)) continue;
        break;
      case Conv::Bool:
      case Conv::OptExactBool:
        if (value == Py_True || value == Py_False) continue;
        break;
      case Conv::Dict:
      case Conv::OptDict:
        if (PyDict_CheckExact(value)) continue;
        break;
      default:
        break;
    }
    if (PyObject* converted = convert(fn->spec->params[i], value))
      take(static_cast<std::size_t>(i), Ref::steal(converted));
  }
}

void Call::check_access(std::size_t index, Conv needed) const {
  const FunctionObject* fn = fn_;
  if (index >= static_cast<std::size_t>(fn->n_params)) {
    raise_format(PyExc_SystemError, "%U(): argument index %zu is out of range (%zd parameters)", fn->qualname, index,
                 fn->n_params);
  }
  if (needed != Conv::Any && fn->convs[index] != needed) {
    raise_format(PyExc_SystemError, "%U(): argument '%U' is read with a conversion rule it does not have",
                 fn->qualname, fn->names[index]);
  }
}

}  // namespace pcrt
