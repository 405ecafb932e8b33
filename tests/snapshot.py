"""Proof that a call left a value alone: a Snapshot records what the value
holds, down through its dicts, lists and tuples, and can tell later whether
anything there was replaced, added, removed, reordered or changed in place.

Everything is read with the base types' own methods (dict.items,
list.__iter__, tuple.__iter__), never through a subclass's get, __iter__ or
__eq__: the records under test are often built to misbehave. Every object is
compared by identity, so a snapshot holds references to all it saw.
"""


def _shape(value):
    if isinstance(value, dict):
        return value, tuple((key, _shape(item)) for key, item in dict.items(value))
    if isinstance(value, list):
        return value, tuple(_shape(item) for item in list.__iter__(value))
    if isinstance(value, tuple):
        return value, tuple(_shape(item) for item in tuple.__iter__(value))
    return value, None


def _difference(before, after, path):
    (old, old_inside), (new, new_inside) = before, after
    if new is not old:
        return f"{path} was replaced"
    if old_inside is None:
        return None
    if len(new_inside) != len(old_inside):
        return f"{path} went from {len(old_inside)} to {len(new_inside)} entries"
    keyed = isinstance(old, dict)
    for index, (was, now) in enumerate(zip(old_inside, new_inside)):
        if keyed:
            (old_key, was), (new_key, now) = was, now
            if new_key is not old_key:
                return f"{path}: key {old_key!r} became {new_key!r}"
            where = f"{path}[{old_key!r}]"
        else:
            where = f"{path}[{index}]"
        found = _difference(was, now, where)
        if found:
            return found
    return None


class Snapshot:
    """What `value` holds now; assert_unchanged() fails naming the first place
    that differs later."""

    def __init__(self, value):
        self.value = value
        self.shape = _shape(value)

    def difference(self, except_keys=()):
        """None when the value holds exactly what it held, else where it
        differs. A dict's entries under `except_keys` are left out."""
        before, after = self.shape, _shape(self.value)
        if except_keys:
            before, after = (_without(shape, except_keys) for shape in (before, after))
        return _difference(before, after, "value")

    def assert_unchanged(self, except_keys=()):
        difference = self.difference(except_keys)
        assert difference is None, difference


def _without(shape, keys):
    value, inside = shape
    if not isinstance(value, dict):
        return shape
    return value, tuple((key, item) for key, item in inside if key not in keys)
