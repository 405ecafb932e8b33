# The fact finder and line selection behind context_compress.facts (C++, src/facts/).

def select(
    messages: list[tuple[str, str, int, tuple[str, ...], tuple[str, ...], str]],
    budget: int,
    shares: tuple[float, float, float, float],
    later: str | None = None,
    /,
) -> str: ...
def find(texts: list[tuple[str, bool]], /) -> tuple[set[str], set[str], set[str], set[str], set[str], set[str]]: ...
def seen(texts: list[tuple[str, bool]], sent: str, /) -> tuple[tuple[int, int], ...]: ...
