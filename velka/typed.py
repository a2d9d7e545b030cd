"""Bencode decoded into the caller's own types: dataclasses, TypedDicts,
``str`` where the model says text and ``bytes`` where it says bytes, checked
as it is read, with the path and position of what does not fit.

``decode(data, Torrent)`` makes a plan from the type's annotations once and
caches it; ``Decoder(Torrent)`` holds one for repeated use and for
``decode_prefix``. Malformed input raises :class:`velka.bencode.DecodeError`
exactly as :func:`velka.bencode.decode` does; well-formed input that does not
fit raises :class:`ValidationError`.
"""

from __future__ import annotations

import enum
import threading
import weakref
from typing import Any, get_args, get_origin

from velka._model.markers import Extra, Key, Raw
from velka._typed import Decoder, ValidationError, _weak_decoder

__all__ = ["Decoder", "Extra", "Key", "Raw", "ValidationError", "decode"]

try:
    from velka._typed import encode
except ImportError:  # a build whose compiled module has no encoder yet
    pass
else:
    __all__ += ["encode"]

# Plans made by decode(), by type and forbid_unknown. A key names the
# caller's classes (and other objects) through weak references, and each
# cached decoder holds them weakly too, so the cache keeps no class alive;
# an entry goes when any of them does.
_plans: dict[tuple[Any, bool], Any] = {}
_plans_lock = threading.Lock()

_PLAIN_VALUES = (int, str, bytes, type(None), type(Ellipsis))


def decode(data: Any, type: Any, *, forbid_unknown: bool = False) -> Any:
    """Decode one value from *data* into *type* (see :class:`Decoder`)."""
    key = _cache_key(type, bool(forbid_unknown), None)
    try:
        decoder = _plans.get(key) if key is not None else None
    except TypeError:  # the form holds something unhashable: no caching
        key = decoder = None
    if decoder is None:
        decoder = _cached_decoder(type, bool(forbid_unknown), key)
    return decoder.decode(data)


class _Evict:
    """The callback of every weak reference of one cache entry."""

    __slots__ = ("key",)

    def __init__(self) -> None:
        self.key: Any = None

    def __call__(self, _reference: object) -> None:
        with _plans_lock:
            _plans.pop(self.key, None)


def _cached_decoder(form: Any, forbid_unknown: bool, key: Any) -> Any:
    if key is None:  # a type that cannot be a key: no caching
        return Decoder(form, forbid_unknown=forbid_unknown)
    from velka._model.plan import describe

    description = describe(form, forbid_unknown)
    evict = _Evict()
    references = tuple(_weak_or_strong(obj, evict) for obj in description[3])
    decoder = _weak_decoder(None, description, references)
    stored_key = _cache_key(form, forbid_unknown, evict)
    evict.key = stored_key
    with _plans_lock:
        # Published only now that the plan is complete.
        _plans[stored_key] = decoder
    return decoder


def _weak_or_strong(obj: Any, callback: Any) -> Any:
    if isinstance(obj, _PLAIN_VALUES):
        return obj
    try:
        return weakref.ref(obj, callback)
    except TypeError:
        return obj


def _cache_key(form: Any, forbid_unknown: bool, callback: Any) -> Any:
    """The cache's key for `form`, or None for a form that cannot have one.
    The key may still be unhashable: its lookup tells."""
    try:
        part = _key_part(form, callback)
    except TypeError:
        return None
    return None if part is None else (part, forbid_unknown)


def _key_part(form: Any, callback: Any) -> Any:
    """What names `form` in the cache: weak references for the caller's
    objects, the structure of generic forms, plain values as they are."""
    if isinstance(form, _PLAIN_VALUES) and not isinstance(form, enum.Enum):
        return (type(form), form)
    origin = get_origin(form)
    if origin is not None:
        parts = [_key_part(origin, callback)]
        for arg in get_args(form):
            part = _key_part(arg, callback)
            if part is None:
                return None
            parts.append(part)
        return ("form", *parts)
    if isinstance(form, (tuple, list)):
        parts = [_key_part(item, callback) for item in form]
        return None if None in parts else ("items", *parts)
    try:
        return weakref.ref(form, callback) if callback is not None else weakref.ref(form)
    except TypeError:
        hash(form)
        return (type(form), form)
