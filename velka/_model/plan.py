"""The decoding plan: a model's annotations read once, in Python, into the
compact description that the compiled walk (velka._typed) follows.

A description is the tuple ``(root, nodes, objects, held)``. ``nodes`` is a
tuple of node tuples, each starting with its kind and the text that messages
use for what it expects; nodes name each other by index, so a recursive type
is a cycle of indexes. Every Python object a node needs is named by a
reference: ``i >= 0`` is ``objects[i]`` (made by the planner, or values that
keep nothing alive), ``i < 0`` is ``held[-1 - i]`` (classes, enum members,
defaults and factories: the caller's objects, which a cached plan holds only
weakly so that the cache keeps no class alive).
"""

from __future__ import annotations

import dataclasses
import enum
import sys
import types
import typing
from typing import Annotated, Any, Literal, NewType, get_args, get_origin

from velka._model.markers import Raw
from velka._model.records import (
    RecordInfo,
    Role,
    is_bencode_value,
    is_dataclass_type,
    is_record_type,
    record_info,
)

# Node kinds, as the compiled walk numbers them.
ANY = 0
INT = 1
BOOL = 2
BYTES = 3
STR = 4
RAW = 5
LIST = 6
TUPLE = 7
FIXED_TUPLE = 8
BYTES_DICT = 9
STR_DICT = 10
RECORD = 11
CHOICE = 12
UNION = 13
TAGGED = 14

# How a record is built.
BUILD_FIELDS = 0  # allocate, then set each attribute as the generated __init__ does
BUILD_CALL = 1  # cls(**fields): the class has its own __init__, __new__ or __setattr__
BUILD_DICT = 2  # a TypedDict: a dict

# What a field whose key is absent gets.
ABSENT_MISSING = 0  # a missing key
ABSENT_DEFAULT = 1  # its default
ABSENT_FACTORY = 2  # default_factory()
ABSENT_NONE = 3  # None
ABSENT_OMIT = 4  # nothing: left to __init__, or left out of the TypedDict
ABSENT_EXTRA = 5  # the unknown keys' dict, always made

# What the generated __init__ assigns, in field order.
SET_FIELD = 0  # the value read (or chosen for an absent key)
SET_FACTORY = 1  # an init=False field's default_factory()
SET_DEFAULT = 2  # an init=False field's default, on a class with slots

_NONE_TYPE = type(None)
_UNION_TYPES: tuple[Any, ...] = (typing.Union, types.UnionType)
_TYPE_ALIAS: Any = getattr(typing, "TypeAliasType", None)

Description = tuple[int, tuple[tuple[Any, ...], ...], tuple[Any, ...], tuple[Any, ...]]


def describe(form: Any, forbid_unknown: bool = False) -> Description:
    """The plan for decoding into `form`; TypeError naming the field for
    what cannot be decoded."""
    planner = _Planner(bool(forbid_unknown))
    root = planner.node(form, _describe_where(form))
    for index, node in enumerate(planner.nodes):
        if node is None:
            raise TypeError(f"{_display(form)}: a type alias that names only itself (node {index})")
    return root, tuple(planner.nodes), tuple(planner.objects), tuple(planner.held)  # type: ignore[arg-type]


def _describe_where(form: Any) -> str:
    return getattr(form, "__qualname__", None) or _display(form)


