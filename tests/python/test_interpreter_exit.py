"""The interpreter exits cleanly while daemon threads are inside binding calls.

At finalisation CPython ends a thread that tries to take the interpreter lock
back by unwinding its stack (pthread_exit); the binding's frames must let that
unwind pass instead of aborting the process.
"""
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import threading
    import time
    import zudizid

    g = zudizid.Graph.in_memory()

    def commits():
        while True:
            tx = g.begin_transaction()
            tx.add_node("P", {"i": 1})
            tx.commit()
            yield

    def upserts():
        i = 0
        while True:
            i += 1
            g.upsert("U", "k", {"k": i % 50})
            yield

    def reads():
        while True:
            g.node_count()
            g.get_labels()
            yield

    def run(body, started):
        for _ in body():
            started.set()

    bodies = (commits, commits, upserts, reads)
    started = [threading.Event() for _ in bodies]
    for body, event in zip(bodies, started):
        threading.Thread(target=run, args=(body, event), daemon=True).start()
    for event in started:
        event.wait()
    time.sleep(0.01)
    """
)


def test_exit_with_daemon_threads_inside_binding_calls():
    runs, in_flight = 50, 8
    failures = []
    for first in range(0, runs, in_flight):
        children = [
            subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            for _ in range(min(in_flight, runs - first))
        ]
        for child in children:
            _, err = child.communicate(timeout=120)
            if child.returncode != 0:
                failures.append((child.returncode, err.decode(errors="replace")[-300:]))
    assert not failures, f"{len(failures)} of {runs} runs failed, first: {failures[0]}"


def test_exit_removes_the_logs_of_held_in_memory_databases(tmp_path):
    # The threads above still hold the graph at exit: its log goes anyway.
    child = subprocess.run([sys.executable, "-c", CHILD], env={**os.environ, "TMPDIR": str(tmp_path)},
                           stderr=subprocess.PIPE, timeout=120)
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-300:]
    assert not [p.name for p in tmp_path.iterdir() if p.name.startswith("zovov--")]

