"""Runs a long native call in a worker thread while the calling thread shows its progress
object as a tqdm bar, and turns Ctrl-C into a cancellation request."""

from __future__ import annotations

import signal
import sys
import threading


def _postfix(progress):
    """What the bar shows after the counts: tessel's chunk summary, the stage of quarvo and
    mendolin."""
    if hasattr(progress, "chunk_statuses"):
        chunks = progress.chunk_statuses()
        if not chunks:
            return ""
        finished = sum(1 for c in chunks if c.get("phase") == 2)
        regions = sum(int(c.get("regions", 0)) for c in chunks)
        return f"chunks {finished}/{len(chunks)}, {regions} regions"
    if hasattr(progress, "stage"):
        text = progress.stage()
        if hasattr(progress, "planes_found"):
            text += f", {progress.planes_found()} planes"
        return text
    return ""


def show_bar(quiet=False, stream=None):
    """Whether a bar should be drawn: not with --quiet, and only onto a terminal."""
    stream = stream or sys.stderr
    return not quiet and hasattr(stream, "isatty") and stream.isatty()


class Cancelled:
    """Whether Ctrl-C asked the run to stop (the call itself decides what that means)."""

    def __init__(self):
        self.requested = False


def run_with_progress(call, progress, description="", quiet=False, on_cancel=None, poll_seconds=0.1):
    """Runs call() in a worker thread, polling progress (a module's Progress object, already
    passed to the call) into a tqdm bar on standard error.

    The first Ctrl-C calls progress.request_cancel() and on_cancel() (to say what follows);
    a second one raises KeyboardInterrupt without waiting for the call. Returns
    (result of call, whether cancellation was requested); exceptions of the call are re-raised
    here. Off the main thread (where signals cannot be caught) Ctrl-C is left alone."""
    box = {}
    cancel = Cancelled()

    def work():
        try:
            box["result"] = call()
        except BaseException as e:  # handed over to the calling thread
            box["error"] = e

    def on_sigint(signum, frame):
        if cancel.requested:
            raise KeyboardInterrupt
        cancel.requested = True
        progress.request_cancel()
        if on_cancel:
            on_cancel()

    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGINT, on_sigint)
    bar = None
    try:
        if show_bar(quiet):
            from tqdm import tqdm

            bar = tqdm(total=0, desc=description, unit="", dynamic_ncols=True, leave=True)
        worker = threading.Thread(target=work, name="planeseg-worker", daemon=True)
        worker.start()
        while worker.is_alive():
            worker.join(poll_seconds)
            if bar is not None:
                _update(bar, progress)
        if bar is not None:
            _update(bar, progress)
    finally:
        if bar is not None:
            bar.close()
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
    if "error" in box:
        raise box["error"]
    return box.get("result"), cancel.requested


def _update(bar, progress):
    total, done = progress.total(), progress.done()
    if bar.total != total:
        bar.total = total
    bar.n = min(done, total) if total else done
    text = _postfix(progress)
    if text:
        bar.set_postfix_str(text, refresh=False)
    bar.refresh()

