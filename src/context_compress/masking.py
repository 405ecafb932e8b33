"""Masking of secrets in texts about to be shown: an API key in every form a
message can quote it, any long enough run of its characters, and the
credentials a URL carries."""

from __future__ import annotations

import contextlib
import re
import urllib.parse
from collections.abc import Callable, Iterable
from typing import Any

MASK = "***"

#: Secrets shorter than this are not masked as plain text: masking "ab"
#: everywhere would garble the report. URLs are masked by their structure.
MIN_SECRET_LENGTH = 4

# The rule for a secret in a text that can be cut: mask before any cut, and
# mask every run of FRAGMENT_LENGTH or more consecutive characters of the
# secret wherever it turns up, not only the secret whole. A text is cut in
# many places (a server's error message to 200 characters, each message of
# the extract to 2,000 by the native module, the summary excerpt to 160), and
# a cut that falls inside a key leaves most of it on one side, at the end of
# one text or the start of the next, where a search for the whole key finds
# nothing. Eight characters of a random key are 48 bits of it, and a run
# that long of a random key turns up in ordinary text by chance practically
# never, so prose stays readable. A key is masked as a key whatever it
# looks like: one made of words ("sk-no-key-required") has eight-character
# runs of them masked in prose too.
#: Runs of a secret at least this long are masked wherever they turn up.
FRAGMENT_LENGTH = 8
_HALF = FRAGMENT_LENGTH // 2

# The published starts of well-known API keys, which say whose key it is and
# nothing of the key: a run that lies wholly inside one is not masked, so that
# a text saying "a project key starts with sk-proj-" stays as it is. A run
# that reaches one character past it is part of the secret and is masked
# whole, prefix included. Only starts of FRAGMENT_LENGTH or more matter
# ("sk-" alone can hold no run); a key of another shape has no public part.
PUBLIC_KEY_PREFIXES = ("sk-ant-admin01-", "sk-ant-api03-", "sk-svcacct-", "sk-admin-",
                       "sk-or-v1-", "sk-proj-", "github_pat_")

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


def _public_length(secret: str) -> int:
    """How many leading characters of `secret` are a published key prefix (none
    when that is all it holds)."""
    return max((len(p) for p in PUBLIC_KEY_PREFIXES
                if secret.startswith(p) and len(secret) > len(p)), default=0)


class Redactor:
    """Masks the given secrets, any run of FRAGMENT_LENGTH or more of their
    characters, and the credentials of any URL, in a text about to be shown."""

    def __init__(self, secrets: Iterable[str | None] = ()) -> None:
        forms: set[str] = set()
        for secret in secrets:
            if isinstance(secret, str):
                forms |= _written_forms(secret)
        # Secrets too short to hold a run are masked whole; longest first, so
        # that a secret containing another is masked whole.
        self.secrets = sorted((s for s in forms if MIN_SECRET_LENGTH <= len(s) < FRAGMENT_LENGTH),
                              key=len, reverse=True)
        # Every run of FRAGMENT_LENGTH characters of a longer secret, and
        # whether it holds a character past the secret's public prefix: a
        # stretch of text made of such runs is masked when one of them does.
        self.runs: dict[str, bool] = {}
        for form in forms:
            public = _public_length(form)
            for start in range(len(form) - FRAGMENT_LENGTH + 1):
                run = form[start:start + FRAGMENT_LENGTH]
                self.runs[run] = self.runs.get(run, False) or start + FRAGMENT_LENGTH > public
        # Their halves: a run anywhere in a text holds a half that starts at a
        # multiple of _HALF, so a text none of whose such pieces is a half of
        # a run is looked at no further (most texts, four times faster).
        self._halves = {run[i:i + _HALF] for run in self.runs for i in range(_HALF + 1)}

    def _secret_stretches(self, text: str) -> list[tuple[int, int]]:
        """The stretches of `text` covered by runs of a secret, overlapping or
        touching runs joined, that hold at least one secret character."""
        width, last = FRAGMENT_LENGTH, len(text) - FRAGMENT_LENGTH
        starts = sorted({i for at in range(0, len(text) - _HALF + 1, _HALF)
                         if text[at:at + _HALF] in self._halves
                         for i in range(max(at - _HALF, 0), min(at, last) + 1)})
        found: list[tuple[int, int]] = []
        start = end = -1
        secret = False
        for i in starts:
            is_secret = self.runs.get(text[i:i + width])
            if is_secret is None:
                continue
            if i > end:
                if secret:
                    found.append((start, end))
                start, secret = i, False
            end = i + width
            secret = secret or is_secret
        if secret:
            found.append((start, end))
        return found

    def secrets_only(self, text: str) -> str:
        """`text` with the secrets and their runs masked (URLs left as they are)."""
        for secret in self.secrets:
            text = text.replace(secret, MASK)
        if not self.runs:
            return text
        # Until none is left: a mask put between two pieces of text could
        # make a run of a secret that holds "*".
        while stretches := self._secret_stretches(text):
            pieces, at = [], 0
            for start, end in stretches:
                pieces += [text[at:start], MASK]
                at = end
            pieces.append(text[at:])
            text = "".join(pieces)
        return text

    def __call__(self, text: str) -> str:
        # The secrets last, so that nothing masked after them can join
        # pieces of text into a run of one.
        return self.secrets_only(mask_urls(text))

    def deep(self, value: Any) -> Any:
        """`value` with every string in it masked, through dicts and lists."""
        if isinstance(value, str):
            return self(value)
        if isinstance(value, dict):
            return {k: self.deep(v) for k, v in value.items()}
        if isinstance(value, list):
            return [self.deep(v) for v in value]
        return value


def shortened(text: str, limit: int, mask: Callable[[str], str], marker: str = "...") -> str:
    """`text` masked, then cut to its first `limit` characters with `marker`
    after them when it is longer: masked first, so that the cut cannot split
    a secret the mask would have found whole."""
    text = mask(text)
    return text[:limit] + marker if len(text) > limit else text
