// private_core.investor.FlowContract: what the public investor-flow client
// expects of the core object that serves it, as a runtime-checkable protocol,
// and the value types it passes in.  The HTTP module is named in annotations
// only, so importing the contract loads neither it nor requests.
#include "pcrt/pcrt.hpp"

namespace {
using namespace pcrt;

// The protocol's own fetch_df is a declaration: it checks its arguments and
// answers None.
Ref flow_contract_fetch_df(Call&) { return none(); }

enum class FetchArg : std::size_t { self, namespace_, op, params };

const FnSpec kFetchDf{"fetch_df",
                      flow_contract_fetch_df,
                      {self_arg(), arg("namespace", "str", Conv::Str), arg("op", "str", Conv::Str),
                       arg("params", "dict", Conv::Dict)},
                      "pd.DataFrame"};

constexpr const char* kContractDoc =
    "Contract mà private_core phải tuân theo cho investor.*.\n"
    "\n"
    "Core implementors must expose an HttpSession via `session` so they can call APIs directly.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "namespace : str\n"
    "    One of \"stock\", \"market\", \"sector\".\n"
    "op : str\n"
    "    One of \"flow\", \"breakdown\", \"foreign_room\"; which of them a namespace offers is\n"
    "    the core's choice.\n"
    "params : dict\n"
    "    Parameters already normalised by the client: \"ids\" (list[str]), \"group\"\n"
    "    (InvestorGroup), \"start\" and \"end\" (\"YYYY-MM-DD\"), \"interval\" (Interval), plus\n"
    "    any extension keys, which are passed through.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "pd.DataFrame\n"
    "    BẮT BUỘC trả DataFrame (client sẽ không tự convert).";

// Literal[a, b, ...] or Union[...] built from the module's typing names.
Ref subscript(PyObject* form, std::initializer_list<PyObject*> items) {
  Ref key = tuple(items);
  return check(PyObject_GetItem(form, key.get()));
}

void build(Module& m) {
  m.import_from("typing", {"TYPE_CHECKING", "Literal", "Protocol", "Sequence", "Union", "runtime_checkable"});
  m.import("pandas", "pd");

  Ref literal = m.get("Literal");
  m.add("InvestorGroup",
        subscript(literal.get(), {str("foreign").get(), str("proprietary").get(), str("local_institutional").get(),
                                  str("local_individual").get(), str("foreign_institutional").get(),
                                  str("foreign_individual").get(), str("all").get()})
            .get());
  PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  Ref sequence_of_str = check(PyObject_GetItem(m.get("Sequence").get(), str_type));
  m.add("SymbolArg", subscript(m.get("Union").get(), {str_type, sequence_of_str.get()}).get());
  m.add("Interval", subscript(literal.get(), {str("1D").get(), str("1W").get(), str("1M").get()}).get());

  ClassBuilder contract(m, "FlowContract", kContractDoc);
  contract.base(m.get("Protocol").get()).annotate("session", "'HttpSession'").method(kFetchDf);
  Ref protocol = contract.build();
  m.add("FlowContract", call(m.get("runtime_checkable").get(), {protocol.get()}).get());
}

}  // namespace

PCRT_MODULE(FlowContract, build)
