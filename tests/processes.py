"""What the tests that start the command need of its process."""

import signal


def interruptible() -> None:
    """Run in the child before it starts (``preexec_fn``): SIGINT as a terminal
    delivers it, whatever the runner inherited. A shell starts a background
    job with SIGINT ignored, and Python leaves an ignored SIGINT ignored."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
