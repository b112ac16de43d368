import pathlib

import pytest

import replikon
from conftest import automation_error


def test_settings_have_python_and_own_names_and_defaults_and_refuse_invalid_values():
    c = replikon.Replikon()
    assert (c.recursion_allowed, c.raise_recursion_check_event, c.object_server_name) == (True, True, "")
    assert (c.problems_notification, c.set_external_references, c.preserve_identity) == (1, False, False)
    assert (c.max_objects, c.max_depth) == (0, 0)
    for python_name, own_name, value in [
        ("recursion_allowed", "RecursionAllowed", False),
        ("raise_recursion_check_event", "RaiseRecursionCheckEvent", False),
        ("object_server_name", "ObjectServerName", "OrdersLib"),
        ("problems_notification", "ProblemsNotification", 0),
        ("set_external_references", "SetExternalReferences", True),
        ("preserve_identity", "PreserveIdentity", True),
        ("max_objects", "MaxObjects", 10),
        ("max_depth", "MaxDepth", 3),
    ]:
        setattr(c, own_name, value)
        assert getattr(c, python_name) == value
    # An invalid value raises 380 and changes nothing.
    for name, value in [("problems_notification", 2), ("max_objects", -1), ("max_depth", -5)]:
        before = getattr(c, name)
        with automation_error(380) as raised:
            setattr(c, name, value)
        assert raised.value.description == "Invalid property value"
        assert getattr(c, name) == before


def test_error_carries_number_description_help_and_details(control):
    with automation_error(602) as raised:
        control.object_from_stream(b"not a stream at all")
    e = raised.value
    assert isinstance(e, Exception) and e.description == "Byte array is not a Stream"
    assert (e.help_file, e.help_context) == ("replictl.hlp", 1602)
    assert e.details == ["not a property bag: no bag signature (offset 0)"]
    assert "602" in str(e)


def test_copy_is_a_new_object_with_the_same_values(control, invoice):
    copy = control.copy(invoice)
    assert copy != invoice and replikon.class_name(copy) == "Invoice"
    assert copy.Number == invoice.Number == 1001
    assert copy.Buyer != invoice.Buyer and copy.Buyer.Name == invoice.Buyer.Name
    assert copy.Summary(True) == invoice.Summary(True)
    assert control.Copy(invoice).Number == 1001


def test_stream_round_trip_accepts_any_buffer(control, invoice, tmp_path):
    stream = control.stream_from_object(invoice)
    assert isinstance(stream, bytes)
    assert control.is_stream(stream) and not control.is_stream(b"xyz") and not control.is_stream(3)
    assert control.object_type_name(stream) == "Invoice"
    restreamed = set()
    for form in (stream, bytearray(stream), memoryview(stream)):
        again = control.object_from_stream(form)
        assert (again.Number, again.Buyer.Name) == (1001, invoice.Buyer.Name)
        restreamed.add(control.stream_from_object(again))
    assert len(restreamed) == 1
    path = tmp_path / "invoice.bin"
    control.stream_to_file(stream, path)
    assert pathlib.Path(path).read_bytes() == stream
    assert control.stream_from_file(str(path)) == stream


def test_non_objects_are_refused_with_424(control):
    for value in (3, "Invoice", [1], object()):
        with automation_error(424) as raised:
            control.copy(value)
        assert raised.value.details


def test_event_reports_cycles_and_cancel_stops_the_walk(control):
    node = replikon.create("OrdersLib.Node")
    node.Number = 1
    node.Left = node
    seen = []

    @control.on_recursion_check
    def handler(event):
        seen.append(event)
        assert event.root_object == node and event.RootObject == node
        assert event.current_object == node
        assert isinstance(event.current_object_property, str)
        assert isinstance(event.error_status, int)
        assert event.cancel is False

    copy = control.copy(node)
    events = len(seen)
    assert events >= 1 and seen[0].current_object_property == "Left"
    assert copy.Number == 1

    calls = []
    control.on_recursion_check(lambda event: calls.append(1))
    assert control.remove_recursion_check(handler)
    assert not control.remove_recursion_check(handler)
    control.copy(node)
    assert len(seen) == events and len(calls) == events


def test_handlers_run_in_order_see_cancel_and_their_exceptions_end_the_call(control):
    cycle = replikon.create("OrdersLib.Node")
    cycle.Left = cycle
    order = []

    def first(event):
        order.append(("first", event.cancel))
        event.cancel = True

    def second(event):
        order.append(("second", event.cancel))

    control.on_recursion_check(first)
    control.on_recursion_check(second)
    try:
        control.copy(cycle)
    except replikon.AutomationError:
        pass
    assert order[:2] == [("first", False), ("second", True)]

    def handler(event):
        raise KeyError("from the handler")

    control.on_recursion_check(handler)
    with pytest.raises(KeyError, match="from the handler"):
        control.copy(cycle)


def test_create_errors():
    with automation_error(429):
        replikon.create("OrdersLib.NoSuchClass")
    with automation_error(1001) as raised:
        replikon.create("OrdersLib.Archive")
    assert raised.value.description == "The archive is locked"
