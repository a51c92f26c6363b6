import contextlib
import signal

import pytest

from corvane import ValidationError


@pytest.fixture
def refusal():
    """The message of the ValidationError that call(*args, **kwargs) raises."""

    def message(call, *args, **kwargs):
        with pytest.raises(ValidationError) as raised:
            call(*args, **kwargs)
        return str(raised.value)

    return message


@pytest.fixture
def ctrl_c():
    """A context that raises KeyboardInterrupt from a timer signal after `seconds`, as Ctrl-C
    would; a call that never checks for signals runs on and fails the test by hanging."""

    @contextlib.contextmanager
    def after(seconds):
        def stop(*_):
            raise KeyboardInterrupt

        previous = signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, seconds)
        try:
            with pytest.raises(KeyboardInterrupt):
                yield
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

    return after
