"""The contract between the public investor client and the core that serves it."""

from typing import TYPE_CHECKING as TYPE_CHECKING, Any, Literal, Protocol, Sequence, Union, runtime_checkable

import pandas as pd

from ..wirelink import HttpSession

InvestorGroup = Literal[
    "foreign",
    "proprietary",
    "local_institutional",
    "local_individual",
    "foreign_institutional",
    "foreign_individual",
    "all",
]
SymbolArg = Union[str, Sequence[str]]
Interval = Literal["1D", "1W", "1M"]

@runtime_checkable
class FlowContract(Protocol):
    session: HttpSession
    def fetch_df(self, namespace: str, op: str, params: dict[str, Any]) -> pd.DataFrame: ...
