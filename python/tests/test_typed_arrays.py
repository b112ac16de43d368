"""Python lists assigned to C++ members that hold arrays of one type."""

import decimal

import pytest

import replikon
from conftest import _needs_sample, automation_error


@pytest.fixture
def typed():
    _needs_sample()
    return replikon.create("TypedLib.Typed")


def test_lists_and_tuples_land_converted_element_by_element(typed):
    line = replikon.create("OrdersLib.Line")
    typed.Numbers = [1, "2", 3.0, True]
    typed.Names = ("a", 1, 2.5)
    typed.Ratios = [1, decimal.Decimal("2.5")]
    typed.Items = [line, None]
    typed.Longs = (7, 8)
    assert typed.Numbers == [1, 2, 3, -1] and all(type(n) is int for n in typed.Numbers)
    assert typed.Names == ["a", "1", "2.5"]
    assert typed.Ratios == [1.0, 2.5] and type(typed.Ratios[0]) is float
    assert typed.Items == [line, None]
    assert typed.Longs == [7, 8]
    typed.Numbers = []
    assert typed.Numbers == []


@pytest.mark.parametrize(
    "member, value, number, element, element_type",
    [
        ("Numbers", [1, "x", 3], 13, 1, "Long"),
        ("Numbers", [[1]], 13, 0, "Long"),
        ("Ratios", [1.5, "q"], 13, 1, "Double"),
        ("Items", [None, 3], 13, 1, "Object"),
        ("Longs", (1, "y"), 13, 1, "Long"),
        ("Longs", [1, 2**40], 6, 1, "Long"),
    ],
)
def test_a_list_that_does_not_convert_is_refused_whole_naming_the_member(
    typed, member, value, number, element, element_type
):
    setattr(typed, member, [] if member != "Numbers" else [5])
    before = getattr(typed, member)
    with automation_error(number) as raised:
        setattr(typed, member, value)
    assert raised.value.details[0] == (
        f"'{member}' of 'Typed' holds an array of {element_type}: "
        f"element {element} of the list does not convert"
    )
    assert getattr(typed, member) == before
