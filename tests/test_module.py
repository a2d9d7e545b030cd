import builtins
import importlib
import inspect
import sys
import typing
from collections import abc

import pytest
from emulation import skip_if_emulated

import velka.bencode as bencode

DECODE_DOC = (
    "Decode a single bencoded value from *data*.\n\n"
    "    Raises :class:`DecodeError` on malformed input.\n    "
)
ENCODE_DOC = (
    "Encode a Python value into bencode format.\n\n"
    "    Accepted types: ``int``, ``bytes``, ``list`` (or any ``Sequence``\n"
    "    of bencodable values), ``dict`` (or any ``Mapping`` with ``bytes``\n"
    "    keys and bencodable values).\n\n"
    "    Raises :class:`EncodeError` on unsupported types.\n    "
)
FUNCTIONS = [
    ("decode", "data", DECODE_DOC, {}),
    ("decode_all", "data", "Decode *all* concatenated bencoded values from *data*.", {}),
    ("encode", "value", ENCODE_DOC, {"return": "bytes"}),
]
# Arguments every function accepts (decode needs a non-empty value).
GOOD = {"decode": b"i1e", "decode_all": b"i1e", "encode": 1}
RESULT = {"decode": 1, "decode_all": [1], "encode": b"i1e"}


def test_namespace():
    public = [name for name in vars(bencode) if not name.startswith("_")]
    assert public == [
        *("Mapping", "Sequence", "Union", "BencodeValue"),
        *("BencodeError", "DecodeError", "EncodeError", "decode", "decode_all", "encode"),
    ]
    assert bencode.Mapping is abc.Mapping
    assert bencode.Sequence is abc.Sequence
    assert bencode.Union is typing.Union
    assert bencode.__builtins__ is builtins
    assert bencode.__name__ == "velka.bencode"
    assert bencode.__package__ == "velka"
    assert bencode.__file__ == bencode.__spec__.origin
    assert bencode.__loader__ is bencode.__spec__.loader
    assert not hasattr(bencode, "__path__")
    assert not hasattr(bencode, "__all__")
    assert len(bencode.__doc__.strip().split("\n\n")) == 3


def test_bencode_value():
    args = typing.get_args(bencode.BencodeValue)
    assert args[:2] == (int, bytes)
    assert [ref.__forward_arg__ for ref in args[2:]] == [
        "list[BencodeValue]",
        "dict[bytes, BencodeValue]",
    ]


@pytest.mark.parametrize(
    ("name", "base", "doc"),
    [
        ("BencodeError", Exception, "Base exception for bencode operations."),
        ("DecodeError", bencode.BencodeError, "Raised when bencoded data cannot be decoded."),
        ("EncodeError", bencode.BencodeError, "Raised when a value cannot be bencoded."),
    ],
)
def test_exception_classes(name, base, doc):
    cls = getattr(bencode, name)
    assert type(cls) is type
    assert cls.__bases__ == (base,)
    assert cls.__doc__ == doc
    assert cls.__module__ == "velka.bencode"
    assert cls.__name__ == cls.__qualname__ == name
    assert set(vars(cls)) - {"__weakref__"} == {"__module__", "__doc__"}
    assert not issubclass(cls, (ValueError, TypeError))
    error = cls("message")
    assert error.args == ("message",)
    assert str(error) == "message"


def test_decode_error_mro():
    assert bencode.DecodeError.__mro__ == (
        *(bencode.DecodeError, bencode.BencodeError),
        *(Exception, BaseException, object),
    )
    with pytest.raises(bencode.BencodeError):
        bencode.decode(b"x")


