"""Records: dataclasses and TypedDicts as the typed layer sees them.

A record's fields are read once per class from its resolved annotations
(``typing.get_type_hints(..., include_extras=True)``), with each field's
dictionary key, its role (an ordinary value, the raw bytes of a key that a
typed field also reads, or the field of unknown keys) and whether a missing
key is an error. Both the decoding plan and the encoder's layout are made
from this, so the two can never disagree on what a key means.
"""

from __future__ import annotations

import dataclasses
import enum
import typing
from dataclasses import MISSING
from typing import Annotated, Any, get_args, get_origin

from velka._model.markers import Extra, Key, Raw

_TYPEDDICT_META: type = type(typing.TypedDict("_Probe", {}))


class Role(enum.Enum):
    VALUE = "value"  # decoded from its key, written back to it
    RAW = "raw"  # the exact bytes of a key that another field decodes
    EXTRA = "extra"  # every key that no other field names


@dataclasses.dataclass(frozen=True, slots=True)
class FieldInfo:
    name: str  # the attribute (dataclass) or the key's text (TypedDict)
    key: bytes  # the dictionary key as it stands in the input
    type: Any  # the annotation, with the markers of this layer taken off
    role: Role
    required: bool  # a missing key is an error unless the type admits None
    default: Any = MISSING
    default_factory: Any = MISSING


@dataclasses.dataclass(frozen=True, slots=True)
class RecordInfo:
    name: str  # the class's qualified name, for messages
    is_typeddict: bool
    fields: tuple[FieldInfo, ...]  # in the order the class's __init__ takes them
    extra: FieldInfo | None


def is_dataclass_type(tp: object) -> bool:
    return isinstance(tp, type) and dataclasses.is_dataclass(tp)


def is_typeddict_type(tp: object) -> bool:
    return isinstance(tp, _TYPEDDICT_META)


def is_record_type(tp: object) -> bool:
    return is_dataclass_type(tp) or is_typeddict_type(tp)


def record_info(cls: type) -> RecordInfo:
    """The fields of a dataclass or TypedDict; TypeError for what the typed
    layer cannot read or write (naming the field)."""
    hints = _resolved_hints(cls)
    if is_typeddict_type(cls):
        fields = _typeddict_fields(cls, hints)
    elif is_dataclass_type(cls):
        fields = _dataclass_fields(cls, hints)
    else:
        raise TypeError(f"{cls!r} is neither a dataclass nor a TypedDict")
    _check_keys(cls, fields)
    extras = [f for f in fields if f.role is Role.EXTRA]
    return RecordInfo(
        name=cls.__qualname__,
        is_typeddict=is_typeddict_type(cls),
        fields=tuple(fields),
        extra=extras[0] if extras else None,
    )


def encode_layout(cls: type) -> tuple[tuple[tuple[bytes, str], ...], str | None]:
    """What the encoder writes of a dataclass instance: (key, attribute) pairs
    in the canonical order of their keys, and the attribute holding the
    record's unknown keys, if it has one. A raw field is written only where
    no typed field reads the same key."""
    info = record_info(cls)
    typed_keys = {f.key for f in info.fields if f.role is Role.VALUE}
    pairs = [
        (f.key, f.name)
        for f in info.fields
        if f.role is Role.VALUE or (f.role is Role.RAW and f.key not in typed_keys)
    ]
    pairs.sort()
    return tuple(pairs), info.extra.name if info.extra is not None else None


def _resolved_hints(cls: type) -> dict[str, Any]:
    try:
        return typing.get_type_hints(cls, include_extras=True)
    except (MemoryError, RecursionError):
        raise  # the interpreter's own trouble, not the model's
    except Exception as error:  # NameError, or anything a bad annotation raises
        raise TypeError(f"cannot resolve the annotations of {cls.__qualname__}: {error}") from error


def _markers(hint: Any) -> tuple[Any, list[object]]:
    """The annotation without Annotated[...] and this layer's markers, and those markers."""
    markers: list[object] = []
    while get_origin(hint) is Annotated:
        args = get_args(hint)
        hint = args[0]
        markers.extend(m for m in args[1:] if isinstance(m, Key) or m is Extra)
    return hint, markers


