"""Python modules become servers through the registry's provider: only when
the server is missing, only from modules already imported."""

import sys
import types

import pytest

import replikon
from conftest import _needs_sample, automation_error, component

SOURCE = '''
import dataclasses
import replikon

@replikon.persistent
@dataclasses.dataclass
class Thing:
    number: int = 0
    label: str = ""
'''


def fresh_module(name, source=SOURCE):
    module = types.ModuleType(name)
    sys.modules[name] = module
    exec(source, module.__dict__)
    return module


@pytest.fixture
def module_name(request):
    name = "provided_" + request.node.name
    yield name
    sys.modules.pop(name, None)


def test_an_imported_module_is_supplied_when_first_named(module_name):
    # A module of a package is a server under its dotted name.
    for name in (module_name, "provided_package.models"):
        module = fresh_module(name)
        try:
            assert type(replikon.create(name + ".Thing")) is module.Thing  # the provider is asked
            stream = component(name).stream_from_object(module.Thing(4, "four"))
            assert component(name).object_from_stream(stream) == module.Thing(4, "four")
        finally:
            del sys.modules[name]


def test_a_stream_read_into_a_module_not_used_before(module_name):
    writer_module = fresh_module(module_name + "_writer")
    try:
        stream = component(module_name + "_writer").stream_from_object(writer_module.Thing(1, "one"))
    finally:
        del sys.modules[module_name + "_writer"]
    module = fresh_module(module_name)  # imported, never named to the registry yet
    assert component(module_name).object_from_stream(stream) == module.Thing(1, "one")


def test_a_module_not_imported_is_never_imported(tmp_path, monkeypatch, module_name):
    (tmp_path / (module_name + ".py")).write_text(SOURCE + "\nraise SystemExit('imported')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with automation_error(429):
        replikon.create(module_name + ".Thing")
    assert module_name not in sys.modules


def test_a_module_without_persistent_classes_says_so(module_name):
    fresh_module(module_name, "class Thing:\n    pass\n")
    with automation_error(429) as raised:
        replikon.create(module_name + ".Thing")
    details = raised.value.details
    assert any("no class marked with replikon.persistent" in line for line in details), details


def test_a_registered_cpp_server_of_the_same_name_wins():
    _needs_sample()
    fresh_module("OrdersLib", SOURCE.replace("Thing", "Invoice"))
    try:
        made = replikon.create("OrdersLib.Invoice")
        assert isinstance(made, replikon.Object) and replikon.class_name(made) == "Invoice"
    finally:
        del sys.modules["OrdersLib"]


def test_a_redefined_class_is_supplied_again(module_name):
    module = fresh_module(module_name)
    control = component(module_name)
    assert type(control.copy(module.Thing(2))) is module.Thing
    old = module.Thing
    exec(SOURCE.replace('label: str = ""', 'label: str = ""\n    extra: int = 5'), module.__dict__)
    assert module.Thing is not old
    copied = control.copy(module.Thing(3, "x", 9))
    assert type(copied) is module.Thing and copied.extra == 9
