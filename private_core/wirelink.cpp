// private_core.wirelink: the authenticated HTTP session every fetcher talks
// through.  It joins API paths to the base URL, sends the bearer token and
// fixed headers, logs each call and turns transport failures and error
// statuses into the host package's HttpError.
#include <cctype>
#include <cstring>

#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"

namespace {
using namespace pcrt;

// Module-level names read at call time.
const Id id_logger("logger"), id_requests("requests"), id_urljoin("urljoin"),
    id_default_user_agent("_default_user_agent");
// Attributes and keywords.
const Id id_api_key("api_key"), id_base_url("base_url"), id_timeout("timeout"), id_session("_session"),
    id_Session("Session"), id_headers("headers"), id_update("update"), id_prepare_url("_prepare_url"),
    id_debug("debug"), id_request("request"), id_params("params"), id_json("json"), id_json_body("json_body"),
    id_data("data"), id_RequestException("RequestException"), id_status_code("status_code"), id_payload("payload"),
    id_text("text"), id_close("close");

Site site_base_url(id_base_url), site_session(id_session), site_timeout(id_timeout);
Site site_session_close(id_close), site_self_close(id_close);  // on requests' session; on ours

constexpr const char* kNetworkFailure = "⛔️ Tải dữ liệu lỗi vui lòng tải lại!";

// The host package is imported only when an error is raised, so this module
// loads without it.
Ref http_error_class() { return import_from("tessaro.exceptions", "HttpError"); }

Ref strip_slashes(PyObject* text, bool leading) {
  Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  if (leading) {
    while (begin < end && PyUnicode_READ(kind, data, begin) == '/') ++begin;
  } else {
    while (end > begin && PyUnicode_READ(kind, data, end - 1) == '/') --end;
  }
  return check(PyUnicode_Substring(text, begin, end));
}

const Id lit_http("http://"), lit_https("https://");

bool starts_with(PyObject* text, const Id& prefix) {
  return check_size(PyUnicode_Tailmatch(text, prefix.get(), 0, PY_SSIZE_T_MAX, -1)) == 1;
}

// urllib.parse.urljoin as imported at load; while the module's `urljoin` is
// still that function, the common join is done here (see simple_join).
PyObject* g_urljoin = nullptr;

// Characters that make urljoin do more than concatenate: splitting off a
// query, fragment or parameters, bracketed hosts, and (in the relative part)
// a scheme.  Spaces and control characters are stripped by urljoin.
bool plain_url_char(Py_UCS4 ch, bool relative) {
  if (ch <= 0x20 || ch >= 0x7f) return false;
  switch (ch) {
    case '?':
    case '#':
    case ';':
    case '[':
    case ']':
    case '\\':
      return false;
    case ':':
      return !relative;
    default:
      return true;
  }
}

// Whether text[begin, end) holds an empty segment ("//") or a "." or ".."
// segment, which urljoin would collapse.
bool needs_normalising(const char* text, std::size_t begin, std::size_t end) {
  std::size_t start = begin;
  for (std::size_t i = begin; i <= end; ++i) {
    if (i < end && text[i] != '/') continue;
    const std::size_t length = i - start;
    if (i < end && i + 1 < end && text[i + 1] == '/') return true;
    if (length == 1 && text[start] == '.') return true;
    if (length == 2 && text[start] == '.' && text[start + 1] == '.') return true;
    start = i + 1;
  }
  return false;
}

// urljoin(base, relative) for the shape every API call has: an http(s) base
// ending in "/" and a plain relative path.  Then the join is the plain
// concatenation; anything else returns an empty Ref and goes to urljoin.
Ref simple_join(PyObject* base, PyObject* relative) {
  if (!PyUnicode_IS_ASCII(base) || !PyUnicode_IS_ASCII(relative)) return nullptr;
  const std::size_t base_len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(base));
  const std::size_t rel_len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(relative));
  const char* b = reinterpret_cast<const char*>(PyUnicode_DATA(base));
  const char* r = reinterpret_cast<const char*>(PyUnicode_DATA(relative));
  if (rel_len == 0 || r[0] == '/' || b[base_len - 1] != '/') return nullptr;
  std::size_t scheme_end;
  if (base_len > 8 && std::memcmp(b, "https://", 8) == 0) {
    scheme_end = 8;
  } else if (base_len > 7 && std::memcmp(b, "http://", 7) == 0) {
    scheme_end = 7;
  } else {
    return nullptr;
  }
  std::size_t path_begin = scheme_end;
  while (path_begin < base_len && b[path_begin] != '/') {
    const char ch = b[path_begin];
    if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-' || ch == ':' || ch == '_')) {
      return nullptr;
    }
    ++path_begin;
  }
  if (path_begin == scheme_end) return nullptr;  // no host
  for (std::size_t i = path_begin; i < base_len; ++i) {
    if (!plain_url_char(static_cast<unsigned char>(b[i]), false)) return nullptr;
  }
  for (std::size_t i = 0; i < rel_len; ++i) {
    if (!plain_url_char(static_cast<unsigned char>(r[i]), true)) return nullptr;
  }
  if (needs_normalising(b, path_begin, base_len) || needs_normalising(r, 0, rel_len)) return nullptr;
  return check(PyUnicode_Concat(base, relative));
}

