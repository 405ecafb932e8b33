"""_parse_ts and add_seconds_rfc3339: accepted forms, fallbacks, rounding,
rendering in UTC, the local zone for naive values, errors and their entries."""

from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference as ref
from shared import outcome
from strategies import PROPERTY

UTC = timezone.utc
PLUS8 = timezone(timedelta(hours=8))

# POSIX zone rules need no zone database: UTC, UTC+08:00, UTC-05:00 with
# US daylight saving, and a zone 14 hours ahead.
ZONES = ["UTC0", "CST-8", "EST5EDT,M3.2.0,M11.1.0", "LINT-14"]


def described(value):
    """A parsed value with its zone made visible (aware and naive values, and
    values of different offsets, can compare equal)."""
    if isinstance(value, datetime):
        return (value.replace(tzinfo=None), value.utcoffset(), value.tzinfo is UTC)
    return value


class OwnReplace(str):
    def replace(self, old, new, count=-1):
        return "2000-01-02T03:04:05+00:00"


class ReplaceRaises:
    def __init__(self, exc):
        self.exc = exc

    def replace(self, *args):
        raise self.exc


class IntSub(int):
    pass


class FloatSub(float):
    pass


class UnparsableSub(str):
    pass


# --- _parse_ts ------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("2024-05-01T12:00:00Z", datetime(2024, 5, 1, 12, tzinfo=UTC)),
    ("2024-05-01T12:00:00", datetime(2024, 5, 1, 12)),
    ("2024-05-01", datetime(2024, 5, 1)),
    ("2024-05-01 12:00:00.123+08:00", datetime(2024, 5, 1, 12, 0, 0, 123000, tzinfo=PLUS8)),
    ("2024-05-01T12:00:00.1234567Z", datetime(2024, 5, 1, 12, 0, 0, 123456, tzinfo=UTC)),
    ("2024-05-01T12:00:00.9999999Z", datetime(2024, 5, 1, 12, 0, 0, 999999, tzinfo=UTC)),
    ("2024-05-01T12:00:00,5Z", datetime(2024, 5, 1, 12, 0, 0, 500000, tzinfo=UTC)),
    ("2024-05-01T12:00:00+0800", datetime(2024, 5, 1, 12, tzinfo=PLUS8)),
    ("2024-05-01T12:00:00-05:00", datetime(2024, 5, 1, 12, tzinfo=timezone(timedelta(hours=-5)))),
    ("2024-05-01T12:00:00+00:00", datetime(2024, 5, 1, 12, tzinfo=UTC)),
    ("2024-05-01T12:00:00-00:00", datetime(2024, 5, 1, 12, tzinfo=UTC)),
    ("20240501T120000Z", datetime(2024, 5, 1, 12, tzinfo=UTC)),
    ("2024-W18-3", datetime(2024, 5, 1)),
    ("2024-05-01x12:00", datetime(2024, 5, 1, 12)),
    ("2024-05-01T12", datetime(2024, 5, 1, 12)),
    ("2024-05-01T12:00:00.5Z", datetime(2024, 5, 1, 12, 0, 0, 500000, tzinfo=UTC)),
    (OwnReplace("garbage"), datetime(2000, 1, 2, 3, 4, 5, tzinfo=UTC)),   # its own replace() is used
])
def test_parse_ts_misparses_accepted_form(module, text, expected):
    result = module._parse_ts(text)
    assert type(result) is datetime
    assert described(result) == described(expected)


@pytest.mark.parametrize("value", [
    "2024-05-01T12:00:00z",
    "2024-05",
    "2024",
    "2024-122",
    " 2024-05-01",
    "2024-05-01 ",
    "ZZ",
    "2024-05-01T12:00:00ZZ",
    "2024-13-01",
    "2024-05-01T24:00:01",
    "not a timestamp",
    "\ud800",
    "2024-05-01T12:00:00\U0001f600",
    5,
    3.5,
    b"2024-05-01",
    bytearray(b"2024-05-01"),
    datetime(2024, 5, 1),
    ["2024-05-01"],
    {"2024-05-01": 1},
    "", None, 0, 0.0, False, [], {}, b"",
    # An ordinary failure of replace() reads as unparsable.
    ReplaceRaises(ValueError("bad")), ReplaceRaises(LookupError("bad")), ReplaceRaises(RecursionError("deep")),
    ReplaceRaises(MemoryError()),
])
def test_parse_ts_accepts_unparsable_value(module, value):
    assert module._parse_ts(value) is None


