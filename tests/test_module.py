"""The extension module itself: attributes, function table, initialisation."""

import inspect

import pytest

import _korvane
from conftest import run_isolated

VERSION = "1.1.0"

SIGNATURES = {
    "__version": "()",
    "dumps": "(obj, *, protocol=5, schema_version=None, hmac_key=None)",
    "loads": "(data, *, allowlist=None)",
    "dump": "(obj, file, **kwargs)",
    "load": "(file, *, allowlist=None)",
}


def test_all_lists_functions_in_table_order_then_version():
    assert _korvane.__all__ == [
        "__version",
        "dumps",
        "loads",
        "dump",
        "load",
        "__version__",
    ]
    assert type(_korvane.__all__) is list


def test_version_attribute_and_function():
    assert _korvane.__version__ == VERSION
    assert type(_korvane.__version__) is str
    fn = getattr(_korvane, "__version")
    assert fn() == VERSION
    assert type(fn()) is str


def test_version_function_takes_no_arguments():
    fn = getattr(_korvane, "__version")
    with pytest.raises(TypeError):
        fn(1)


def test_module_docstring_is_empty():
    assert _korvane.__doc__ == ""


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_docstring_is_only_the_signature(name):
    fn = getattr(_korvane, name)
    assert fn.__name__ == name
    assert fn.__text_signature__ == SIGNATURES[name]
    # The signature block is the whole docstring: nothing is left after it.
    assert fn.__doc__ is None
    assert str(inspect.signature(fn)) == SIGNATURES[name]


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_functions_are_bound_to_the_module(name):
    fn = getattr(_korvane, name)
    assert fn.__self__ is _korvane
    assert fn.__module__ == "_korvane"
    assert type(fn).__name__ == "builtin_function_or_method"


def test_panic_exception_derives_directly_from_base_exception():
    exc = _korvane.PanicException
    assert exc.__bases__ == (BaseException,)
    assert not issubclass(exc, Exception)
    assert isinstance(exc.__doc__, str) and exc.__doc__.strip()


def test_panic_exception_is_the_package_export():
    import korvane

    assert korvane.PanicException is _korvane.PanicException
    assert korvane.dumps is _korvane.dumps
    assert korvane.loads is _korvane.loads


def test_reimport_after_removal_from_sys_modules_gives_same_module():
    result = run_isolated(
        """
        import sys
        import _korvane as first
        panic = first.PanicException
        del sys.modules["_korvane"]
        import _korvane as second
        assert second is first, (second, first)
        assert second.PanicException is panic
        assert second.dumps(None) == first.dumps(None)
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_module_refuses_a_second_subinterpreter():
    pytest.importorskip("_xxsubinterpreters")
    result = run_isolated(
        """
        import _xxsubinterpreters as interpreters
        import _korvane
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _korvane")
        except interpreters.RunFailedError as exc:
            print("failed:", exc)
        else:
            print("imported")
        finally:
            interpreters.destroy(interp)
        # The main interpreter keeps working.
        assert _korvane.loads(_korvane.dumps([1, 2])) == [1, 2]
        """
    )
    assert result.returncode == 0, result.stderr
    out = result.stdout.strip()
    # RunFailedError names the exception raised inside the sub-interpreter.
    assert out.startswith("failed: "), out
    assert "ImportError" in out, out
    assert "sub-interpreter" in out.lower() or "subinterpreter" in out.lower(), out


def test_module_refuses_a_subinterpreter_even_before_main_import():
    pytest.importorskip("_xxsubinterpreters")
    # The first interpreter to import the module owns it; here that is the
    # sub-interpreter, so the main interpreter is the one refused.
    result = run_isolated(
        """
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        interpreters.run_string(interp, "import _korvane")
        try:
            import _korvane
        except ImportError as exc:
            print("refused")
        else:
            print("imported")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "refused"


def test_a_failed_call_leaves_nothing_behind():
    first = _korvane.dumps({"a": [1, 2]})
    with pytest.raises(TypeError):
        _korvane.dumps(object())
    with pytest.raises(ValueError):
        _korvane.loads(b"")
    assert _korvane.dumps({"a": [1, 2]}) == first