// ---------------------------------------------------------------------------

enum class DefaultUserAgentArg : std::size_t { version };

Ref wirelink_default_user_agent(Call& c) {
  static const Id prefix("tessaro/");
  return check(PyUnicode_Concat(prefix.get(), c[DefaultUserAgentArg::version]));
}

const FnSpec kDefaultUserAgent{"_default_user_agent", wirelink_default_user_agent, {arg("version", "str", Conv::Str)}, "str"};

// A header value travels as Latin-1 text without control characters; a key
// that cannot is refused up front, before it reaches any error text.
void check_header_safe_key(PyObject* api_key) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(api_key);
  const int kind = PyUnicode_KIND(api_key);
  const void* data = PyUnicode_DATA(api_key);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (ch < 32 || ch == 127 || ch > 255) {
      raise(PyExc_ValueError, "api_key contains characters that cannot be sent in an HTTP header");
    }
  }
}

enum class InitArg : std::size_t { self, api_key, base_url, version, timeout, user_agent };

Ref http_session_init(Call& c) {
  PyObject* self = c.self();
  PyObject* api_key = c[InitArg::api_key];
  check_header_safe_key(api_key);
  setattr(self, id_api_key, api_key);
  setattr(self, id_base_url, strip_slashes(c[InitArg::base_url], false).get());
  setattr(self, id_timeout, c[InitArg::timeout]);
  Ref requests = c.global(id_requests);
  Ref session = call(module_attr(requests.get(), id_Session).get());
  setattr(self, id_session, session.get());

  PyObject* given_agent = c[InitArg::user_agent];
  Ref user_agent = truthy(given_agent) ? Ref::borrow(given_agent)
                                       : call(c.global(id_default_user_agent).get(), {c[InitArg::version]});
  static const Id bearer("Bearer "), key_authorization("Authorization"), key_accept("Accept"),
      key_content_type("Content-Type"), key_user_agent("User-Agent"), json_type("application/json");
  Ref headers = new_dict();
  dict_set(headers.get(), key_authorization, check(PyUnicode_Concat(bearer.get(), api_key)).get());
  dict_set(headers.get(), key_accept, json_type.get());
  dict_set(headers.get(), key_content_type, json_type.get());
  dict_set(headers.get(), key_user_agent, user_agent.get());
  Ref session_headers = getattr(session.get(), id_headers);
  call_method(session_headers.get(), id_update, {headers.get()});
  return none();
}

const FnSpec kInit{"__init__",
                   http_session_init,
                   {self_arg(), arg("api_key", "str", Conv::Str),
                    kwonly("base_url", "str", Conv::Str, global_default("BASE_URL")),
                    kwonly("version", "str", Conv::Str, str_default("0.0.0")),
                    kwonly("timeout", "int", Conv::Int, global_default("DEFAULT_TIMEOUT")),
                    kwonly("user_agent", "Optional[str]", Conv::OptStr, none_default())},
                   "None"};

enum class PrepareUrlArg : std::size_t { self, path };

