# Records of slots classes have their fields stored straight into the slots
# where object.__setattr__ would do no more: what is built must stay what
# the class's own __init__ builds, whatever the class says or becomes.
import dataclasses
from typing import Any

import pytest

from velka.bencode import encode
from velka.typed import Decoder


@dataclasses.dataclass(slots=True)
class Plain:
    name: str
    size: int | None = None
    tags: list[str] = dataclasses.field(default_factory=list)
    seen: int = dataclasses.field(default=7, init=False)


@dataclasses.dataclass(slots=True, frozen=True)
class Frozen:
    name: str
    size: int | None = None


@dataclasses.dataclass(slots=True)
class Parent:
    name: str
    size: int | None = None


@dataclasses.dataclass(slots=True)
class Child(Parent):
    extra: bytes = b""


class WithDict:
    __slots__ = ("__dict__",)


@dataclasses.dataclass(slots=True)
class SlotsAndDict(WithDict):
    name: str
    size: int | None = None


def _data(fields: dict[str, Any]) -> bytes:
    def raw(value: Any) -> Any:
        if isinstance(value, str):
            return value.encode()
        return [raw(v) for v in value] if isinstance(value, list) else value

    return encode({k.encode(): raw(v) for k, v in fields.items()})


def _state(value: Any) -> tuple[type, dict[str, Any], dict[str, Any]]:
    fields = {f.name: getattr(value, f.name) for f in dataclasses.fields(value)}
    return type(value), fields, dict(getattr(value, "__dict__", {}))


@pytest.mark.parametrize(
    ("cls", "fields"),
    [
        (Plain, {"name": "a"}),
        (Plain, {"name": "a", "size": 3, "tags": ["x"]}),
        (Frozen, {"name": "a"}),
        (Frozen, {"name": "a", "size": 3}),
        (Child, {"name": "a", "extra": b"z"}),
        (Child, {"name": "a", "size": 1}),
        (SlotsAndDict, {"name": "a", "size": 2}),
    ],
)
def test_slots_records_are_what_init_makes(cls, fields):
    decoder = Decoder(cls)
    data = _data(fields)
    for _ in range(2):
        assert _state(decoder.decode(data)) == _state(cls(**fields))


class Doubling:
    """A data descriptor that stores twice the value into the slot it wraps."""

    def __init__(self, member: Any) -> None:
        self.member = member

    def __get__(self, instance: Any, owner: Any = None) -> Any:
        return self if instance is None else self.member.__get__(instance, owner)

    def __set__(self, instance: Any, value: Any) -> None:
        self.member.__set__(instance, value * 2)


@dataclasses.dataclass(slots=True)
class Base:
    size: int
    count: int = 1


class ByProperty(Base):
    @property
    def size(self) -> int:
        return self.__dict__["stored"]

    @size.setter
    def size(self, value: int) -> None:
        self.__dict__["stored"] = value + 100


class ByDescriptor(Base):
    count = Doubling(Base.__dict__["count"])


@pytest.mark.parametrize("cls", [ByProperty, ByDescriptor])
def test_a_shadowed_slot_is_set_through_what_shadows_it(cls):
    fields = {"size": 5, "count": 3}
    built = Decoder(cls).decode(_data(fields))
    assert _state(built) == _state(cls(**fields))


def _fresh() -> type:
    @dataclasses.dataclass(slots=True, frozen=True)
    class Changing:
        size: int
        count: int = 1

    return Changing


def test_a_class_changed_after_the_decoder_is_followed():
    cls = _fresh()
    decoder = Decoder(cls)
    data = _data({"size": 5, "count": 3})
    assert _state(decoder.decode(data)) == _state(cls(size=5, count=3))
    member = cls.__dict__["count"]
    cls.count = Doubling(member)
    assert decoder.decode(data).count == 6
    assert _state(decoder.decode(data)) == _state(cls(size=5, count=3))
    cls.count = member
    assert _state(decoder.decode(data)) == _state(cls(size=5, count=3))


def test_a_class_changed_during_a_build_is_followed():
    @dataclasses.dataclass(slots=True)
    class Changing:
        size: int
        made: list[int] = dataclasses.field(default_factory=lambda: _change())
        count: int = 1

    member = Changing.__dict__["count"]

    def _change() -> list[int]:
        Changing.count = Doubling(member)
        return []

    decoder = Decoder(Changing)
    built = decoder.decode(_data({"size": 5, "count": 3}))
    assert built.count == 6
    assert _state(built) == _state(Changing(size=5, count=3))
