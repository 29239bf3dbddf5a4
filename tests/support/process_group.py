"""Programs a test starts and must not leave behind: each runs in a session
of its own and is stopped, with all it started, on every way out of the test
(its end, a failure, a time limit, Ctrl-C, SIGTERM)."""

import ctypes
import os
import signal
import subprocess
import time

GRACE_SECONDS = 2  # between SIGTERM and SIGKILL

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)
_STOPS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGALRM}


def start(cmd, **kwargs):
    """Popen in a new session. Should the test itself be killed outright
    (SIGKILL, where no cleanup runs), the kernel kills the child too; it does
    so when the calling thread ends, so call this from the main thread."""
    parent = os.getpid()

    def die_with_parent():
        _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:  # the parent died before prctl took effect
            os._exit(1)
    return subprocess.Popen(cmd, start_new_session=True, preexec_fn=die_with_parent, **kwargs)


def _signal_group(pgid, sig):
    try:
        os.killpg(pgid, sig)
        return True
    except ProcessLookupError:
        return False


def stop(proc, grace=GRACE_SECONDS):
    """Ends proc's whole group: SIGTERM, SIGKILL after grace, then reaps.
    Safe to call again, and after proc ended by itself."""
    # A second Ctrl-C must not cut the cleanup short; it is handled after.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPS)
    try:
        if _signal_group(proc.pid, signal.SIGTERM):
            deadline = time.monotonic() + grace
            # The leader is reaped first: a zombie still counts as a member.
            while (proc.poll() is None or _signal_group(proc.pid, 0)) and time.monotonic() < deadline:
                time.sleep(0.05)
            _signal_group(proc.pid, signal.SIGKILL)
        proc.wait()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def stop_on_signals(limit=None):
    """SIGTERM and SIGHUP end the test as Ctrl-C does, with KeyboardInterrupt,
    and after limit seconds it ends with TimeoutError: either way the test's
    own cleanup stops what it started."""
    def interrupted(signum, _frame):
        raise KeyboardInterrupt(signal.Signals(signum).name)
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupted)
    if limit:
        def expired(_signum, _frame):
            raise TimeoutError("the test ran for more than %d s" % limit)
        signal.signal(signal.SIGALRM, expired)
        signal.alarm(limit)