class _Planner:
    def __init__(self, forbid_unknown: bool) -> None:
        self.forbid_unknown = forbid_unknown
        self.nodes: list[tuple[Any, ...] | None] = []
        self.objects: list[Any] = []
        self.held: list[Any] = []
        self._object_refs: dict[tuple[type, Any], int] = {}
        self._held_refs: dict[int, int] = {}
        self._memo: dict[int, int] = {}  # id of a record class or alias -> its node
        self._infos: dict[int, RecordInfo] = {}  # id of a record class -> its fields
        self._keep: list[Any] = []  # what the memos' ids stand for

    def _record_info(self, cls: type) -> RecordInfo:
        """record_info(), read once per class (it resolves the annotations)."""
        info = self._infos.get(id(cls))
        if info is None:
            info = self._infos[id(cls)] = record_info(cls)
            self._keep.append(cls)
        return info

    # References to objects.

    def obj(self, value: Any) -> int:
        """A reference to a value that keeps no class alive (str, bytes, int,
        the planner's own tuples and dicts)."""
        try:
            key = (type(value), value)
            found = self._object_refs.get(key)
        except TypeError:  # unhashable: the planner's own dicts
            key = None
            found = None
        if found is not None:
            return found
        self.objects.append(value)
        ref = len(self.objects) - 1
        if key is not None:
            self._object_refs[key] = ref
        return ref

    def hold(self, value: Any) -> int:
        """A reference to one of the caller's objects."""
        found = self._held_refs.get(id(value))
        if found is not None:
            return found
        self.held.append(value)
        ref = -len(self.held)
        self._held_refs[id(value)] = ref
        return ref

    def add(self, node: tuple[Any, ...]) -> int:
        self.nodes.append(node)
        return len(self.nodes) - 1

    # Nodes.

    def node(self, form: Any, where: str) -> int:
        form = _strip(form)
        if _TYPE_ALIAS is not None and isinstance(form, _TYPE_ALIAS):
            return self._alias(form, where)
        if form is Any or form is object or is_bencode_value(form):
            return self.add((ANY, self.obj("any value")))
        simple = _SIMPLE.get(form) if isinstance(form, type) else None
        if simple is not None:
            return self.add((simple[0], self.obj(simple[1])))
        if isinstance(form, type) and issubclass(form, enum.Enum):
            return self._choice(form, where)
        if is_record_type(form):
            return self._record(form, where)
        origin = get_origin(form)
        args = get_args(form)
        if origin is Literal:
            return self._choice(form, where)
        if origin in _UNION_TYPES:
            return self._union(form, where)
        if form is list or origin is list:
            item = self.node(args[0] if args else Any, f"{where}[]")
            return self.add((LIST, self.obj("list"), item))
        if form is tuple or origin is tuple:
            return self._tuple(args, where)
        if form is dict or origin is dict:
            return self._dict(args, where)
        raise TypeError(f"{where}: {_display(form)} has no bencode form")

    def _alias(self, alias: Any, where: str) -> int:
        memo = self._memo.get(id(alias))
        if memo is not None:
            return memo
        index = self.add(None)  # type: ignore[arg-type]
        self._memo[id(alias)] = index
        self._keep.append(alias)
        value = self.node(alias.__value__, where)
        self.nodes[index] = self.nodes[value]
        return index

    def _tuple(self, args: tuple[Any, ...], where: str) -> int:
        if not args:
            item = self.node(Any, f"{where}[]")
            return self.add((TUPLE, self.obj("tuple"), item))
        if len(args) == 2 and args[1] is Ellipsis:
            item = self.node(args[0], f"{where}[]")
            return self.add((TUPLE, self.obj("tuple"), item))
        if args == ((),):  # tuple[()]
            args = ()
        items = tuple(self.node(a, f"{where}[{i}]") for i, a in enumerate(args))
        return self.add((FIXED_TUPLE, self.obj(f"tuple of {len(items)} items"), items))

    def _dict(self, args: tuple[Any, ...], where: str) -> int:
        key, value = args if args else (bytes, Any)
        key = _strip(key)
        value_node = self.node(value, f"{where}[]")
        if key is bytes:
            return self.add((BYTES_DICT, self.obj("dict"), value_node))
        if key is str:
            return self.add((STR_DICT, self.obj("dict"), value_node))
        raise TypeError(f"{where}: dictionary keys must be str or bytes, not {_display(key)}")

    def _choice(self, form: Any, where: str) -> int:
        """A Literal, or an Enum: a table from what the input holds (an int,
        or a byte string's bytes) to the result."""
        table: dict[int | bytes, int] = {}
        results: list[int] = []
        seen: dict[int | bytes, Any] = {}
        for value, result, is_held in _choices(form):
            if isinstance(value, bool):
                key: int | bytes = int(value)
            elif isinstance(value, int):
                key = value
            elif isinstance(value, str):
                key = value.encode()
            elif isinstance(value, bytes):
                key = value
            else:
                raise TypeError(
                    f"{where}: {_display(form)} holds {value!r}, which has no bencode form"
                )
            if key in seen:
                if seen[key] is result or (
                    not is_held and seen[key] == result and type(seen[key]) is type(result)
                ):
                    continue
                raise TypeError(
                    f"{where}: {_display(form)} holds {seen[key]!r} and {result!r}, "
                    "which bencode cannot tell apart"
                )
            seen[key] = result
            table[key] = len(results)
            results.append(self.hold(result) if is_held else self.obj(result))
        accepts_int = any(isinstance(k, int) for k in table)
        accepts_string = any(isinstance(k, bytes) for k in table)
        return self.add(
            (
                CHOICE,
                self.obj(_display(form)),
                self.obj(table),
                tuple(results),
                accepts_int,
                accepts_string,
            )
        )

    def _union(self, form: Any, where: str) -> int:
        members = [m for m in get_args(form) if _strip(m) is not _NONE_TYPE]
        if len(members) == 1:
            return self.node(members[0], where)
        by_token: dict[str, list[Any]] = {"int": [], "string": [], "list": [], "dict": []}
        for member in members:
            stripped = _resolved(member)
            if stripped is Any or stripped is object or is_bencode_value(stripped):
                return self.node(Any, where)
            tokens = _tokens(stripped)
            if tokens is None:
                raise TypeError(
                    f"{where}: {_display(form)} is ambiguous: {_display(member)} may be any value"
                )
            for token in tokens:
                by_token[token].append(member)
        slots = []
        for token in ("int", "string", "list", "dict"):
            slots.append(self._union_slot(form, token, by_token[token], where))
        return self.add((UNION, self.obj(_display(form)), *slots))

    def _union_slot(self, form: Any, token: str, members: list[Any], where: str) -> int:
        if not members:
            return -1
        if len(members) == 1:
            return self.node(members[0], where)
        resolved = [_resolved(m) for m in members]
        if all(get_origin(m) is Literal for m in resolved):
            values = tuple(v for m in resolved for v in get_args(m))
            return self.node(Literal[values], where)  # type: ignore[valid-type]
        if token == "dict" and all(is_record_type(m) for m in resolved):
            return self._tagged(form, resolved, where)
        names = " and ".join(_display(m) for m in members)
        raise TypeError(f"{where}: {_display(form)} is ambiguous: {names} read the same token")

    def _tagged(self, form: Any, members: list[type], where: str) -> int:
        """Records told apart by one required key that each types as a
        Literal, its values disjoint across them."""
        literals = [_literal_keys(self._record_info(m)) for m in members]
        candidates: dict[bytes, list[set[int | bytes]]] = {}
        for keys in literals:
            for key, values in keys.items():
                candidates.setdefault(key, []).append(values)
        tags = []
        for key, value_sets in candidates.items():
            if len(value_sets) != len(literals):
                continue
            union: set[int | bytes] = set()
            disjoint = True
            for values in value_sets:
                if union & values:
                    disjoint = False
                union |= values
            if disjoint:
                tags.append(key)
        if len(tags) != 1:
            found = (
                "no key" if not tags else "more than one key (" + ", ".join(map(repr, tags)) + ")"
            )
            raise TypeError(
                f"{where}: {_display(form)} is ambiguous: its records need one required key "
                f"that each types as a Literal with values of its own, and have {found}"
            )
        tag = tags[0]
        table: dict[int | bytes, int] = {}
        member_nodes = []
        for position, (member, keys) in enumerate(zip(members, literals, strict=True)):
            for value in keys[tag]:
                table[value] = position
            member_nodes.append(self.node(member, where))
        return self.add(
            (
                TAGGED,
                self.obj(_display(form)),
                self.obj(tag),
                self.obj(table),
                tuple(member_nodes),
                self.obj(_describe_tag(table)),
            )
        )

    def _record(self, cls: type, where: str) -> int:
        memo = self._memo.get(id(cls))
        if memo is not None:
            return memo
        index = self.add(None)  # type: ignore[arg-type]
        self._memo[id(cls)] = index
        self._keep.append(cls)
        info = self._record_info(cls)
        if info.is_typeddict:
            mode = BUILD_DICT
        else:
            mode = BUILD_FIELDS if _plain_construction(cls) else BUILD_CALL
        fields = []
        by_key: dict[bytes, list[int]] = {}
        for position, field in enumerate(info.fields):
            field_where = f"{cls.__qualname__}.{field.name}"
            absent = _absent(field, info, mode)
            absent_ref = 0
            if absent == ABSENT_DEFAULT:
                absent_ref = self.hold(field.default)
            elif absent == ABSENT_FACTORY:
                absent_ref = self.hold(field.default_factory)
            if field.role is Role.EXTRA:
                node = -1
            elif field.role is Role.RAW:
                node = self.add((RAW, self.obj("any value")))
            else:
                node = self.node(field.type, field_where)
            name = field.name if mode != BUILD_FIELDS else sys.intern(field.name)
            fields.append((self.obj(name), absent, absent_ref, node))
            if field.role is not Role.EXTRA:
                by_key.setdefault(field.key, []).append(position)
        keys = []
        for key in sorted(by_key):
            typed = [p for p in by_key[key] if info.fields[p].role is Role.VALUE]
            raw = [p for p in by_key[key] if info.fields[p].role is Role.RAW]
            keys.append((self.obj(key), typed[0] if typed else -1, raw[0] if raw else -1))
        extra = next((p for p, f in enumerate(info.fields) if f.role is Role.EXTRA), -1)
        steps = _init_steps(cls, info, self) if mode == BUILD_FIELDS else ()
        post_init = mode != BUILD_DICT and hasattr(cls, "__post_init__")
        forbid = self.forbid_unknown and extra < 0
        self.nodes[index] = (
            RECORD,
            self.obj(cls.__qualname__),
            self.hold(cls),
            mode,
            post_init,
            forbid,
            tuple(keys),
            tuple(fields),
            extra,
            steps,
        )
        return index


