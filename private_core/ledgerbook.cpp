// private_core.ledgerbook: company-type validation and financial-statement
// values.  Both calls send one request through the caller's session and hand
// back the service's JSON object as a plain dictionary.
#include "pcrt/decoding.hpp"
#include "pcrt/pcrt.hpp"

namespace {
using namespace pcrt;

const Id id_Mapping("Mapping"), id_ensure_json_dict("_ensure_json_dict"), id_decode_response("_decode_response"),
    id_coerce_symbols("_coerce_symbols"), id_COMPANY_TYPE_ENDPOINT("_COMPANY_TYPE_ENDPOINT"),
    id_STATEMENT_ENDPOINT("_STATEMENT_ENDPOINT");
const Id id_json("json"), id_get("get"), id_post("post"), id_params("params"), id_json_body("json_body"),
    id_context("context"), id_strip("strip"), id_upper("upper"), id_symbol("symbol"),
    id_statement_id("statement_id"), id_start_year("start_year"), id_end_year("end_year"), id_period("period");

enum class EnsureJsonDictArg : std::size_t { payload, context };

Ref ledgerbook_ensure_json_dict(Call& c) {
  PyObject* payload = c[EnsureJsonDictArg::payload];
  if (!PyDict_CheckExact(payload) && !isinstance(payload, c.global(id_Mapping).get())) {
    raise_decoding(
        c.names(),
        check(PyUnicode_FromFormat("Unexpected payload structure for %U.", c[EnsureJsonDictArg::context])).get());
  }
  return call(reinterpret_cast<PyObject*>(&PyDict_Type), {payload});
}

const FnSpec kEnsureJsonDict{"_ensure_json_dict",
                             ledgerbook_ensure_json_dict,
                             {arg("payload", "Any"), kwonly("context", "str", Conv::Str)},
                             "JsonDict",
                             "Coerce a decoded JSON payload into a dictionary.\n"
                             "\n"
                             "Parameters\n"
                             "----------\n"
                             "payload:\n"
                             "    Raw data returned from ``response.json()``.\n"
                             "context:\n"
                             "    Short description of the request, used in error messages.\n"
                             "\n"
                             "Returns\n"
                             "-------\n"
                             "dict\n"
                             "    The validated payload.\n"
                             "\n"
                             "Raises\n"
                             "------\n"
                             "DataDecodingError\n"
                             "    If the payload cannot be interpreted as a dictionary."};

enum class DecodeResponseArg : std::size_t { response, context };

Ref ledgerbook_decode_response(Call& c) {
  PyObject* context = c[DecodeResponseArg::context];
  Ref payload;
  try {
    payload = call_method(c[DecodeResponseArg::response], id_json);
  } catch (const Raised&) {
    Ref cause = catch_json_error();
    Ref message = check(PyUnicode_FromFormat("Unable to decode JSON response for %U.", context));
    raise_from(decoding_error(c.names(), message.get()), std::move(cause));
  }
  return call(c.global(id_ensure_json_dict).get(), {payload.get()}, {{id_context, context}});
}

const FnSpec kDecodeResponse{"_decode_response",
                             ledgerbook_decode_response,
                             {arg("response"), kwonly("context", "str", Conv::Str)},
                             "JsonDict"};

// item.strip().upper() of an exact str, or an empty Ref when that is empty.
Ref clean_exact(PyObject* item) {
  Ref stripped = str_strip(item);
  if (PyUnicode_GET_LENGTH(stripped.get()) == 0) return nullptr;
  return str_upper(stripped.get());
}

// A single string is one symbol; any other iterable yields one symbol per
// item.  Blank items are dropped; order and duplicates are kept.
enum class CoerceSymbolsArg : std::size_t { symbols };

Ref ledgerbook_coerce_symbols(Call& c) {
  PyObject* symbols = c[CoerceSymbolsArg::symbols];
  Ref single = PyUnicode_Check(symbols) ? tuple({symbols}) : Ref();
  // Walk an iterator and hold each item: the strip() of a str subclass may
  // change the caller's list while we are on it.
  Ref iterator = check(PyObject_GetIter(single ? single.get() : symbols));
  Ref cleaned = new_list();
  while (Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) {
      raise_format(PyExc_TypeError, "symbols must contain only strings, got %.200s", Py_TYPE(item.get())->tp_name);
    }
    if (PyUnicode_CheckExact(item.get())) {
      if (Ref cleaned_item = clean_exact(item.get())) list_append(cleaned.get(), cleaned_item.get());
      continue;
    }
    // Blank test on the text form, kept value from the item itself.
    Ref text = check(PyObject_Str(item.get()));
    if (!truthy(call_method(text.get(), id_strip).get())) continue;
    Ref stripped = call_method(item.get(), id_strip);
    list_append(cleaned.get(), call_method(stripped.get(), id_upper).get());
  }
  if (PyErr_Occurred()) raised();
  if (PyList_GET_SIZE(cleaned.get()) == 0)
    raise(PyExc_ValueError, "symbols must contain at least one non-empty value.");
  return cleaned;
}

