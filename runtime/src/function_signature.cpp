// Signature text: the docstring's first line and the inspect.Signature read
// as __signature__, both from the FnSpec and the defaults in force.
#include <string>

#include "function_object.hpp"

namespace pcrt {
namespace detail {

namespace {

// A str default written in double quotes, the package's style for signature
// lines (`interval: Interval = "1D"`): repr()'s escapes, with the quote
// characters escaped for the other delimiter.
std::string double_quoted(PyObject* text) {
  Ref shown = check(PyObject_Repr(text));
  const std::string_view literal = utf8(shown.get());
  if (literal.front() == '"') return std::string(literal);  // repr() already chose double quotes
  std::string out = "\"";
  const std::string_view body = literal.substr(1, literal.size() - 2);
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\\' && i + 1 < body.size()) {
      // An escape: \' needs none between double quotes, any other stays.
      if (body[i + 1] != '\'') out += '\\';
      out += body[++i];
    } else if (body[i] == '"') {
      out += "\\\"";
    } else {
      out += body[i];
    }
  }
  out += '"';
  return out;
}

}  // namespace

// "name(a: str, b: int = 3, *, c=None) -> str", as inspect would print it but
// with annotations unquoted and module-level defaults shown by name.
std::string signature_line(FunctionObject* fn, const Ref* defaults) {
  std::string line = PyUnicode_AsUTF8(fn->name);
  line += "(";
  bool star_written = false;
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    const Param& param = fn->spec->params[i];
    if (i > 0) line += ", ";
    if (param.kind == Kind::KeywordOnly && !star_written) {
      line += "*, ";
      star_written = true;
    }
    if (param.kind == Kind::VarPositional) {
      line += "*";
      star_written = true;
    }
    if (param.kind == Kind::VarKeyword) line += "**";
    line += param.name;
    if (param.annotation) {
      line += ": ";
      line += param.annotation;
    }
    if (!defaults[i]) continue;
    line += param.annotation ? " = " : "=";
    if (param.def.tag == Default::Tag::Global) {
      line += param.def.text;
    } else if (PyUnicode_CheckExact(defaults[i].get())) {
      line += double_quoted(defaults[i].get());
    } else {
      Ref shown = check(PyObject_Repr(defaults[i].get()));
      line += utf8(shown.get());
    }
  }
  line += ")";
  if (fn->spec->returns) {
    line += " -> ";
    line += fn->spec->returns;
  }
  return line;
}

// Built on each read, as inspect does for Python functions, so that it shows
// the defaults in force.
Ref get_signature(FunctionObject* fn) {
  static const Id id_Parameter("Parameter"), id_Signature("Signature"), id_empty("empty"), id_default("default"),
      id_annotation("annotation"), id_return_annotation("return_annotation");
  static const Id kind_ids[] = {Id("POSITIONAL_OR_KEYWORD"), Id("KEYWORD_ONLY"), Id("VAR_POSITIONAL"),
                                Id("VAR_KEYWORD")};
  Ref inspect = import("inspect");
  Ref parameter_cls = getattr(inspect.get(), id_Parameter);
  Ref empty = getattr(parameter_cls.get(), id_empty);
  Ref parameters = new_list();
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    const Param& param = fn->spec->params[i];
    Ref kind = getattr(parameter_cls.get(), kind_ids[static_cast<int>(param.kind)]);
    Ref annotation = param.annotation ? str(param.annotation) : empty;
    Ref default_value = empty;
    if (i < fn->n_positional) {
      if (PyObject* value = positional_default(fn, i)) default_value = Ref::borrow(value);
    } else if (param.kind == Kind::KeywordOnly && fn->kwdefaults != nullptr) {
      if (Ref value = dict_get(fn->kwdefaults, fn->names[i])) default_value = std::move(value);
    }
    Ref parameter = call(parameter_cls.get(), {fn->names[i], kind.get()},
                         {{id_default, default_value.get()}, {id_annotation, annotation.get()}});
    list_append(parameters.get(), parameter.get());
  }
  Ref signature_cls = getattr(inspect.get(), id_Signature);
  Ref returns = fn->spec->returns ? str(fn->spec->returns) : getattr(signature_cls.get(), id_empty);
  return call(signature_cls.get(), {parameters.get()}, {{id_return_annotation, returns.get()}});
}

}  // namespace detail
}  // namespace pcrt