_SIMPLE: dict[Any, tuple[int, str]] = {
    bool: (BOOL, "bool"),
    int: (INT, "int"),
    bytes: (BYTES, "bytes"),
    str: (STR, "str"),
    Raw: (RAW, "any value"),
}


def _strip(form: Any) -> Any:
    """The form without Annotated[...] and NewType wrappers."""
    while True:
        if get_origin(form) is Annotated:
            form = get_args(form)[0]
        elif isinstance(form, NewType):
            form = form.__supertype__
        else:
            return form


def _resolved(form: Any) -> Any:
    """The form without wrappers and type aliases."""
    form = _strip(form)
    while _TYPE_ALIAS is not None and isinstance(form, _TYPE_ALIAS):
        form = _strip(form.__value__)
    return form


def _tokens(form: Any) -> tuple[str, ...] | None:
    """The tokens a value of `form` may begin with; None for any of them."""
    if form is Raw:
        return None
    if form is bool or form is int:
        return ("int",)
    if form is bytes or form is str:
        return ("string",)
    if isinstance(form, type) and issubclass(form, enum.Enum):
        return _value_tokens([m.value for m in form])
    origin = get_origin(form)
    if origin is Literal:
        return _value_tokens(list(get_args(form)))
    if form in (list, tuple) or origin in (list, tuple):
        return ("list",)
    if form is dict or origin is dict or is_record_type(form):
        return ("dict",)
    if origin in _UNION_TYPES:
        tokens: list[str] = []
        for member in get_args(form):
            inner = _tokens(_resolved(member)) if _strip(member) is not _NONE_TYPE else ()
            if inner is None:
                return None
            tokens.extend(t for t in inner if t not in tokens)
        return tuple(tokens)
    return ("unsupported",)


