"""The proxy of a request: the environment's, per URL, but never for a host
on this machine, whatever spelling of its loopback the URL uses."""

from __future__ import annotations

import ipaddress
import re
import urllib.parse
import urllib.request

# The rule: a host is loopback when the address the system would connect to
# is loopback, and no request to it goes through a proxy, which would see
# the request and its Authorization header (in clear over http) and would
# reach its own machine, not this one. "Would connect to" is read as
# getaddrinfo reads a host, without asking any resolver:
# - a host that is not ASCII goes through IDNA first, as the socket module
#   sends it (full-width digits and the ideographic full stop are then ASCII);
# - IPv4 in every spelling inet_aton takes: one to four parts, each decimal,
#   octal after a leading 0 or hex after 0x (127.1, 2130706433, 0x7f000001,
#   0177.0.0.1, 127.0.1); the last part fills the bytes left;
# - IPv6 in every form, brackets and zone id (::1, [::1], ::1%lo, 0:0::1)
#   included, and IPv4-mapped (::ffff:127.0.0.1) read as the IPv4 it maps;
# - the unspecified address (0.0.0.0, ::, "0"): connecting to it reaches
#   this machine's loopback;
# - of names, only localhost and *.localhost (RFC 6761), in any case, with a
#   trailing dot or not. Nothing is resolved: /etc/hosts may send other
#   names here too, but a lookup to choose a proxy could itself leave the
#   machine, and a name that resolves differently later would escape.
# Trailing dots are dropped from addresses too: "127.0.0.1." resolves to
# nothing here, yet a proxy could read it as its own loopback.
# Everything of this project that makes a request (the chat layer,
# scripts/local_llm.py, the benchmarks and examples) chooses its proxy with
# proxy_for() or proxy_handler(), which apply this rule.

# A part of an inet_aton address: hex after 0x, octal after 0, else decimal;
# ASCII digits only, as C's isdigit in the C locale.
_INET_PART = re.compile(r"0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*")


def inet_aton(text: str) -> int | None:
    """The IPv4 address `text` spells as inet_aton reads it (the whole of
    it: getaddrinfo takes nothing after the address), or None."""
    parts = text.split(".")
    if len(parts) > 4 or not all(_INET_PART.fullmatch(part) for part in parts):
        return None
    values = []
    for part in parts:
        base = 16 if part[1:2] in ("x", "X") else 8 if part[:1] == "0" else 10
        digits = (part[2:] if base == 16 else part).lstrip("0") or "0"
        if len(digits) > 11:  # past 32 bits in any base; int() of it could be slow
            return None
        values.append(int(digits, base))
    *head, last = values
    if any(value > 0xFF for value in head) or last >= 1 << 8 * (4 - len(head)):
        return None
    for i, value in enumerate(head):
        last |= value << 8 * (3 - i)
    return last


def is_loopback(host: str) -> bool:
    """Whether a connection to `host` (a name or an address, as a URL writes
    it) stays on this machine: its loopback, in any spelling the system
    takes, or a localhost name. The one place this project decides it."""
    if host[:1] == "[" and host[-1:] == "]":
        host = host[1:-1]
    if not host.isascii():
        try:
            host = host.encode("idna").decode("ascii")
        except UnicodeError:
            return False  # the socket module could not send it either
    host = host.lower().rstrip(".")
    if host == "localhost" or host.endswith(".localhost"):
        return True
    number = inet_aton(host)
    address: ipaddress.IPv4Address | ipaddress.IPv6Address
    if number is not None:
        address = ipaddress.IPv4Address(number)
    else:
        try:
            address = ipaddress.IPv6Address(host)
        except ValueError:
            return False
        address = address.ipv4_mapped or address
    return address.is_loopback or address.is_unspecified


def proxy_for(url: str) -> str | None:
    """The proxy a request to `url` goes through: the environment's
    (http_proxy, https_proxy, honouring no_proxy), but never for a loopback
    host (is_loopback), which is on this machine whatever a proxy could reach."""
    parts = urllib.parse.urlsplit(url)
    # urllib connects to the host percent-decoded (%31%32%37.0.0.1 is 127.0.0.1).
    if not parts.hostname or is_loopback(urllib.parse.unquote(parts.hostname)):
        return None
    proxy = urllib.request.getproxies().get(parts.scheme)
    if not proxy or urllib.request.proxy_bypass(parts.netloc):
        return None
    return proxy


def proxy_handler(url: str) -> urllib.request.ProxyHandler:
    """The handler that sends a request to `url` through proxy_for(url), or
    straight: an opener made without one takes the environment's proxies for
    every host, loopback included."""
    proxy = proxy_for(url)
    return urllib.request.ProxyHandler({urllib.parse.urlsplit(url).scheme: proxy} if proxy else {})


def key_travels_in_clear(url: str) -> str | None:
    """The proxy that would see a key sent to `url` in clear: a plain-http
    request through a proxy hands it the whole request, headers and all."""
    proxy = proxy_for(url)
    return proxy if proxy and urllib.parse.urlsplit(url).scheme == "http" else None
