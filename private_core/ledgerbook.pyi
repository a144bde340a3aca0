"""Company-type validation and financial-statement values."""

from typing import Any, Dict, List, Sequence

import requests

from .wirelink import HttpSession

_COMPANY_TYPE_ENDPOINT: str
_STATEMENT_ENDPOINT: str
JsonDict = Dict[str, Any]

def _ensure_json_dict(payload: Any, *, context: str) -> JsonDict: ...
def _decode_response(response: requests.Response, *, context: str) -> JsonDict: ...
def _coerce_symbols(symbols: Sequence[str]) -> List[str]: ...
def validate_company_types(session: HttpSession, symbols: Sequence[str]) -> JsonDict: ...
def fetch_statement_values(
    session: HttpSession,
    *,
    symbols: Sequence[str],
    statement_id: int,
    start_year: int,
    end_year: int,
    period: str,
) -> JsonDict: ...
