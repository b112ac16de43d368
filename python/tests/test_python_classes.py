import datetime
import decimal

import pytest

import other_models
import replikon
import shop_models
from conftest import automation_error, component
from shop_models import Computed, Item, Slotted


@pytest.fixture
def shop():
    return component("shop_models")


def test_copy_and_round_trip_of_a_dataclass_graph(shop):
    leaf = Item(2, "leaf", decimal.Decimal("-1.25"), datetime.datetime(2024, 5, 6, 7, 8, 9), [1, "x"])
    root = Item(1, "root", decimal.Decimal("10.50"), next=leaf, tags=[2**40, b"\x00"], _cache=99)
    stream = shop.stream_from_object(root)
    assert shop.object_type_name(stream) == "Item"
    for result in (shop.copy(root), shop.object_from_stream(stream)):
        assert type(result) is Item and result is not root and result.next is not leaf
        assert result == Item(1, "root", decimal.Decimal("10.50"), next=leaf, tags=[2**40, b"\x00"])
        assert result._cache == 0  # "_" names are no members


def test_slots_properties_and_attributes_after_init(shop):
    s = Slotted()
    s.a, s.b = "changed", [3]
    copy = shop.copy(s)
    assert (copy.a, copy.b) == ("changed", [3])
    c = Computed()
    c.x, c.plain = 21, "q"
    copy = shop.copy(c)
    assert (copy.x, copy.doubled, copy.plain) == (21, 42, "q")


def test_whole_graph_keeps_shared_objects_shared(shop):
    shared = Item(7)
    root = Item(1, next=shared, other=shared)
    shop.preserve_identity = True
    for result in (shop.copy(root), shop.object_from_stream(shop.stream_from_object(root))):
        assert result.next is result.other and result.next is not shared
    shop.preserve_identity = False
    tree = shop.copy(root)
    assert tree.next is not tree.other and tree.next == tree.other


def test_deep_chain_copies_and_round_trips(shop):
    depth = 100_000
    head = None
    for number in range(depth):
        head = Item(number, next=head)

    def length(chain):
        count = 0
        while chain is not None:
            count, last, chain = count + 1, chain.number, chain.next
        return count, last

    assert length(shop.copy(head)) == (depth, 0)
    assert length(shop.object_from_stream(shop.stream_from_object(head))) == (depth, 0)


def test_classes_refused_for_each_reason(shop):
    for value in (shop_models.Fake(), other_models.Fore()):
        with automation_error(424):
            shop.copy(value)
    with pytest.raises(replikon.AutomationError):
        component("not_imported_module").copy(Item())


@pytest.mark.parametrize("name", [b"Fake", b"Func", b"Fore"])
def test_stream_naming_a_class_outside_the_server_makes_nothing(shop, name):
    stream = shop.stream_from_object(Item(5, "x"))
    for encoding in ("ascii", "utf-16-le"):
        old = "Item".encode(encoding)
        if old in stream:
            crafted = stream.replace(old, name.decode().encode(encoding))
            break
    else:
        pytest.fail("the class name is not in the Stream")
    del shop_models.made[:], other_models.from_other[:]
    with automation_error(601):
        shop.object_from_stream(crafted)
    assert shop_models.made == [] and other_models.from_other == []


def test_members_without_an_automation_value_are_listed_when_the_call_reports(shop):
    class Foreign:
        pass

    # With its server registered, a Fore is an object of another server.
    component("other_models").copy(other_models.Fore())
    looping = []
    looping.append(looping)
    inner = Item(2, tags=[1, {"a": 1}], other=other_models.Fore())
    root = Item(1, "kept", tags={1, 2}, next=inner)
    root.amount = Foreign()
    root.when = looping
    shop.problems_notification = 1  # OnSubobjectProblem
    for call in (lambda: shop.copy(root), lambda: shop.stream_from_object(root)):
        with automation_error(601) as raised:
            call()
        details = "\n".join(raised.value.details)
        assert "Item.next.other: external object of class \"Fore\"" in details
        assert "Item.tags: its property get raised error 13" in details and "'set'" in details
        assert "Item.amount: its property get raised error 13" in details
        assert "'test_python_classes.test_members_without" in details  # the foreign type, qualified
        assert "Item.next.tags: its property get raised error 13" in details and "'dict'" in details
        assert "Item.when: its property get raised error 28" in details
    shop.problems_notification = 0  # SourceObjectOnly: the rest is copied
    copied = shop.copy(root)
    assert (copied.number, copied.name, copied.tags, copied.next.number) == (1, "kept", [], 2)
    assert copied.next.other is None and copied.next.tags == []
