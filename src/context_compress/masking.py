"""Masking of secrets in texts about to be shown: an API key in every form a
message can quote it, and the credentials a URL carries."""

from __future__ import annotations

import contextlib
import re
import urllib.parse
from collections.abc import Iterable
from typing import Any

MASK = "***"

#: Secrets shorter than this are not masked as plain text: masking "ab"
#: everywhere would garble the report. URLs are masked by their structure.
MIN_SECRET_LENGTH = 4

# The user information of a URL: everything between "scheme://" and the last
# "@" before the path, as urlsplit reads it.
_URL_USERINFO = re.compile(r"(?i)\b([a-z][a-z0-9+.-]*://)[^/?#\s]*@")
# Query parameters whose names say they carry a credential (key=, api-key=,
# access_token=, sig=, password=...); api-version and the like stay readable.
# The value ends where the URL does: at white space, a quote, or a colon that
# ends the URL in "POST <url>: reason".
_SECRET_QUERY = re.compile(
    r"(?i)([?&;][\w.-]*(?:key|token|secret|passw|pwd|sig|auth|credential)[\w.-]*=)"
    r"(?:[^&#\s'\"<>:]|:(?![\s'\"]|$))*")


def mask_urls(text: str) -> str:
    """`text` with the user information of every URL in it, and the values of
    credential-looking query parameters, replaced by ***."""
    return _SECRET_QUERY.sub(rf"\1{MASK}", _URL_USERINFO.sub(rf"\1{MASK}@", text))


def url_secrets(url: str | None) -> list[str]:
    """The credentials a URL carries (user, password, credential query values),
    as written and percent-decoded, for masking wherever they turn up."""
    if not isinstance(url, str) or not url:
        return []
    found = []
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:  # such a URL is refused before any request
        return []
    userinfo = parts.netloc.rpartition("@")[0]
    found += userinfo.split(":", 1) if userinfo else []
    for match in _SECRET_QUERY.finditer("?" + parts.query):
        found.append(match.string[match.end(1):match.end()])
    return found + [urllib.parse.unquote(s) for s in found]


def _written_forms(secret: str) -> set[str]:
    """The ways a secret turns up in a text: as it is, without the white
    space around it, and as the repr of the str or of its bytes shows it (an
    error about a header value quotes the Latin-1 bytes http.client sent,
    b"Bearer sk-...\\r")."""
    forms = {secret, secret.strip()}
    for form in list(forms):
        forms.add(repr(form)[1:-1])
        forms.add(repr(form.encode("utf-8", "backslashreplace"))[2:-1])
        with contextlib.suppress(UnicodeEncodeError):
            forms.add(repr(form.encode("latin-1"))[2:-1])
    return forms


class Redactor:
    """Masks the given secrets, and the credentials of any URL, in a text
    about to be shown."""

    def __init__(self, secrets: Iterable[str | None] = ()) -> None:
        forms: set[str] = set()
        for secret in secrets:
            if isinstance(secret, str):
                forms |= _written_forms(secret)
        # Longest first, so that a secret containing another is masked whole.
        self.secrets = sorted((s for s in forms if len(s) >= MIN_SECRET_LENGTH),
                              key=len, reverse=True)

    def secrets_only(self, text: str) -> str:
        for secret in self.secrets:
            text = text.replace(secret, MASK)
        return text

    def __call__(self, text: str) -> str:
        return mask_urls(self.secrets_only(text))

    def deep(self, value: Any) -> Any:
        """`value` with every string in it masked, through dicts and lists."""
        if isinstance(value, str):
            return self(value)
        if isinstance(value, dict):
            return {k: self.deep(v) for k, v in value.items()}
        if isinstance(value, list):
            return [self.deep(v) for v in value]
        return value
