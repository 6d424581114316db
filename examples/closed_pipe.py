"""Lets an example script's report go to a reader that stops early
(`script.py | head`) without a traceback: once the reader has gone, the rest
of the report is dropped and the script goes on to write its files."""
import os
import sys


class _ReaderMayLeave:
    """Standard output that turns into /dev/null when its reader has gone."""

    def __init__(self, stream):
        self._stream = stream

    def _reader_left(self):
        # Point the descriptor at /dev/null so that what is still buffered, and
        # the interpreter's flush at exit, have somewhere to go.
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, self._stream.fileno())
        finally:
            os.close(devnull)

    def write(self, text):
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            self._reader_left()
            return len(text)

    def flush(self):
        try:
            self._stream.flush()
        except BrokenPipeError:
            self._reader_left()

    def __getattr__(self, name):
        return getattr(self._stream, name)


def tolerate_early_reader_exit():
    """Wraps sys.stdout once; a no-op where it cannot be (no descriptor)."""
    if isinstance(sys.stdout, _ReaderMayLeave):
        return
    try:
        sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    sys.stdout = _ReaderMayLeave(sys.stdout)
