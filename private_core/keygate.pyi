"""API-key validation with the service."""

import logging
from typing import Any, Dict, Optional

from tessaro.types import ApiKeyValidationResponse

from .wirelink import HttpSession

logger: logging.Logger
VALIDATION_ENDPOINT: str

def validate_api_key(
    session: HttpSession,
    *,
    client_version: str,
    include_messages: bool = True,
    extra_context: Optional[Dict[str, Any]] = None,
) -> ApiKeyValidationResponse: ...