@pytest.mark.parametrize(("name", "parameter", "doc", "annotations"), FUNCTIONS)
def test_function_objects(name, parameter, doc, annotations):
    function = getattr(bencode, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "velka.bencode"
    assert function.__doc__ == doc
    assert function.__annotations__ == annotations
    signature = inspect.signature(function)
    assert str(signature) == f"({parameter})"
    (param,) = signature.parameters.values()
    assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert param.default is inspect.Parameter.empty
    assert function(GOOD[name]) == RESULT[name]
    assert function(**{parameter: GOOD[name]}) == RESULT[name]


@pytest.mark.parametrize(("name", "parameter"), [(f[0], f[1]) for f in FUNCTIONS])
@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "{name}() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "{name}() takes exactly 1 positional argument (2 given)"),
        ((1, 2), {"{parameter}": 3}, "{name}() takes exactly 1 positional argument (2 given)"),
        (
            (1,),
            {"{parameter}": 2},
            "{name}() got multiple values for keyword argument '{parameter}'",
        ),
        ((), {"buf": 1}, "{name}() got an unexpected keyword argument 'buf'"),
        ((1,), {"buf": 1}, "{name}() got an unexpected keyword argument 'buf'"),
    ],
)
def test_argument_binding(name, parameter, args, kwargs, message):
    kwargs = {key.format(parameter=parameter): value for key, value in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        getattr(bencode, name)(*args, **kwargs)
    assert str(caught.value) == message.format(name=name, parameter=parameter)


def test_keyword_names_must_be_strings():
    testcapi = pytest.importorskip("_testcapi")
    with pytest.raises(TypeError, match=r"^decode\(\) keywords must be strings$"):
        testcapi.pyobject_vectorcall(bencode.decode, (b"i1e",), (1,))
    assert testcapi.pyobject_vectorcall(bencode.decode, (b"i1e",), ("data",)) == 1


@pytest.fixture
def restore_decode_error():
    original = bencode.DecodeError
    yield original
    bencode.DecodeError = original
    vars(builtins).pop("DecodeError", None)


def test_error_class_looked_up_when_raised(restore_decode_error):
    class Replacement(Exception):
        pass

    bencode.DecodeError = Replacement
    with pytest.raises(Replacement, match=r"^unexpected byte 'x' at position 0$"):
        bencode.decode(b"x")
    with pytest.raises(Replacement) as caught:
        bencode.decode(b"i1.5e")  # raised with a cause
    assert type(caught.value.__cause__) is ValueError

    del bencode.DecodeError
    with pytest.raises(NameError, match=r"^name 'DecodeError' is not defined$"):
        bencode.decode(b"")
    builtins.DecodeError = Replacement  # the builtins are asked next
    with pytest.raises(Replacement, match=r"^trailing data at position 3$"):
        bencode.decode(b"i1ee")
    bencode.DecodeError = str
    with pytest.raises(TypeError, match=r"^exceptions must derive from BaseException$"):
        bencode.decode(b"x")


def test_reimport_and_reload_keep_the_module(restore_decode_error):
    class Replacement(Exception):
        pass

    bencode.DecodeError = Replacement
    del sys.modules["velka.bencode"]
    again = importlib.import_module("velka.bencode")
    assert again is bencode
    assert importlib.reload(bencode) is bencode
    assert bencode.DecodeError is Replacement
    assert sys.modules["velka.bencode"] is bencode


@skip_if_emulated("the refusal is the same on every CPU, and a subinterpreter takes long there")
@pytest.mark.parametrize("module", ["velka.bencode", "velka.raw"])
def test_subinterpreters_refused(run_python, module):
    # The interpreters' low-level module is _xxsubinterpreters on 3.12, with
    # an API of its own; the refusals are the same on every version.
    result = run_python(
        f"""
        import velka.bencode
        import {module}

        try:
            import _interpreters
        except ImportError:
            import _xxsubinterpreters

            def try_import(config):
                interpreter = _xxsubinterpreters.create(isolated=config == "isolated")
                try:
                    _xxsubinterpreters.run_string(interpreter, "import {module}")
                except _xxsubinterpreters.RunFailedError as error:
                    # "<class 'ImportError'>: message"
                    kind, message = str(error).split(": ", 1)
                    print(kind.split("'")[1], message)
                _xxsubinterpreters.destroy(interpreter)
        else:

            def try_import(config):
                interpreter = _interpreters.create(config)
                failure = _interpreters.exec(interpreter, "import {module}")
                print(failure.type.__name__, failure.msg)
                _interpreters.destroy(interpreter)

        try_import("legacy")
        try_import("isolated")
        print(velka.bencode.decode(b"i1e"))
        """
    )
    assert result.returncode == 0, result.stderr
    ours = (
        "ImportError Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )
    # From 3.12 on the interpreter itself turns an isolated one away, before
    # the module is asked; 3.11 has no such check, and the module refuses it.
    interpreters = f"ImportError module {module} does not support loading in subinterpreters"
    isolated = interpreters if sys.version_info >= (3, 12) else ours
    assert result.stdout.splitlines() == [ours, isolated, "1"]


def test_loaded_under_another_name(run_python):
    result = run_python(
        """
        import importlib, importlib.util
        origin = importlib.util.find_spec("velka.bencode").origin
        spec = importlib.util.spec_from_file_location("bencode", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert importlib.import_module("velka.bencode") is module
        print(module.__name__, module.decode(b"i3e"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "bencode 3\n"