class Recording:
    """Falsy or truthy on demand; records every replace() call."""

    def __init__(self, truth, answer="2024-05-01T12:00:00+00:00"):
        self.truth, self.answer, self.calls = truth, answer, []

    def __bool__(self):
        return self.truth

    def replace(self, *args):
        self.calls.append(args)
        return self.answer


@pytest.mark.parametrize("truth, answer, expected", [
    (True, "2024-05-01T12:00:00+00:00", datetime(2024, 5, 1, 12, tzinfo=UTC)),
    (True, "2024-05-01", datetime(2024, 5, 1)),
    (True, "garbage", None),
    (True, 20240501, None),          # not text: fromisoformat refuses it
    (False, "2024-05-01T12:00:00+00:00", None),   # falsy: replace() is never called
])
def test_parse_ts_bypasses_replace_of_the_value(module, truth, answer, expected):
    value = Recording(truth, answer)
    assert described(module._parse_ts(value)) == described(expected)
    assert value.calls == ([("Z", "+00:00")] if truth else [])


# --- generated timestamps -------------------------------------------------------

OFFSETS = ["", "Z", "z", "+00:00", "-00:00", "+08:00", "+0800", "-05:30", "+14:00", "-23:59",
           "+23:59:59", "+24:00", "+05:30:15.5", "ZZ", "+08", "Z+01:00"]


@st.composite
def timestamp_texts(draw):
    moment = draw(st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31, 23, 59, 59, 999999)))
    basic = draw(st.booleans())
    date = moment.strftime("%Y%m%d" if basic else "%Y-%m-%d").zfill(8 if basic else 10)
    if draw(st.integers(0, 9)) == 0:
        return date
    sep = draw(st.sampled_from(["T", " ", "t", "x", "_", "T", "T"]))
    fields = draw(st.integers(1, 3))
    clock = [f"{moment.hour:02d}", f"{moment.minute:02d}", f"{moment.second:02d}"][:fields]
    text = date + sep + ("" if basic else ":").join(clock)
    if fields == 3 and draw(st.booleans()):
        digits = f"{moment.microsecond:06d}" + draw(st.text("0123456789", max_size=4))
        text += draw(st.sampled_from([".", ","])) + digits[:draw(st.integers(1, len(digits)))]
    text += draw(st.sampled_from(OFFSETS))
    if draw(st.integers(0, 7)) == 0:   # damage it somewhere
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from(["", " ", "Z", "-", ":", "0", "\u4e00", "\ud800"])) + text[at + 1:]
    return text


seconds = st.one_of(
    st.integers(-10**10, 10**10),
    st.sampled_from([0, 1, -1, True, False, 86400, -86400, 10**12, -10**12]),
    st.floats(-1e9, 1e9, allow_nan=False),
    st.sampled_from([0.5, 1.25, 5e-7, 1.5e-6, 2.5e-6, -5e-7, -1.5e-6, 0.1, float("nan"), float("inf")]),
)


@PROPERTY
@given(st.one_of(timestamp_texts(), st.text(st.sampled_from("0123456789-T:Z+., zW\u4e00"), max_size=32)))
def test_parse_ts_disagrees_with_reference(module, text):
    assert described(module._parse_ts(text)) == described(ref._parse_ts(text))


@pytest.mark.parametrize("zone", ZONES)
@PROPERTY
@given(data=st.data())
def test_add_seconds_disagrees_with_reference_in_local_zone(module, local_zone, zone, data):
    local_zone(zone)
    text = data.draw(timestamp_texts())
    secs = data.draw(seconds)
    assert outcome(module.add_seconds_rfc3339, text, secs) == outcome(ref.add_seconds_rfc3339, text, secs)


# --- add_seconds_rfc3339 --------------------------------------------------------

