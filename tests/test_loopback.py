"""A host is loopback when the address the system would connect to is
loopback, in every spelling the system takes, and no request to it goes
through a proxy: generated spellings compared with what socket.inet_aton,
inet_pton and ipaddress say, then each kind of spelling sent past a proxy
that would answer."""

import ipaddress
import socket

import pytest
from hypothesis import given
from hypothesis import strategies as st

from context_compress import chat
from context_compress.chat import proxies
from strategies import PROPERTY
from fake_server import PROMPT, running_server

PROXY = "http://proxy.invalid:3128"
PROXY_VARIABLES = ("http_proxy", "https_proxy", "no_proxy", "all_proxy",
                   "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY", "ALL_PROXY")


@pytest.fixture
def proxied(monkeypatch):
    """http_proxy and https_proxy set, no_proxy empty."""
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("http_proxy", PROXY)
    monkeypatch.setenv("https_proxy", PROXY)


def here(address):
    """Whether a connection to `address` stays on this machine: loopback, or
    the unspecified address, which Linux connects to loopback."""
    address = getattr(address, "ipv4_mapped", None) or address
    return address.is_loopback or address.is_unspecified


# Full-width forms, which IDNA (as the socket module applies it) makes ASCII.
WIDE = {**{str(d): chr(0xFF10 + d) for d in range(10)}, "x": "ｘ", "X": "Ｘ", "a": "ａ", "f": "ｆ"}
DOTS = [".", "。", "．", "｡"]


@st.composite
def ipv4_spellings(draw):
    """(spelling, address): any address, 127/8 and 0.0.0.0 often, written as
    inet_aton reads it in one to four parts, each decimal, octal or hex with
    leading zeros; sometimes with a trailing dot, sometimes full-width."""
    number = draw(st.one_of(st.integers(0x7F000000, 0x7FFFFFFF), st.just(0),
                            st.integers(0, 0xFFFFFFFF)))
    count = draw(st.integers(1, 4))
    values = [(number >> 8 * (3 - i)) & 0xFF for i in range(count - 1)]
    values.append(number & ((1 << 8 * (5 - count)) - 1))
    parts = []
    for value in values:
        zeros = "0" * draw(st.integers(0, 3))
        parts.append(draw(st.sampled_from([
            str(value), f"0{zeros}{value:o}", f"0x{zeros}{value:x}", f"0X{zeros}{value:X}"])))
    ascii_spelling = ".".join(parts) + draw(st.sampled_from(["", "."]))
    if draw(st.booleans()):
        wide = "".join(WIDE.get(c, c) for c in ascii_spelling)
        wide = "".join(draw(st.sampled_from(DOTS)) if c == "." else c for c in wide)
        assert wide.encode("idna").decode() == ascii_spelling.lower()
        return wide, number
    return ascii_spelling, number


@st.composite
def ipv6_spellings(draw):
    """(spelling, address, core): ::1, ::, IPv4-mapped 127/8 and 0.0.0.0, or
    any address, compressed, exploded, uncompressed or with a dotted IPv4
    tail, in either case, with or without a zone id and brackets."""
    number = draw(st.one_of(
        st.sampled_from([0, 1, 0xFFFF00000000]),
        st.integers(0x7F000000, 0x7FFFFFFF).map(lambda v: 0xFFFF00000000 | v),
        st.integers(0, (1 << 128) - 1)))
    address = ipaddress.IPv6Address(number)
    groups = [(number >> 16 * (7 - i)) & 0xFFFF for i in range(8)]
    form = draw(st.sampled_from(["compressed", "exploded", "plain", "dotted"]))
    if form == "compressed":
        core = address.compressed
    elif form == "exploded":
        core = address.exploded
    elif form == "plain":
        core = ":".join(f"{g:x}" for g in groups)
    else:
        core = ":".join(f"{g:x}" for g in groups[:6]) + ":" + str(ipaddress.IPv4Address(number & 0xFFFFFFFF))
    core = core.upper() if draw(st.booleans()) else core
    assert socket.inet_pton(socket.AF_INET6, core) == address.packed
    spelling = core + draw(st.sampled_from(["", "%lo", "%25eth0", "%1"]))
    return (f"[{spelling}]" if draw(st.booleans()) else spelling), address


