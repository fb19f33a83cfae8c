"""The module surface: what import adds, and how the classes behave as types."""
import subprocess
import sys
import textwrap

import pytest

import zudizid

CLASSES = ["Graph", "ZqlResult", "ProfileResult", "QueryResult", "Transaction", "BulkLoader", "ELReasoner", "Inference"]


def test_all_and_version():
    assert zudizid.__all__ == CLASSES + ["__version__"]
    assert zudizid.__version__ == "0.4.33"
    assert zudizid.__doc__ == "ZudizID Python module"


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_builtins_types(name):
    cls = getattr(zudizid, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", [n for n in CLASSES if n != "ELReasoner"])
def test_classes_without_constructor_refuse_instantiation(name):
    with pytest.raises(TypeError):
        getattr(zudizid, name)()


def test_result_iterator_is_not_exported():
    with pytest.raises(AttributeError):
        zudizid.PyResultIterator


def test_import_starts_no_runtime_threads():
    code = textwrap.dedent(
        """
        import os, zudizid
        names = [open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task")]
        print(sum(n == "zudizid-rt" for n in names))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "0"
