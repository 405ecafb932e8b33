# Type stubs for the native extension module routes.context_compress.
#
# The nine functions are instances of the module's own vectorcall type
# (routes.context_compress.native_function), not Python functions: they carry
# the attributes of one (__code__, __defaults__, __globals__, ...) but are no
# descriptors, so they do not bind as methods when stored on a class. Each is
# therefore declared as a variable whose type is a callable protocol with the
# function's own parameters, rather than with `def`.
#
# Every record is read with `.get`, so any mapping is accepted where a record is
# expected; the TypedDicts name the keys the module reads and writes. They exist
# for type checkers only (the module defines no classes): import them under
# `if typing.TYPE_CHECKING:`.

from collections.abc import Iterable, Mapping, MutableMapping, Sequence
from datetime import datetime
from types import CodeType
from typing import Any, Literal, Protocol, TypeAlias, TypedDict, TypeVar, type_check_only

_T = TypeVar("_T")

# --- records ----------------------------------------------------------------

@type_check_only
class TextPart(TypedDict, total=False):
    type: Literal["text"]
    text: str

# A part of a list content: a text part, any other part (an image, a file:
# charged as a fixed number of tokens, left out of summaries), or a plain text.
_ContentPart = TextPart | Mapping[str, Any] | str

@type_check_only
class Message(TypedDict, total=False):
    role: str
    content: str | list[_ContentPart] | None
    # RFC3339 text, compared with the cut time as text.
    timestamp: str
    # The output of a tool; read instead of content when role is "tool".
    tool_result: str | None
    name: str
    tool_call_id: str
    tool_calls: list[Any]

@type_check_only
class Conversation(TypedDict, total=False):
    id: Any
    created_at: str
    # Messages stamped at or after it are fed to the LLM.
    cut_time: str
    messages: list[Message]

# The configuration is the host's own dict: the module reads `max_context`
# (the context window in tokens, 200000 when missing or unusable) and passes
# every entry on to routes.chat._call_llm_api, with max_tokens set to 2048.
# The chat layers of context_compress read `model`, `base_url`, `api_key`,
# `temperature`, `top_p`, `stop`, `seed`, `connect_timeout`, `read_timeout`,
# `token_limit_param` and `reasoning_effort`; a host's own layer reads
# whatever it likes, so any key is accepted.
LLMConfig: TypeAlias = dict[str, Any]

@type_check_only
class CompressionStats(TypedDict, total=False):
    # Which keys are present depends on the outcome: none when there is nothing
    # to measure; rate alone when nothing lies before the kept messages; rate,
    # total_tokens and max_context when the rate is at most 0.8; all six after
    # a compression.
    rate: float
    total_tokens: int
    max_context: int
    kept: int
    compressed: int
    new_cut_time: str

_AnyConversation = Conversation | Mapping[str, Any]
_AnyMessage = Message | Mapping[str, Any]

# --- the function type ---------------------------------------------------------

@type_check_only
class native_function(Protocol):
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    @property
    def __defaults__(self) -> tuple[Any, ...] | None: ...
    @property
    def __kwdefaults__(self) -> None: ...
    __annotations__: dict[str, Any]  # writable: typeshed declares it so on object
    @property
    def __globals__(self) -> dict[str, Any]: ...
    @property
    def __code__(self) -> CodeType: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

@type_check_only
class _ParseTs(native_function, Protocol):
    # Never raises for a bad value: None for anything fromisoformat rejects.
    def __call__(self, ts: object) -> datetime | None: ...

@type_check_only
class _AddSecondsRfc3339(native_function, Protocol):
    # ts itself comes back when it cannot be parsed.
    def __call__(self, ts: _T, secs: float) -> str | _T: ...

@type_check_only
class _GetConvCutTime(native_function, Protocol):
    def __call__(self, conv: _AnyConversation) -> str: ...

@type_check_only
class _MsgsFromCutTime(native_function, Protocol):
    def __call__(self, conv: _AnyConversation) -> list[Message]: ...

@type_check_only
class _EstimateTokensText(native_function, Protocol):
    def __call__(self, text: str | None) -> int: ...

@type_check_only
class _EstimateTokens(native_function, Protocol):
    def __call__(self, msgs: Iterable[_AnyMessage]) -> int: ...

@type_check_only
class _MsgsToText(native_function, Protocol):
    def __call__(self, msgs: Iterable[_AnyMessage]) -> str: ...

@type_check_only
class _SimpleExtract(native_function, Protocol):
    def __call__(self, msgs: Sequence[_AnyMessage] | None) -> str: ...

@type_check_only
class _CutAndSumHistory(native_function, Protocol):
    # Rewrites conv in place (messages, then cut_time) when it returns True.
    def __call__(
        self,
        conv: Conversation | MutableMapping[str, Any] | None,
        llm_config: Mapping[str, Any] | None = None,
    ) -> tuple[bool, CompressionStats]: ...

# --- the module namespace ----------------------------------------------------------

_parse_ts: _ParseTs
add_seconds_rfc3339: _AddSecondsRfc3339
get_conv_cut_time: _GetConvCutTime
msgs_from_cut_time: _MsgsFromCutTime
estimate_tokens_text: _EstimateTokensText
estimate_tokens: _EstimateTokens
_msgs_to_text: _MsgsToText
simple_extract: _SimpleExtract
cut_and_sum_history: _CutAndSumHistory

__test__: dict[str, Any]