def _field(
    owner: type, name: str, hint: Any, required: bool, default: Any, factory: Any
) -> FieldInfo:
    tp, markers = _markers(hint)
    keys = [m for m in markers if isinstance(m, Key)]
    where = f"{owner.__qualname__}.{name}"
    if len(keys) > 1:
        raise TypeError(f"{where}: more than one Key()")
    is_extra = any(m is Extra for m in markers)
    if is_extra:
        if keys:
            raise TypeError(f"{where}: the Extra field takes no Key()")
        if not _is_extra_type(tp):
            raise TypeError(
                f"{where}: the Extra field must be dict[bytes, BencodeValue] or dict[bytes, Any]"
            )
        role = Role.EXTRA
        required = False
    elif tp is Raw or (_without_none(tp) is Raw):
        role = Role.RAW
    else:
        role = Role.VALUE
    key = keys[0].raw if keys else name.encode()
    return FieldInfo(name, key, tp, role, required, default, factory)


def _is_extra_type(tp: Any) -> bool:
    if get_origin(tp) is not dict:
        return False
    key_type, value_type = get_args(tp)
    return key_type is bytes and (value_type is Any or is_bencode_value(value_type))


def is_bencode_value(tp: Any) -> bool:
    """velka.bencode.BencodeValue, also as typing.get_type_hints gives it
    back where its forward references resolve (a copy, not the alias)."""
    from velka.bencode import BencodeValue

    if tp is BencodeValue:
        return True
    args = get_args(tp)
    if get_origin(tp) is not typing.Union or len(args) != 4 or args[:2] != (int, bytes):
        return False
    return _refers(args[2], "list[BencodeValue]", list) and _refers(
        args[3], "dict[bytes, BencodeValue]", dict
    )


def _refers(arg: Any, text: str, origin: type) -> bool:
    if isinstance(arg, typing.ForwardRef):
        return arg.__forward_arg__ == text
    return get_origin(arg) is origin and is_bencode_value(get_args(arg)[-1])


def _without_none(tp: Any) -> Any:
    args = get_args(tp)
    if type(None) in args and len(args) == 2:
        return args[0] if args[1] is type(None) else args[1]
    return tp


def _dataclass_fields(cls: type, hints: dict[str, Any]) -> list[FieldInfo]:
    for name in cls.__dataclass_fields__:  # type: ignore[attr-defined]
        if isinstance(hints.get(name), dataclasses.InitVar):
            raise TypeError(f"{cls.__qualname__}.{name}: an InitVar has no bencode form")
    fields = []
    for field in dataclasses.fields(cls):  # type: ignore[arg-type]
        if not field.init:
            continue
        required = field.default is MISSING and field.default_factory is MISSING
        hint = hints[field.name]
        fields.append(_field(cls, field.name, hint, required, field.default, field.default_factory))
    return fields


def _typeddict_fields(cls: type, hints: dict[str, Any]) -> list[FieldInfo]:
    # __required_keys__ follows each class's own __total__, but before 3.14
    # misses Required/NotRequired written as strings (under `from __future__
    # import annotations`), so those wrappers are read from the resolved
    # annotations instead.
    required_keys: frozenset[str] = cls.__required_keys__  # type: ignore[attr-defined]
    fields = []
    for name, hint in hints.items():
        hint, required = _unwrap_required(hint, name in required_keys)
        info = _field(cls, name, hint, required, MISSING, MISSING)
        if info.role is Role.EXTRA or info.key != name.encode():
            raise TypeError(f"{cls.__qualname__}.{name}: Key and Extra do not apply to a TypedDict")
        fields.append(info)
    return fields


def _unwrap_required(hint: Any, required: bool) -> tuple[Any, bool]:
    """Required[...] and NotRequired[...] anywhere among Annotated wrappers."""
    origin = get_origin(hint)
    if origin is typing.Required or origin is typing.NotRequired:
        return _unwrap_required(get_args(hint)[0], origin is typing.Required)
    if origin is Annotated:
        args = get_args(hint)
        inner, required = _unwrap_required(args[0], required)
        return Annotated[(inner, *args[1:])], required  # type: ignore[return-value]
    return hint, required


def _check_keys(cls: type, fields: list[FieldInfo]) -> None:
    """Keys of one record are distinct, but for one raw field beside the
    typed field of the same key; at most one Extra field."""
    by_key: dict[bytes, list[FieldInfo]] = {}
    for f in fields:
        if f.role is not Role.EXTRA:
            by_key.setdefault(f.key, []).append(f)
    for key, named in by_key.items():
        raw = [f for f in named if f.role is Role.RAW]
        if len(named) > 2 or (len(named) == 2 and len(raw) != 1):
            names = ", ".join(f.name for f in named)
            raise TypeError(f"{cls.__qualname__}: fields {names} name one key {key!r}")
    extras = [f.name for f in fields if f.role is Role.EXTRA]
    if len(extras) > 1:
        raise TypeError(f"{cls.__qualname__}: more than one Extra field ({', '.join(extras)})")