def _value_tokens(values: list[Any]) -> tuple[str, ...]:
    tokens = []
    for value in values:
        if isinstance(value, enum.Enum):
            value = value.value
        token = "int" if isinstance(value, int) else "string"
        if token not in tokens:
            tokens.append(token)
    return tuple(tokens)


def _choices(form: Any) -> list[tuple[Any, Any, bool]]:
    """(value in the input, result, whether the result is the caller's)."""
    if isinstance(form, type):
        return [(m.value, m, True) for m in form.__members__.values()]
    choices = []
    for value in get_args(form):
        if isinstance(value, enum.Enum):
            choices.append((value.value, value, True))
        else:
            choices.append((value, value, False))
    return choices


def _literal_keys(info: RecordInfo) -> dict[bytes, set[int | bytes]]:
    """The record's required keys typed as a Literal or Enum, with the values
    each accepts as they stand in the input."""
    found = {}
    for field in info.fields:
        if field.role is not Role.VALUE or not field.required or _admits_none(field.type):
            continue
        form = _resolved(field.type)
        if get_origin(form) is Literal or (isinstance(form, type) and issubclass(form, enum.Enum)):
            values: set[int | bytes] = set()
            for value, _, _ in _choices(form):
                if isinstance(value, str):
                    values.add(value.encode())
                elif isinstance(value, (int, bytes)):
                    values.add(int(value) if isinstance(value, int) else value)
            found[field.key] = values
    return found


