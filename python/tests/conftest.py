import pytest

import replikon
from replikon import _replikon

# The tests' build of the module can register the sample order-book server.
if hasattr(_replikon, "_register_sample_server"):
    _replikon._register_sample_server()


def _needs_sample():
    if not hasattr(_replikon, "_register_sample_server"):
        pytest.skip("the sample server is only in the tests' build (build/python-tests)")


@pytest.fixture
def control():
    _needs_sample()
    component = replikon.Replikon()
    component.object_server_name = "OrdersLib"
    component.problems_notification = 0  # the sample's carrier, of another server, is left out
    return component


@pytest.fixture
def invoice():
    _needs_sample()
    return _replikon._sample_invoice(False)


@pytest.fixture
def linked_invoice():
    _needs_sample()
    return _replikon._sample_invoice(True)