LOCALHOST_NAMES = st.builds(
    lambda sub, name, dot: sub + name + dot,
    st.sampled_from(["", "foo.", "a.b."]),
    st.sampled_from(["localhost", "LOCALHOST", "LocalHost", "ｌｏｃａｌｈｏｓｔ"]),
    st.sampled_from(["", "."]))
# Names resolved elsewhere (or nowhere), texts close to an address that the
# system does not take for one, and IPv6 addresses that only embed 127/8.
OTHER_NAMES = st.sampled_from(["example.com", "localhost.example", "notlocalhost", "localhostx",
                               "127.0.0.1.example", "localhost.localdomain", "0x", "08",
                               "1.2.3.4.5", "127.0.0.256", "0x1ffffffff", "::127.0.0.1",
                               "64:ff9b::127.0.0.1"])


def url_of(host, quoted):
    """An http URL naming `host`, percent-encoded when `quoted` (urllib
    decodes it before connecting)."""
    if ":" in host and not host.startswith("["):
        host = f"[{host}]"
    elif quoted and host.isascii():
        host = "".join(f"%{ord(c):02X}" for c in host)
    return f"http://{host}:8080/v1"


@PROPERTY
@given(case=st.one_of(
    ipv4_spellings().map(lambda s: (s[0], here(ipaddress.IPv4Address(s[1])))),
    ipv6_spellings().map(lambda s: (s[0], here(s[1]))),
    LOCALHOST_NAMES.map(lambda name: (name, True)),
    OTHER_NAMES.map(lambda name: (name, False))), quoted=st.booleans())
def test_loopback_in_any_spelling_and_only_it_goes_past_the_proxy(proxied, case, quoted):
    host, expected = case
    assert chat.is_loopback(host) is expected
    url = url_of(host, quoted)
    assert chat.proxy_for(url) == (None if expected else PROXY)
    assert chat.key_travels_in_clear(url) == (None if expected else PROXY)


@given(st.text("0123456789abcdefxX.", max_size=24))
def test_an_address_is_read_exactly_as_inet_aton_reads_it(text):
    try:
        expected = int.from_bytes(socket.inet_aton(text), "big")
    except OSError:
        expected = None
    assert proxies.inet_aton(text) == expected


@pytest.mark.parametrize("host, reaches_server", [
    ("127.1", True), ("2130706433", True), ("0x7f000001", True), ("0177.0.0.1", True),
    ("127.0.1", True), ("0x7f.1", True), ("%31%32%37.0.0.1", True), ("１２７.０.０.１", None),
    ("0.0.0.0", True), ("0", True), ("[::ffff:127.0.0.1]", None), ("[::ffff:7f00:1]", None),
    ("[::1]", None), ("localhost", None), ("LOCALHOST.", None), ("foo.localhost", None),
])
def test_no_request_to_a_loopback_spelling_reaches_the_proxy(monkeypatch, host, reaches_server):
    """A proxy that would answer every request: it gets none of them, key and
    all, whether the server is reached or the request fails here (None: as
    this machine resolves the name or routes IPv6; urllib sends no host
    that is not ASCII)."""
    with running_server() as server, running_server() as proxy:
        for name in PROXY_VARIABLES:
            monkeypatch.delenv(name, raising=False)
        monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{proxy.server_address[1]}")
        url = f"http://{host}:{server.server_address[1]}/ok/v1"
        try:
            chat._call_llm_api(PROMPT, {"base_url": url, "model": "m", "api_key": "sk-loopback",
                                        "connect_timeout": 5})
        except chat.ChatError:
            assert not reaches_server
        else:
            assert reaches_server is not False
            assert server.requests[0]["headers"]["authorization"] == "Bearer sk-loopback"
        assert proxy.requests == []
