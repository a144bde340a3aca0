// Object operations of the runtime: calls with stack-held arguments, imports.
#include <cstdint>
#include <cstring>

#include "pcrt/errors.hpp"
#include "pcrt/ops.hpp"

namespace pcrt {
namespace {

constexpr std::size_t kMaxCallArgs = 16;

// The tuple of keyword names of a call.  A call site passes the same names
// every time, so the tuples are kept in a small table keyed by the name
// objects instead of being built for each call.  The cached tuple holds its
// names, so a name's address cannot be reused for another while its entry
// lives.
constexpr std::size_t kKwCacheSlots = 64, kKwCacheNames = 4;
struct KwNamesEntry {
  PyObject* names[kKwCacheNames] = {};  // borrowed from `tuple`
  std::size_t count = 0;
  PyObject* tuple = nullptr;  // owned
};
KwNamesEntry g_kwnames[kKwCacheSlots];

Ref make_kwnames(Kws kws) {
  Ref out = check(PyTuple_New(static_cast<Py_ssize_t>(kws.size())));
  Py_ssize_t i = 0;
  for (const Kw& kw : kws) PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(kw.name.get()));
  return out;
}

Ref kwnames_for(Kws kws) {
  if (kws.size() > kKwCacheNames) return make_kwnames(kws);
  PyObject* names[kKwCacheNames];
  std::size_t count = 0;
  std::uintptr_t hash = kws.size();
  for (const Kw& kw : kws) {
    names[count] = kw.name.get();
    hash = hash * 31 + (reinterpret_cast<std::uintptr_t>(names[count++]) >> 4);
  }
  KwNamesEntry& entry = g_kwnames[hash % kKwCacheSlots];
  bool same = entry.tuple != nullptr && entry.count == count;
  for (std::size_t i = 0; same && i < count; ++i) same = entry.names[i] == names[i];
  if (same) return Ref::borrow(entry.tuple);
  Ref made = make_kwnames(kws);
  Py_XSETREF(entry.tuple, made.new_ref());
  entry.count = count;
  for (std::size_t i = 0; i < count; ++i) entry.names[i] = names[i];
  return made;
}

// Lays out `prefix` (optional), the positional and the keyword values on a
// stack array with one free slot in front, as vectorcall allows callees to use.
struct StackArgs {
  PyObject* slots[kMaxCallArgs + 2];
  std::size_t count = 0;
  Ref kwnames;

  StackArgs(PyObject* prefix, Args args, Kws kws) {
    if (args.size() + kws.size() + 1 > kMaxCallArgs) {
      raise(PyExc_SystemError, "too many arguments for a native call");
    }
    PyObject** out = slots + 1;
    if (prefix != nullptr) out[count++] = prefix;
    for (PyObject* item : args) out[count++] = item;
    if (kws.size() != 0) {
      kwnames = kwnames_for(kws);
      for (const Kw& kw : kws) out[count++] = kw.value;
    }
  }
  PyObject* const* argv() const { return slots + 1; }
  std::size_t nargsf() const {
    std::size_t positional = count - (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.get())) : 0);
    return positional | PY_VECTORCALL_ARGUMENTS_OFFSET;
  }
};

}  // namespace

Ref call(PyObject* callable, Args args, Kws kws) {
  StackArgs stack(nullptr, args, kws);
  return check(PyObject_Vectorcall(callable, stack.argv(), stack.nargsf(), stack.kwnames.get()));
}

Ref call_method(PyObject* obj, const Id& name, Args args, Kws kws) {
  StackArgs stack(obj, args, kws);
  return check(PyObject_VectorcallMethod(name.get(), stack.argv(), stack.nargsf(), stack.kwnames.get()));
}

Ref tuple(Args items) {
  Ref out = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(item));
  return out;
}

Ref import(const char* name) { return check(PyImport_ImportModule(name)); }

Ref import_from(const char* module, const char* name) {
  Ref mod = import(module);
  Ref attr_name = str(name);
  PyObject* out = PyObject_GetAttr(mod.get(), attr_name.get());
  if (out == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  }
  return check(out);
}

std::string_view utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) raised();
  return {data, static_cast<std::size_t>(size)};
}

void log_record(PyObject* logger, const Id& level, const char* format, Args args) {
  Ref method = getattr(logger, level);
  Ref items = new_list();
  list_append(items.get(), str(format).get());
  for (PyObject* arg : args) list_append(items.get(), arg);
  Ref positional = check(PyList_AsTuple(items.get()));
  check(PyObject_Call(method.get(), positional.get(), nullptr));
}

}  // namespace pcrt