const FnSpec kCoerceSymbols{"_coerce_symbols", ledgerbook_coerce_symbols, {arg("symbols", "Sequence[str]")}, "List[str]"};

enum class ValidateCompanyTypesArg : std::size_t { session, symbols };

Ref ledgerbook_validate_company_types(Call& c) {
  using A = ValidateCompanyTypesArg;
  Ref params = new_dict();
  dict_set(params.get(), id_symbol, call(c.global(id_coerce_symbols).get(), {c[A::symbols]}).get());
  Ref endpoint = c.global(id_COMPANY_TYPE_ENDPOINT);
  Ref response = call_method(c[A::session], id_get, {endpoint.get()}, {{id_params, params.get()}});
  return call(c.global(id_decode_response).get(), {response.get()}, {{id_context, endpoint.get()}});
}

const FnSpec kValidateCompanyTypes{"validate_company_types",
                                   ledgerbook_validate_company_types,
                                   {arg("session", "HttpSession"), arg("symbols", "Sequence[str]")},
                                   "JsonDict",
                                   "Call the company-type validation endpoint.\n"
                                   "\n"
                                   "Parameters\n"
                                   "----------\n"
                                   "session:\n"
                                   "    Authenticated HTTP session created by :class:`TessaroClient`.\n"
                                   "symbols:\n"
                                   "    Collection of ticker symbols to validate.\n"
                                   "\n"
                                   "Returns\n"
                                   "-------\n"
                                   "dict\n"
                                   "    Backend response as dictionary."};

enum class FetchStatementValuesArg : std::size_t { session, symbols, statement_id, start_year, end_year, period };

Ref ledgerbook_fetch_statement_values(Call& c) {
  using A = FetchStatementValuesArg;
  Ref body = new_dict();
  dict_set(body.get(), id_symbol, call(c.global(id_coerce_symbols).get(), {c[A::symbols]}).get());
  dict_set(body.get(), id_statement_id, c[A::statement_id]);
  dict_set(body.get(), id_start_year, c[A::start_year]);
  dict_set(body.get(), id_end_year, c[A::end_year]);
  dict_set(body.get(), id_period, c[A::period]);
  Ref endpoint = c.global(id_STATEMENT_ENDPOINT);
  Ref response = call_method(c[A::session], id_post, {endpoint.get()}, {{id_json_body, body.get()}});
  return call(c.global(id_decode_response).get(), {response.get()}, {{id_context, endpoint.get()}});
}

const FnSpec kFetchStatementValues{"fetch_statement_values",
                                   ledgerbook_fetch_statement_values,
                                   {arg("session", "HttpSession"), kwonly("symbols", "Sequence[str]"),
                                    kwonly("statement_id", "int", Conv::Int), kwonly("start_year", "int", Conv::Int),
                                    kwonly("end_year", "int", Conv::Int), kwonly("period", "str", Conv::Str)},
                                   "JsonDict",
                                   "Fetch statement values for the given symbol set.\n"
                                   "\n"
                                   "Parameters\n"
                                   "----------\n"
                                   "session:\n"
                                   "    Authenticated HTTP session.\n"
                                   "symbols:\n"
                                   "    Symbol list that already passed company-type validation.\n"
                                   "statement_id:\n"
                                   "    Statement identifier (1..4).\n"
                                   "start_year:\n"
                                   "    Beginning year (>= 1900).\n"
                                   "end_year:\n"
                                   "    Ending year (>= start_year).\n"
                                   "period:\n"
                                   "    Reporting cadence, ``\"year\"`` or ``\"quarter\"``.\n"
                                   "\n"
                                   "Returns\n"
                                   "-------\n"
                                   "dict\n"
                                   "    The decoded backend response."};

void build(Module& m) {
  m.import_from("typing", {"Any", "Dict", "Iterable", "List", "Mapping", "Sequence"});
  m.import_from("tessaro.exceptions", {"DataDecodingError"});
  m.import_relative("wirelink", {"HttpSession"});
  m.add("_COMPANY_TYPE_ENDPOINT", str("/reporting/meta/company-types/validate").get());
  m.add("_STATEMENT_ENDPOINT", str("/reporting/statements/values").get());
  Ref key_value = tuple({reinterpret_cast<PyObject*>(&PyUnicode_Type), m.get("Any").get()});
  m.add("JsonDict", check(PyObject_GetItem(m.get("Dict").get(), key_value.get())).get());
  m.def(kEnsureJsonDict);
  m.def(kDecodeResponse);
  m.def(kCoerceSymbols);
  m.def(kValidateCompanyTypes);
  m.def(kFetchStatementValues);
}

}  // namespace

PCRT_MODULE(ledgerbook, build)
