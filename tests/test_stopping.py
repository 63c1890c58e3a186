"""Long batches stop when asked: Ctrl-C raises KeyboardInterrupt between chunks, with every worker
joined, and a batch running in a daemon thread when the interpreter exits never ends the process
abnormally. Each run is a child process of its own."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

SANITIZED = bool(os.environ.get("VELUNDA_SANITIZED"))

SETUP = textwrap.dedent("""
    import os, sys, time
    from velunda_binary_parser import BinaryParser
    distinct = open(sys.argv[1]).read().split()
    texts = distinct * (150_000 // len(distinct))  # one str each, repeated
    method = sys.argv[2]
    threads = None if sys.argv[3] == "all" else int(sys.argv[3])
    parser = BinaryParser()
    if method in ("parse_arrow", "parse_table"):
        import pyarrow as pa
        # The Arrow ways decode several times faster: the same array four times over, uncopied.
        column = pa.chunked_array([pa.array(texts, pa.string())] * 4)
        def work():
            return getattr(parser, method)("samples", 13, column, threads=threads)
    else:
        def work():
            return parser.parse_many("samples", 13, texts, threads=threads)
    def threads_running():
        return len(os.listdir("/proc/self/task"))
""")


@pytest.fixture(scope="module")
def long_batch(tmp_path_factory):
    """Typical payloads for a batch that takes a second or two on two threads."""
    from bench import workloads

    path = tmp_path_factory.mktemp("stopping") / "texts.txt"
    path.write_text("\n".join(workloads.workload("typical", 20).texts))
    return path


def child(script, *arguments, **options):
    return subprocess.Popen(
        [sys.executable, "-c", SETUP + textwrap.dedent(script), *map(str, arguments)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **options,
    )


@pytest.mark.parametrize("threads", [1, "all"])
@pytest.mark.parametrize("method", ["parse_many", "parse_arrow", "parse_table"])
def test_ctrl_c_interrupts_a_long_batch_at_once(long_batch, method, threads):
    script = """
        before = threads_running()
        print("started", flush=True)
        try:
            work()
            print("finished")
        except KeyboardInterrupt:
            caught = time.monotonic()
            print("interrupted", caught, threads_running() - before, flush=True)
    """
    with child(script, long_batch, method, threads) as process:
        assert process.stdout.readline() == "started\n"
        time.sleep(0.5)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
    assert process.returncode == 0, err
    word, caught, extra_threads = out.split()
    assert word == "interrupted"
    assert float(caught) - sent < (2.0 if SANITIZED else 0.2), f"{float(caught) - sent:.3f} s"
    assert int(extra_threads) == 0  # every worker joined


@pytest.mark.parametrize("method", ["parse_many", "parse_arrow", "parse_table"])
def test_a_batch_in_a_daemon_thread_never_aborts_the_exit(long_batch, method):
    script = """
        import threading
        threading.Thread(target=work, daemon=True).start()
        time.sleep(0.2)
    """

    def run(_):
        with child(script, long_batch, method, "all") as process:
            _, err = process.communicate(timeout=120)
            return process.returncode, err

    runs = 4 if SANITIZED else 20
    with ThreadPoolExecutor(2) as pool:
        outcomes = list(pool.map(run, range(runs)))
    assert [code for code, _ in outcomes] == [0] * runs, [err for code, err in outcomes if code != 0][:1]
