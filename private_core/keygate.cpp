// private_core.keygate: checks the user's API key with the service and turns
// every failure into an ApiKeyValidationError whose message can be shown to
// the user.
#include "pcrt/pcrt.hpp"

namespace {
using namespace pcrt;

const Id id_logger("logger"), id_VALIDATION_ENDPOINT("VALIDATION_ENDPOINT"), id_HttpError("HttpError"),
    id_ApiKeyValidationError("ApiKeyValidationError"), id_ApiKeyValidationResponse("ApiKeyValidationResponse"),
    id_ValidationError("ValidationError");
const Id id_api_key("api_key"), id_post("post"), id_json_body("json_body"), id_json("json"),
    id_model_validate("model_validate"), id_status_code("status_code"), id_payload("payload"), id_error("error"),
    id_exception("exception"), id_debug("debug"), id_detail("detail"), id_message("message"), id_get_("get");

// A new ApiKeyValidationError, through the module's current binding.
Ref api_key_error(const Call& c, const char* message) {
  return call(c.global(id_ApiKeyValidationError).get(), {str(message).get()});
}

// The text a rejected validation shows the user: the service's own
// explanation when it gave one, else the HTTP status.  The message may end up
// in the user's logs, so the key is masked where the service's text quotes
// it; the fallback is this module's own text and is shown as it is.
Ref rejection_message(PyObject* payload, PyObject* status_code, PyObject* api_key) {
  if (PyDict_Check(payload)) {
    // Only non-empty strings count: services also answer with lists of
    // validation errors under "detail", which are no message to show.
    for (const Id* key : {&id_detail, &id_message}) {
      Ref value = call_method(payload, id_get_, {key->get()});
      if (PyUnicode_Check(value.get()) && PyUnicode_GET_LENGTH(value.get()) != 0) {
        return mask_token(value.get(), api_key);
      }
    }
  } else if (PyUnicode_Check(payload)) {
    Ref stripped = str_strip(payload);
    if (PyUnicode_Check(stripped.get()) && PyUnicode_GET_LENGTH(stripped.get()) != 0) {
      return mask_token(stripped.get(), api_key);
    }
  }
  return check(PyUnicode_FromFormat("Backend rejected API key validation (HTTP %S)", status_code));
}

[[noreturn]] void fail_unreachable(const Call& c, Ref exc) {
  Handling handling(exc.get());
  Ref logger = c.global(id_logger);
  call_method(logger.get(), id_exception, {str("Failed to validate API key with Tessaro backend").get()});
  raise_from(api_key_error(c, "Unable to validate API key"), std::move(exc));
}

bool key_usable(PyObject* api_key) { return PyUnicode_Check(api_key) && PyUnicode_GET_LENGTH(api_key) != 0; }

// The payload as the rejection record shows it: services echo the request
// body (which holds the key) in their validation errors, so when the
// payload's text quotes the key the record gets that text with the key
// masked; any other payload is logged as it came.
Ref loggable_payload(PyObject* payload, PyObject* api_key) {
  if (!key_usable(api_key)) return Ref::borrow(payload);
  Ref text = Ref::steal_or_null(PyObject_Str(payload));
  if (!text) {
    // The record would fail to format the same way; it cannot show the key.
    PyErr_Clear();
    return Ref::borrow(payload);
  }
  Ref shown = mask_token(text.get(), api_key);
  return shown.get() == text.get() ? Ref::borrow(payload) : shown;
}

[[noreturn]] void fail_rejected(const Call& c, Ref exc, PyObject* api_key) {
  Handling handling(exc.get());
  Ref status_code = getattr(exc.get(), id_status_code);
  Ref payload = getattr(exc.get(), id_payload);
  Ref logger = c.global(id_logger);
  Ref logged = loggable_payload(payload.get(), api_key);
  call_method(logger.get(), id_error,
              {str("Backend rejected API key validation (status=%s, payload=%s)").get(), status_code.get(),
               logged.get()});
  Ref message = rejection_message(payload.get(), status_code.get(), api_key);
  raise_from(call(c.global(id_ApiKeyValidationError).get(), {message.get()}), std::move(exc));
}

enum class ValidateApiKeyArg : std::size_t { session, client_version, include_messages, extra_context };

Ref keygate_validate_api_key(Call& c) {
  using A = ValidateApiKeyArg;
  PyObject* session = c[A::session];
  PyObject* client_version = c[A::client_version];
  PyObject* extra_context = c[A::extra_context];

  Ref api_key = getattr(session, id_api_key);
  Ref body = new_dict();
  check(PyDict_SetItemString(body.get(), "apiKey", api_key.get()));
  check(PyDict_SetItemString(body.get(), "clientVersion", client_version));
  check(PyDict_SetItemString(body.get(), "includeMessages", c[A::include_messages]));
  if (truthy(extra_context)) check(PyDict_SetItemString(body.get(), "context", extra_context));

  Ref response;
  try {
    response = call_method(session, id_post, {c.global(id_VALIDATION_ENDPOINT).get()}, {{id_json_body, body.get()}});
  } catch (const Raised&) {
    Ref exc = catch_any();
    if (!except_matches(exc.get(), [&] { return c.global(id_HttpError); })) {
      if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) reraise(std::move(exc));
      fail_unreachable(c, std::move(exc));
    }
    // An HttpError without a status never reached the service: that is a
    // transport failure, not a rejection of the key.
    Ref status_code = getattr(exc.get(), id_status_code);
    if (status_code.get() == Py_None) fail_unreachable(c, std::move(exc));
    fail_rejected(c, std::move(exc), api_key.get());
  }

  Ref payload;
  try {
    payload = call_method(response.get(), id_json);
  } catch (const Raised&) {
    Ref exc = catch_json_error();
    raise_from(api_key_error(c, "Backend returned invalid JSON payload"), std::move(exc));
  }

  Ref result;
  try {
    result = call_method(c.global(id_ApiKeyValidationResponse).get(), id_model_validate, {payload.get()});
  } catch (const Raised&) {
    Ref exc = catch_matching([&] { return c.global(id_ValidationError); });
    raise_from(api_key_error(c, "Backend response did not match expected schema"), std::move(exc));
  }

  Ref logger = c.global(id_logger);
  call_method(logger.get(), id_debug, {str("API key validated successfully for version %s").get(), client_version});
  return result;
}

const FnSpec kValidateApiKey{"validate_api_key",
                             keygate_validate_api_key,
                             {arg("session", "HttpSession"), kwonly("client_version", "str", Conv::Str),
                              kwonly("include_messages", "bool", Conv::Bool, bool_default(true)),
                              kwonly("extra_context", "Optional[dict]", Conv::OptDict, none_default())},
                             "ApiKeyValidationResponse",
                             "Validate the provided API key with the backend."};

void build(Module& m) {
  static const Id id_getLogger("getLogger");
  m.import("logging");
  m.import_from("typing", {"Optional"});
  m.import_from("pydantic", {"ValidationError"});
  m.import_from("tessaro.exceptions", {"ApiKeyValidationError", "HttpError"});
  m.import_from("tessaro.types", {"ApiKeyValidationResponse"});
  m.import_relative("wirelink", {"HttpSession"});
  m.add("logger", call_method(m.get("logging").get(), id_getLogger, {m.get("__name__").get()}).get());
  m.add("VALIDATION_ENDPOINT", str("/auth/validate").get());
  m.def(kValidateApiKey);
}

}  // namespace

PCRT_MODULE(keygate, build)