@pytest.mark.parametrize("text, secs, expected", [
    ("2024-05-01T12:00:00Z", 1, "2024-05-01T12:00:01+00:00"),
    ("2024-05-01T12:00:00.5Z", 1, "2024-05-01T12:00:01.500000+00:00"),
    ("2024-05-01T12:00:00Z", 1.25, "2024-05-01T12:00:01.250000+00:00"),
    ("2024-05-01T12:00:00+08:00", 1, "2024-05-01T04:00:01+00:00"),
    ("2024-05-01T12:00:00-05:30", 0, "2024-05-01T17:30:00+00:00"),
    ("2024-05-01T12:00:00Z", -1, "2024-05-01T11:59:59+00:00"),
    ("2024-05-01T12:00:00Z", True, "2024-05-01T12:00:01+00:00"),
    ("2024-05-01T12:00:00Z", False, "2024-05-01T12:00:00+00:00"),
    ("2024-05-01T12:00:00Z", 0.0000005, "2024-05-01T12:00:00+00:00"),     # ties to even: 0
    ("2024-05-01T12:00:00Z", 0.0000015, "2024-05-01T12:00:00.000002+00:00"),
    ("2024-05-01T12:00:00Z", 0.0000025, "2024-05-01T12:00:00.000002+00:00"),
    ("2024-05-01T12:00:00Z", -0.0000005, "2024-05-01T12:00:00+00:00"),
    ("2024-05-01T12:00:00.000001Z", -0.000001, "2024-05-01T12:00:00+00:00"),
    ("2024-12-31T23:59:59Z", 1, "2025-01-01T00:00:00+00:00"),
    ("2024-02-28T23:59:59.999999Z", 0.000001, "2024-02-29T00:00:00+00:00"),
    ("2024-05-01T12:00:00Z", 86400 * 366, "2025-05-02T12:00:00+00:00"),
    ("0001-01-01T00:00:00Z", 0, "0001-01-01T00:00:00+00:00"),
    ("9999-12-31T23:59:58Z", 1, "9999-12-31T23:59:59+00:00"),
    ("2024-05-01T00:30:00+08:00", 0, "2024-04-30T16:30:00+00:00"),
    ("2024-05-01T12:00:00Z", IntSub(2), "2024-05-01T12:00:02+00:00"),
    ("2024-05-01T12:00:00Z", FloatSub(0.75), "2024-05-01T12:00:00.750000+00:00"),
    ("2024-05-01T12:00:00Z", 10**9, "2056-01-08T13:46:40+00:00"),
])
def test_add_seconds_wrong_sum_or_rendering(module, text, secs, expected):
    result = module.add_seconds_rfc3339(text, secs)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize("rule, text, secs", [
    # A naive value is local time; an aware one is not.
    *[(rule, text, 0) for rule in ZONES for text in ("2024-05-01", "2024-05-01T00:00:00Z")],
    ("EST5EDT,M3.2.0,M11.1.0", "2024-03-10T02:30:00", 0),     # inside the spring-forward gap
    ("EST5EDT,M3.2.0,M11.1.0", "2024-11-03T01:30:00", 0),     # inside the autumn fold
    ("EST5EDT,M3.2.0,M11.1.0", "2024-03-10T01:59:59", 1),
    ("EST5EDT,M3.2.0,M11.1.0", "2024-11-03T00:59:59", 3600),
    ("EST5EDT,M3.2.0,M11.1.0", "2024-01-15 08:00", 0.5),
])
def test_add_seconds_naive_value_not_converted_from_local_zone(module, local_zone, rule, text, secs):
    local_zone(rule)
    assert module.add_seconds_rfc3339(text, secs) == ref.add_seconds_rfc3339(text, secs)


def test_add_seconds_remembers_an_earlier_local_zone(module, local_zone):
    # The zone in force at each call decides, never one remembered from earlier.
    local_zone("CST-8")
    first = module.add_seconds_rfc3339("2024-05-01T08:00:00", 0)
    local_zone("UTC0")
    second = module.add_seconds_rfc3339("2024-05-01T08:00:00", 0)
    assert (first, second) == ("2024-05-01T00:00:00+00:00", "2024-05-01T08:00:00+00:00")


@pytest.mark.parametrize("value", ["", None, "not a timestamp", "2024-05", OwnReplace(""), UnparsableSub("garbage"),
                                   b"2024-05-01", 0, []])
@pytest.mark.parametrize("secs", [1, "1", None, object()])
def test_add_seconds_fallback_not_the_same_object(module, value, secs):
    assert module.add_seconds_rfc3339(value, secs) is value