Ref http_session_prepare_url(Call& c) {
  static const Id slash("/");
  PyObject* path = c[PrepareUrlArg::path];
  if (starts_with(path, lit_http) || starts_with(path, lit_https)) return Ref::borrow(path);
  Ref base_url = site_base_url.get(c.self());
  Ref base = check(PyObject_Str(base_url.get()));
  Ref base_with_slash = check(PyUnicode_Concat(base.get(), slash.get()));
  Ref relative = strip_slashes(path, true);
  Ref urljoin = c.global(id_urljoin);
  if (urljoin.get() == g_urljoin) {
    if (Ref joined = simple_join(base_with_slash.get(), relative.get())) return joined;
  }
  return call(urljoin.get(), {base_with_slash.get(), relative.get()});
}

const FnSpec kPrepareUrl{"_prepare_url", http_session_prepare_url, {self_arg(), arg("path", "str", Conv::Str)}, "str"};

// Raises HttpError for an answer with status 400 or above; the payload is the
// decoded JSON body, or the body text when it cannot be decoded.
[[noreturn]] void raise_status(PyObject* response, PyObject* status_code, PyObject* url) {
  Ref payload;
  try {
    payload = call_method(response, id_json);
  } catch (const Raised&) {
    catch_json_error();
    payload = getattr(response, id_text);
  }
  Ref error_class = http_error_class();
  // %S, not %U: `_prepare_url` may be overridden and hand back something other than str.
  Ref message = check(PyUnicode_FromFormat("Tessaro backend returned HTTP %S for %S", status_code, url));
  raise_exc(call(error_class.get(), {message.get()}, {{id_status_code, status_code}, {id_payload, payload.get()}}));
}

enum class RequestArg : std::size_t { self, method, path, params, json_body, data, headers, timeout };

Ref http_session_request(Call& c) {
  using A = RequestArg;
  PyObject* self = c.self();
  PyObject* method = c[A::method];
  PyObject* params = c[A::params];
  PyObject* headers = c[A::headers];
  PyObject* timeout = c[A::timeout];

  Ref url = call_method(self, id_prepare_url, {c[A::path]});
  Ref merged_headers = new_dict();
  if (truthy(headers)) check(PyDict_Update(merged_headers.get(), headers));

  Ref logger = c.global(id_logger);
  call_method(logger.get(), id_debug, {str("HTTP %s %s params=%s").get(), method, url.get(), params});

  Ref effective_timeout = truthy(timeout) ? Ref::borrow(timeout) : site_timeout.get(self);
  PyObject* call_headers = PyDict_GET_SIZE(merged_headers.get()) != 0 ? merged_headers.get() : Py_None;
  Ref session = site_session.get(self);
  Ref response;
  try {
    response = call_method(session.get(), id_request, {method, url.get()},
                           {{id_params, params},
                            {id_json, c[A::json_body]},
                            {id_data, c[A::data]},
                            {id_headers, call_headers},
                            {id_timeout, effective_timeout.get()}});
  } catch (const Raised&) {
    Ref cause = catch_matching([&] { return module_attr(c.global(id_requests).get(), id_RequestException); });
    Ref error_class = http_error_class();
    raise_from(call(error_class.get(), {str(kNetworkFailure).get()}), std::move(cause));
  }

  Ref status_code = getattr(response.get(), id_status_code);
  Ref threshold = integer(400);
  if (check(PyObject_RichCompareBool(status_code.get(), threshold.get(), Py_GE))) {
    raise_status(response.get(), status_code.get(), url.get());
  }
  return response;
}

const FnSpec kRequest{"request",
                      http_session_request,
                      {self_arg(), arg("method", "str", Conv::Str), arg("path", "str", Conv::Str),
                       kwonly("params", "Optional[Dict[str, Any]]", Conv::OptDict, none_default()),
                       kwonly("json_body", "Optional[Dict[str, Any]]", Conv::OptDict, none_default()),
                       kwonly("data", "Optional[Any]", Conv::Any, none_default()),
                       kwonly("headers", "Optional[Dict[str, str]]", Conv::OptDict, none_default()),
                       kwonly("timeout", "Optional[int]", Conv::OptInt, none_default())},
                      "requests.Response",
                      "Send one request to the API and return the response (status below 400).\n"
                      "\n"
                      "Raises\n"
                      "------\n"
                      "HttpError\n"
                      "    On a transport failure, or when the service answers with a status of 400 or above."};

