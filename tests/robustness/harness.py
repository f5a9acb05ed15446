"""Replays malformed inputs against the native modules, each run in a child process.

A corpus is a module with `run_case(case)` at module level; a case is a picklable dictionary
holding what the call needs (paths to files the parent made, numbers, ...), a name and the
exception kinds it may raise (`expect`, names of built-in exceptions; empty: it must succeed).

The child runs the cases one after the other and reports each outcome on a line of its own.
When it dies (a signal: a crash) or stops answering (a hang), the parent records that case and
starts a new child at the next one, so one bad input never hides the others.
"""
import dataclasses
import json
import os
import pickle
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# `make fuzz` raises this to replay larger random corpora.
SCALE = int(os.environ.get("VIREO_FUZZ_SCALE", "1"))


@dataclasses.dataclass
class Outcome:
    name: str
    kind: str            # "ok", "error", "crash" or "hang"
    error: str = ""      # the exception's type name
    message: str = ""
    expected: tuple = ()

    @property
    def fault(self):
        """What is wrong with this outcome, or None."""
        if self.kind in ("crash", "hang"):
            return f"{self.name}: {self.kind} {self.message}"
        if self.kind == "error" and self.error not in self.expected:
            return f"{self.name}: {self.error}: {self.message[:300]} (expected {self.expected or 'success'})"
        if self.kind == "ok" and self.expected and "ok" not in self.expected:
            return f"{self.name}: succeeded, expected {self.expected}"
        return None


@dataclasses.dataclass
class Report:
    module: str
    outcomes: list

    def count(self, kind):
        return sum(o.kind == kind for o in self.outcomes)

    @property
    def faults(self):
        return [f for f in (o.fault for o in self.outcomes) if f]

    def summary(self):
        clear = sum(o.kind == "error" and o.fault is None for o in self.outcomes)
        unexpected = sum(o.kind in ("ok", "error") and o.fault is not None for o in self.outcomes)
        return (f"{self.module}: {len(self.outcomes)} inputs, {clear} clear errors, {self.count('ok')} accepted, "
                f"{unexpected} unexpected outcomes, {self.count('crash')} crashes, {self.count('hang')} hangs")


def replay(corpus_module, cases, timeout=60.0, label=None):
    """Runs `cases` through `corpus_module.run_case` in child processes; returns a Report."""
    outcomes = []
    start = 0
    while start < len(cases):
        done = _run_child(corpus_module, cases, start, timeout, outcomes)
        start = done
    return Report(label or corpus_module, outcomes)


def _run_child(corpus_module, cases, start, timeout, outcomes):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.environ.get("PYTHONPATH", "")]),
               TF_CPP_MIN_LOG_LEVEL="3")
    # The with-block closes the child's pipes and waits for it, on every way out.
    with subprocess.Popen([sys.executable, "-m", "tests.robustness.harness", corpus_module],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          cwd=ROOT, env=env) as child:
        child.stdin.write(pickle.dumps(cases[start:]))
        child.stdin.close()
        index = start
        os.set_blocking(child.stdout.fileno(), False)
        buffer = b""
        deadline = time.monotonic() + timeout * 3  # the first case also pays for the imports
        while index < len(cases):
            chunk = child.stdout.read()
            if chunk:
                buffer += chunk
                while b"\n" in buffer:
                    line, buffer = buffer.split(b"\n", 1)
                    if not line.startswith(b"@@"):
                        continue
                    record = json.loads(line[2:])
                    case = cases[index]
                    outcomes.append(Outcome(case["name"], record["kind"], record.get("error", ""),
                                            record.get("message", ""), tuple(case.get("expect", ()))))
                    index += 1
                    deadline = time.monotonic() + timeout
                continue
            code = child.poll()
            if code is not None:
                # Read what is left, then blame the case that was running.
                rest = child.stdout.read() or b""
                if rest:
                    buffer += rest
                    continue
                if index < len(cases):
                    outcomes.append(Outcome(cases[index]["name"], "crash", message=f"(exit status {code})",
                                            expected=tuple(cases[index].get("expect", ()))))
                    return index + 1
                return index
            if time.monotonic() > deadline:
                child.kill()
                child.wait()
                outcomes.append(Outcome(cases[index]["name"], "hang", message=f"(no answer in {timeout:.0f} s)",
                                        expected=tuple(cases[index].get("expect", ()))))
                return index + 1
            time.sleep(0.01)
        return index


def _child(corpus_module):
    import importlib

    cases = pickle.loads(sys.stdin.buffer.read())
    corpus = importlib.import_module(corpus_module)
    out = sys.stdout
    sys.stdout = open(os.devnull, "w")  # what the cases print is not the report
    for case in cases:
        try:
            corpus.run_case(case)
            record = {"kind": "ok"}
        except Exception as error:  # every kind is recorded; the parent judges it
            record = {"kind": "error", "error": type(error).__name__, "message": str(error)[:2000]}
        out.write("@@" + json.dumps(record) + "\n")
        out.flush()


def rss_kib():
    """This process's resident memory in KiB."""
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


if __name__ == "__main__":
    _child(sys.argv[1])
