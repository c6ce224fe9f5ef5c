"""Shared set-up of the Python tests."""

import signal

# A test run started in the background of a non-interactive shell inherits SIGINT ignored, and the
# children the Ctrl-C tests start would keep it ignored through exec. A handler of our own is reset to
# the default at exec instead, so every child gets its KeyboardInterrupt.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