def _describe_tag(table: dict[int | bytes, int]) -> str:
    values = ", ".join(_show_value(v) for v in table)
    return f"one of {values}"


def _show_value(value: int | bytes) -> str:
    if isinstance(value, bytes):
        try:
            return repr(value.decode())
        except UnicodeDecodeError:
            return repr(value)
    return repr(value)


def _admits_none(form: Any) -> bool:
    form = _resolved(form)
    if form is _NONE_TYPE or form is None or form is Any or form is object:
        return True
    if get_origin(form) in _UNION_TYPES:
        return any(_admits_none(m) for m in get_args(form))
    return False


def _absent(field: Any, info: RecordInfo, mode: int) -> int:
    if field.role is Role.EXTRA:
        return ABSENT_EXTRA
    if info.is_typeddict:
        if not field.required:
            return ABSENT_OMIT
        return ABSENT_NONE if _admits_none(field.type) else ABSENT_MISSING
    if field.default is not dataclasses.MISSING:
        return ABSENT_OMIT if mode == BUILD_CALL else ABSENT_DEFAULT
    if field.default_factory is not dataclasses.MISSING:
        return ABSENT_OMIT if mode == BUILD_CALL else ABSENT_FACTORY
    return ABSENT_NONE if _admits_none(field.type) else ABSENT_MISSING


def _init_steps(cls: type, info: RecordInfo, planner: _Planner) -> tuple[tuple[int, int, int], ...]:
    """What the class's generated __init__ assigns, in order: each init
    field its value, and the init=False fields that __init__ sets too."""
    position = {f.name: p for p, f in enumerate(info.fields)}
    slots = "__slots__" in cls.__dict__
    steps = []
    for field in dataclasses.fields(cls):  # type: ignore[arg-type]
        name = planner.obj(sys.intern(field.name))
        if field.init:
            steps.append((name, SET_FIELD, position[field.name]))
        elif field.default_factory is not dataclasses.MISSING:
            steps.append((name, SET_FACTORY, planner.hold(field.default_factory)))
        elif slots and field.default is not dataclasses.MISSING:
            steps.append((name, SET_DEFAULT, planner.hold(field.default)))
    return tuple(steps)


def _plain_construction(cls: type) -> bool:
    """Whether setting the fields on object.__new__(cls) gives exactly what
    cls(...) gives: the class's __init__ is one that dataclass generated,
    and it has no __new__, __setattr__ or metaclass __call__ of its own (a
    frozen dataclass's generated __setattr__ aside)."""
    if not is_dataclass_type(cls):
        return False
    params = cls.__dataclass_params__  # type: ignore[attr-defined]
    if type(cls).__call__ is not type.__call__ or cls.__new__ is not object.__new__:
        return False
    if not params.init or not _generated(cls.__init__, "__init__"):
        return False
    setattr_ = cls.__setattr__
    if setattr_ is object.__setattr__:
        return True
    return bool(params.frozen) and _generated(setattr_, "__setattr__")


def _generated(function: Any, name: str) -> bool:
    """Whether `function` is one that dataclass wrote (its code compiled from
    text, not from a file)."""
    code = getattr(function, "__code__", None)
    return (
        code is not None
        and code.co_filename == "<string>"
        and getattr(function, "__name__", None) == name
    )


def _display(form: Any) -> str:
    """How messages name a type."""
    form = _strip(form)
    if form is _NONE_TYPE or form is None:
        return "None"
    if isinstance(form, type) and get_origin(form) is None:
        return form.__qualname__
    origin = get_origin(form)
    if origin in _UNION_TYPES:
        return " | ".join(_display(m) for m in get_args(form))
    if origin is Literal:
        return "Literal[" + ", ".join(repr(v) for v in get_args(form)) + "]"
    if isinstance(origin, type) and get_args(form):
        shown = ("..." if a is Ellipsis else _display(a) for a in get_args(form))
        return f"{origin.__qualname__}[{', '.join(shown)}]"
    if form is Ellipsis:
        return "..."
    return repr(form).replace("typing.", "")
