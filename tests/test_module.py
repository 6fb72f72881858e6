"""The tarsim module as Python sees it: attributes, classes, docstrings and
the PanicException type."""
import gc
import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import tarsim

CLASSES = [tarsim.PyFlat, tarsim.PyHNSW]


def new_instance(cls):
    return cls(2) if cls is tarsim.PyFlat else cls(2, metric="euclidean")


def test_module_contents():
    assert tarsim.__name__ == "tarsim"
    assert tarsim.__doc__ == ""
    assert tarsim.__all__ == ["PyFlat", "PyHNSW"]
    public = sorted(name for name in vars(tarsim) if not name.startswith("_"))
    assert public == ["PyFlat", "PyHNSW"]
    assert all(isinstance(getattr(tarsim, name), type) for name in tarsim.__all__)


def test_import_twice_gives_same_module():
    assert importlib.import_module("tarsim") is tarsim
    assert tarsim.__all__ == ["PyFlat", "PyHNSW"]


def test_reimport_after_removal_returns_same_module_without_registering_again():
    # Runs in a fresh interpreter so that the test's own module stays untouched.
    script = textwrap.dedent(
        """
        import importlib, sys
        import tarsim
        first = tarsim
        flat, hnsw = tarsim.PyFlat, tarsim.PyHNSW
        del sys.modules["tarsim"]
        second = importlib.import_module("tarsim")
        assert second is first, "a new module object was created"
        assert second.__all__ == ["PyFlat", "PyHNSW"], second.__all__
        assert second.PyFlat is flat and second.PyHNSW is hnsw
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


# Runs in a sub-interpreter: reports on file descriptor 1 whether tarsim was
# imported or refused, and why (print would go through the sub-interpreter's
# own buffered sys.stdout).
_IMPORT_IN_SUB_INTERPRETER = textwrap.dedent(
    """
    import os
    try:
        import tarsim
    except ImportError as error:
        os.write(1, f"refused: {error}\\n".encode())
    else:
        os.write(1, b"imported\\n")
    """
)

# Starts a sub-interpreter of the kind given as argv[1] through whichever
# private module this interpreter has, after tarsim was imported in the main
# interpreter. "isolated" is the private modules' default sub-interpreter
# (from 3.12 on it refuses single-phase extension modules itself); "legacy"
# shares the main interpreter's settings, so the import reaches PyInit_tarsim.
_SUB_INTERPRETER = textwrap.dedent(
    """
    import sys
    import tarsim

    code = sys.argv[2]
    kind = sys.argv[1]

    def high_level():
        try:
            import _interpreters as interpreters  # 3.13
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters  # 3.11, 3.12
            except ImportError:
                return None
        return interpreters

    def run_isolated():
        interpreters = high_level()
        if interpreters is None:
            return False
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        return True

    def run_legacy():
        try:
            import _testcapi
        except ImportError:
            _testcapi = None
        if _testcapi is not None and hasattr(_testcapi, "run_in_subinterp"):
            return _testcapi.run_in_subinterp(code) == 0
        interpreters = high_level()
        if interpreters is None:
            return False
        if hasattr(interpreters, "new_config"):  # 3.13
            interp = interpreters.create(interpreters.new_config("legacy"))
        elif sys.version_info >= (3, 12):
            interp = interpreters.create(isolated=False)
        else:
            interp = interpreters.create()  # 3.11: always legacy
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        return True

    if not (run_isolated if kind == "isolated" else run_legacy)():
        print("unavailable")
        sys.exit(0)
    # The main interpreter's module is untouched by the refusal.
    sys.stdout.flush()
    index = tarsim.PyFlat(2)
    index.insert([1.0, 2.0])
    assert [i for i, _ in index.search([1.0, 2.0], 1)] == [0]
    print("main interpreter still works")
    """
)

OUR_REFUSAL = "refused: tarsim cannot be imported here: sub-interpreters are not supported"
INTERPRETER_REFUSAL = "refused: module tarsim does not support loading in subinterpreters"


@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_sub_interpreter_is_refused(kind):
    done = subprocess.run([sys.executable, "-c", _SUB_INTERPRETER, kind, _IMPORT_IN_SUB_INTERPRETER],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    if lines == ["unavailable"]:
        pytest.skip(f"this interpreter offers no {kind} sub-interpreters")
    assert len(lines) == 2 and lines[1] == "main interpreter still works", done.stdout + done.stderr
    # From 3.12 on an isolated sub-interpreter refuses single-phase extension
    # modules before PyInit_tarsim runs; a legacy one leaves it to our guard.
    accepted = {OUR_REFUSAL}
    if kind == "isolated" and sys.version_info >= (3, 12):
        accepted = {INTERPRETER_REFUSAL}
    assert lines[0] in accepted, done.stdout + done.stderr


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_subclassing_is_refused(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__bases__ == (object,)
    assert cls.__qualname__ == cls.__name__
    # The type name carries no module prefix.
    assert repr(cls) == f"<class '{cls.__name__}'>"
    public = sorted(name for name in dir(cls) if not name.startswith("_"))
    assert public == ["create", "insert", "search"]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instances_have_no_dict_weakrefs_or_gc(cls):
    obj = new_instance(cls)
    assert type(obj) is cls
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


def test_class_docstrings_and_signatures():
    assert tarsim.PyFlat.__doc__ == "Our Python-facing Flat index."
    assert tarsim.PyFlat.__text_signature__ == "(dim, metric=None)"
    assert not tarsim.PyHNSW.__doc__  # only the signature is registered
    assert tarsim.PyHNSW.__text_signature__ == (
        "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)"
    )
    assert str(inspect.signature(tarsim.PyHNSW)) == (
        "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)"
    )


METHOD_DOCS = [
    (tarsim.PyFlat, "insert", "($self, vector)",
     "Insert a vector into the index.\n\nThe vector is expected as a list of floats whose length "
     "equals the index dimension."),
    (tarsim.PyFlat, "search", "($self, query, k=None)",
     "Search for the k nearest neighbors.\n\nReturns a list of tuples `(id, distance)`."),
    (tarsim.PyFlat, "create", "($self, vectors)", "Create an index from a list of vectors."),
    (tarsim.PyHNSW, "insert", "($self, vector, metadata=None)",
     "Insert a vector into the index.\n\nThe vector is expected as a list of floats.\n"
     "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
     "`[(\"color\", \"blue\"), (\"size\", 42)]`"),
    (tarsim.PyHNSW, "search", "($self, query, k=None, filter=None)",
     "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`."),
    (tarsim.PyHNSW, "create", "($self, vectors, metadata=None)", ""),
]


@pytest.mark.parametrize("cls, name, signature, doc", METHOD_DOCS,
                         ids=[f"{c.__name__}.{n}" for c, n, _, _ in METHOD_DOCS])
def test_method_docstrings(cls, name, signature, doc):
    method = getattr(cls, name)
    assert method.__text_signature__ == signature
    # The interpreter shows an empty text after the signature as None.
    assert (method.__doc__ or "") == doc
    params = list(inspect.signature(method).parameters)
    assert params == ["self"] + [p.split("=")[0] for p in signature[1:-1].split(", ")[1:]]


def test_panic_exception_type(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    doc = panic_exception.__doc__
    assert "BaseException" in doc and "SystemExit" in doc
    # Created once: a second failure raises the very same type.
    with pytest.raises(BaseException) as info:
        tarsim.PyFlat(3).create([[1.0]])
    assert type(info.value) is panic_exception


def test_panic_escapes_except_exception_and_reports_to_stderr(capfd, panic_exception):
    index = tarsim.PyFlat(2)
    with pytest.raises(panic_exception) as info:
        try:
            index.create([[1.0, 2.0, 3.0]])
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    message = "Vector length 3 does not match index dimension 2"
    assert info.value.args == (message,)
    assert message in capfd.readouterr().err


def test_import_is_silent_under_warnings_as_errors():
    # The classes carry no module prefix; importing must still work when
    # warnings are errors, and help()/inspect must find a __module__.
    code = textwrap.dedent(
        """
        import tarsim
        assert tarsim.PyFlat.__module__ == "builtins"
        assert tarsim.PyHNSW.__module__ == "builtins"
        import pydoc
        assert "Our Python-facing Flat index." in pydoc.render_doc(tarsim.PyFlat)
        print("ok")
        """
    )
    out = subprocess.run([sys.executable, "-W", "error", "-c", code],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_test_requirements_match_the_package_metadata():
    # requirements-test.txt sets up a build without isolation: it must name
    # the build requirements and the `test` extra with the same lower bounds.
    import pathlib
    import tomllib
    root = pathlib.Path(__file__).resolve().parent.parent
    with open(root / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)
    lines = (root / "requirements-test.txt").read_text().splitlines()
    listed = {line.strip() for line in lines if line.strip() and not line.startswith("#")}
    wanted = set(project["build-system"]["requires"])
    wanted |= set(project["project"]["optional-dependencies"]["test"])
    assert wanted <= listed
