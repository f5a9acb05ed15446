"""A corpus that proves the harness: one case of each outcome."""
import ctypes
import os
import signal
import time


def run_case(case):
    action = case["action"]
    if action == "ok":
        return
    if action == "error":
        raise ValueError("refused")
    if action == "crash":
        os.kill(os.getpid(), signal.SIGSEGV)
    if action == "hang":
        time.sleep(60)
    if action == "wrong":
        ctypes.string_at(0, 0)
        raise KeyError("not a clear error")