enum class GetArg : std::size_t { self, path, params, headers, timeout };

Ref http_session_get(Call& c) {
  static const Id id_GET("GET");
  return call_method(c.self(), id_request, {id_GET.get(), c[GetArg::path]},
                     {{id_params, c[GetArg::params]}, {id_headers, c[GetArg::headers]}, {id_timeout, c[GetArg::timeout]}});
}

const FnSpec kGet{"get",
                  http_session_get,
                  {self_arg(), arg("path", "str", Conv::Str),
                   kwonly("params", "Optional[Dict[str, Any]]", Conv::OptDict, none_default()),
                   kwonly("headers", "Optional[Dict[str, str]]", Conv::OptDict, none_default()),
                   kwonly("timeout", "Optional[int]", Conv::OptInt, none_default())},
                  "requests.Response"};

enum class PostArg : std::size_t { self, path, json_body, data, headers, timeout };

Ref http_session_post(Call& c) {
  static const Id id_POST("POST");
  return call_method(c.self(), id_request, {id_POST.get(), c[PostArg::path]},
                     {{id_json_body, c[PostArg::json_body]},
                      {id_data, c[PostArg::data]},
                      {id_headers, c[PostArg::headers]},
                      {id_timeout, c[PostArg::timeout]}});
}

const FnSpec kPost{"post",
                   http_session_post,
                   {self_arg(), arg("path", "str", Conv::Str),
                    kwonly("json_body", "Optional[Dict[str, Any]]", Conv::OptDict, none_default()),
                    kwonly("data", "Optional[Any]", Conv::Any, none_default()),
                    kwonly("headers", "Optional[Dict[str, str]]", Conv::OptDict, none_default()),
                    kwonly("timeout", "Optional[int]", Conv::OptInt, none_default())},
                   "requests.Response"};

Ref http_session_close(Call& c) {
  Ref session = site_session.get(c.self());
  site_session_close.call(session.get());
  return none();
}

// HttpSession.close as created at load; `__exit__` runs its body directly
// while `self.close` still resolves to it.
PyObject* g_close = nullptr;

const FnSpec kClose{"close", http_session_close, {self_arg()}, "None"};

Ref http_session_enter(Call& c) { return Ref::borrow(c.self()); }

const FnSpec kEnter{"__enter__", http_session_enter, {self_arg()}, "'HttpSession'"};

Ref http_session_exit(Call& c) {
  if (site_self_close.resolves_to(c.self(), g_close)) return http_session_close(c);
  call_method(c.self(), id_close);
  return none();
}

const FnSpec kExit{"__exit__", http_session_exit, {self_arg(), arg("exc_type"), arg("exc_value"), arg("traceback")}, "None"};

void build(Module& m) {
  m.import("logging");
  m.import_from("typing", {"TYPE_CHECKING", "Any", "Dict", "Optional"});
  m.import_from("urllib.parse", {"urljoin"});
  if (g_urljoin == nullptr) g_urljoin = m.get("urljoin").release();  // kept for the life of the process
  m.import("requests");
  static const Id id_getLogger("getLogger");
  m.add("logger", call_method(m.get("logging").get(), id_getLogger, {m.get("__name__").get()}).get());
  m.add("BASE_URL", str("https://api.tessaro.vn/api/v1/tessaro").get());
  m.add("DEFAULT_TIMEOUT", integer(30).get());
  m.def(kDefaultUserAgent);

  ClassBuilder session(m, "HttpSession", "Lightweight wrapper around :class:`requests.Session` with Tessaro defaults.");
  session.method(kInit).method(kPrepareUrl).method(kRequest).method(kGet).method(kPost).method(kClose).method(kEnter).method(kExit);
  Ref session_cls = session.build();
  m.add("HttpSession", session_cls.get());
  if (g_close == nullptr)
    g_close = getattr(session_cls.get(), id_close).release();  // kept for the life of the process
}

}  // namespace

PCRT_MODULE(wirelink, build)
