"""Exception hierarchy of the host package (stand-in)."""

from __future__ import annotations

from typing import Any


class TessaroError(Exception):
    """Base class of every error raised by the client."""


class HttpError(TessaroError):
    """The service answered with an HTTP error or could not be reached."""

    def __init__(
        self,
        message: str,
        status_code: int | None = None,
        payload: Any = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.status_code = status_code
        self.payload = payload


class DataDecodingError(TessaroError):
    """A response body could not be decoded into the expected shape."""


class ApiKeyValidationError(TessaroError):
    """The API key was rejected or its validation failed."""
