"""Response models of the host package (stand-in)."""

from __future__ import annotations

from typing import List, Optional

from pydantic import BaseModel, Field


class ApiKeyValidationResponse(BaseModel):
    """The service's answer to an API-key validation request."""

    valid: bool
    plan: Optional[str] = None
    expires_at: Optional[str] = None
    messages: List[str] = Field(default_factory=list)
    client_version: Optional[str] = None
