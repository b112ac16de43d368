import contextlib

import pytest

import replikon
from replikon import _replikon

# The tests' build of the module can register the sample order-book server.
if hasattr(_replikon, "_register_sample_server"):
    _replikon._register_sample_server()


def _needs_sample():
    if not hasattr(_replikon, "_register_sample_server"):
        pytest.skip("the sample server is only in the tests' build (build/python-tests)")


def component(server_name):
    """A component that makes the objects of server `server_name`."""
    made = replikon.Replikon()
    made.object_server_name = server_name
    return made


@contextlib.contextmanager
def automation_error(number):
    """Expects the block to raise AutomationError `number`; gives pytest's ExceptionInfo."""
    with pytest.raises(replikon.AutomationError) as raised:
        yield raised
    assert raised.value.number == number


@pytest.fixture
def control():
    _needs_sample()
    made = component("OrdersLib")
    made.problems_notification = 0  # the sample's carrier, of another server, is left out
    return made


@pytest.fixture
def invoice():
    _needs_sample()
    return _replikon._sample_invoice(False)


@pytest.fixture
def linked_invoice():
    _needs_sample()
    return _replikon._sample_invoice(True)
