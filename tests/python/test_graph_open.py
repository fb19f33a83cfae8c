"""Opening, closing and the context-manager protocol of zudizid.Graph."""
import inspect
import subprocess
import sys
import textwrap
import threading

import pytest

import zudizid

G = zudizid.Graph


@pytest.mark.parametrize(
    "method, signature",
    [
        ("open", "(path)"),
        ("open_with_profile", "(path, profile='default')"),
        ("open_with_options", "(path, engine='kelm', profile='default')"),
        ("in_memory", "()"),
        ("in_memory_with_profile", "(profile='default')"),
        ("in_memory_with_options", "(engine='kelm', profile='default')"),
        ("close", "(self, /)"),
        ("__enter__", "(self, /)"),
        ("__exit__", "(self, /, _exc_type, _exc_value, _traceback)"),
    ],
)
def test_signatures(method, signature):
    assert str(inspect.signature(getattr(G, method))) == signature


def test_docstrings_name_the_accepted_values():
    assert G.open.__doc__ == "Open a graph database"
    assert G.open_with_options.__doc__ == (
        "Open a graph database with explicit storage options.\n\n"
        'engine: "kelm"\nprofile: "default" | "mobile" | "server"'
    )
    assert G.close.__doc__.startswith("Close the database\n")


@pytest.mark.parametrize("profile", ["default", "MOBILE", "Server", "mObIlE"])
def test_profiles_fold_ascii_capitals(profile, db_path):
    G.in_memory_with_profile(profile).close()
    G.open_with_profile(db_path, profile).close()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: G.in_memory_with_profile(" mobile"),
         "Invalid profile ' mobile'. Use 'default', 'mobile', or 'server'"),
        (lambda: G.in_memory_with_profile(""), "Invalid profile ''. Use 'default', 'mobile', or 'server'"),
        (lambda: G.in_memory_with_options("rocks"), "Invalid engine 'rocks'. Use 'kelm'"),
        # the engine is checked before the profile
        (lambda: G.in_memory_with_options("rocks", "nope"), "Invalid engine 'rocks'. Use 'kelm'"),
        (lambda: G.open_with_options("/nonexistent/x", "KELM", "Fast"),
         "Invalid profile 'Fast'. Use 'default', 'mobile', or 'server'"),
    ],
)
def test_bad_names_raise_value_error(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == message


@pytest.mark.parametrize(
    "call, note",
    [
        (lambda: G.open_with_profile("/tmp/x", None), "while processing 'profile'"),
        (lambda: G.open(b"/tmp/x"), "while processing 'path'"),
        (lambda: G.in_memory_with_options(engine=1), "while processing 'engine'"),
    ],
)
def test_non_text_arguments_raise_type_error(call, note):
    with pytest.raises(TypeError) as err:
        call()
    assert err.value.__notes__ == [note]


@pytest.mark.parametrize(
    "call",
    [lambda: G.open(), lambda: G.in_memory(1), lambda: G.open_with_profile("/tmp/x", foo="a"),
     lambda: G.in_memory_with_profile("default", profile="default")],
)
def test_argument_matching_errors(call):
    with pytest.raises(TypeError):
        call()


def test_engine_failure_is_runtime_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    with pytest.raises(RuntimeError):
        G.open(str(blocker / "db"))


def test_failed_open_leaves_nothing_it_created(tmp_path, monkeypatch):
    # An empty path is the current directory to the engine, which fails there.
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError):
        G.open("")
    assert list(tmp_path.iterdir()) == []
    # Failing later, at the log: what was there before stays, the rest goes.
    db = tmp_path / "db"
    (db / "zovov.wal").mkdir(parents=True)
    (db / "notes.txt").write_text("mine")
    with pytest.raises(RuntimeError):
        G.open(str(db))
    assert sorted(p.name for p in db.iterdir()) == ["notes.txt", "zovov.wal"]


def test_repr_and_close_lifecycle():
    g = G.in_memory_with_options()
    assert repr(g) == "<ZudizID Graph>"
    assert g.close() is None
    assert repr(g) == "<ZudizID Graph (closed)>"
    assert g.close() is None  # closing again does nothing
    assert g.__enter__() is g  # __enter__ does not look at the handle


def test_open_through_an_instance_is_static(db_path):
    g = G.in_memory()
    other = g.open(db_path)
    assert repr(other) == "<ZudizID Graph>"
    other.close()
    g.close()


def test_with_block_closes_and_does_not_swallow_exceptions(db_path):
    with pytest.raises(KeyError):
        with G.open(db_path) as g:
            assert repr(g) == "<ZudizID Graph>"
            raise KeyError("boom")
    assert repr(g) == "<ZudizID Graph (closed)>"
    assert g.__exit__(None, None, None) is False
    # the directory lock went with the last handle: it opens again
    G.open(db_path).close()


def test_close_releases_the_directory_for_a_reopen(db_path):
    for _ in range(3):
        g = G.open(db_path)
        g.close()


def test_close_logs_and_flushes_without_error(db_path):
    g = G.open_with_profile(db_path, "server")
    g.close()
    g = G.open_with_profile(db_path, "mobile")
    g.close()


def test_runtime_threads_start_on_first_blocking_call():
    script = textwrap.dedent(
        """
        import threading, os
        def rt():
            names = []
            for tid in os.listdir('/proc/self/task'):
                with open(f'/proc/self/task/{tid}/comm') as f:
                    names.append(f.read().strip())
            return sum(1 for n in names if n == 'zudizid-rt')
        import zudizid
        before = rt()
        zudizid.Graph.in_memory().close()
        print(before, rt())
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    before, after = map(int, out.stdout.split())
    assert before == 0
    assert after > 0


def test_opens_from_several_threads_at_once(tmp_path):
    errors = []

    def worker(i):
        try:
            g = G.open(str(tmp_path / f"db{i}"))
            g.close()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
