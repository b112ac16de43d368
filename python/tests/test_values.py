import datetime
import decimal

import pytest

import replikon
from conftest import automation_error

D = decimal.Decimal


def test_values_keep_their_python_value_through_a_variant_member_and_a_stream(control):
    invoice = replikon.create("OrdersLib.Invoice")
    values = [
        True, False, 0, -(2**31), 2**31 - 1,
        2**31,  # wider than 32 bits: a Decimal, equal to the int
        -(2**63) - 5, 2**96 - 1, 1.5, -0.0, "", "žluťoučký kůň 🐍", b"\x00\x01\xff",
        datetime.datetime(2024, 2, 29, 13, 45, 30), datetime.datetime(1899, 12, 29, 6, 0),
        datetime.datetime(1, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 59),
        datetime.datetime(2001, 1, 1, 23, 59, 59, 999990),
        datetime.datetime(1800, 6, 1, 12, 30, 0, 1000),
        D("123.4500"), D("-0.0000000000000000000000000001"), D("79228162514264337593543950335"),
        D("1.5E-20"), D("-7.25E+3"),
        D("0E-40"),  # zero with more decimals than a Decimal holds
        None,
    ]
    for value in values:
        invoice.Memo = value
        got = invoice.Memo
        again = control.object_from_stream(control.stream_from_object(invoice)).Memo
        for result in (got, again):
            assert result == value, (value, result)
            if isinstance(value, int) and not isinstance(value, bool) and -(2**31) <= value < 2**31:
                assert type(result) is int
            elif isinstance(value, int) and not isinstance(value, bool):
                assert type(result) is D
            elif value is not None:
                assert type(result) is type(value), (value, result)


def test_date_becomes_midnight_and_decimal_keeps_its_scale(control):
    invoice = replikon.create("OrdersLib.Invoice")
    invoice.Memo = datetime.date(2020, 5, 17)
    assert invoice.Memo == datetime.datetime(2020, 5, 17)
    invoice.Memo = D("1.10")
    assert str(invoice.Memo) == "1.10"
    invoice.Memo = D("1E+5")
    assert invoice.Memo == 100000
    invoice.Memo = D("-0.00")
    assert str(invoice.Memo) == "0.00"  # a Decimal's zero has no sign
    invoice.Memo = datetime.datetime(2001, 1, 1, 0, 0, 0, 250000)
    assert invoice.Memo == datetime.datetime(2001, 1, 1, 0, 0, 0, 250000)


def test_lists_and_tuples_become_lists_nested_and_mixed(control):
    invoice = replikon.create("OrdersLib.Invoice")
    line = replikon.create("OrdersLib.Line")
    invoice.Memo = [1, "two", (3.0, [None, True]), [], D("4.5"), line]
    for memo in (invoice.Memo, control.copy(invoice).Memo):
        assert memo[:5] == [1, "two", [3.0, [None, True]], [], D("4.5")]
        assert replikon.class_name(memo[5]) == "Line"
    assert invoice.Memo[5] == line


def test_typed_members_convert_on_assignment(invoice):
    invoice.Number = 7
    invoice.Series = True  # a Boolean as a number is -1
    assert (invoice.Number, invoice.Series) == (7, -1)
    invoice.Shipping = D("12.3456")
    assert invoice.Shipping == D("12.3456") and type(invoice.Shipping) is D
    invoice.Quantities = [1, 2, 3]
    assert invoice.Quantities == [1, 2, 3]
    invoice.Signature = bytearray(b"sig")
    assert invoice.Signature == b"sig"
    invoice.Issued = datetime.date(2021, 3, 4)
    assert invoice.Issued == datetime.datetime(2021, 3, 4)
    with automation_error(13):
        invoice.Number = "not a number"
    with automation_error(6):
        invoice.Number = 2**40


def test_values_without_an_automation_type_are_refused(invoice):
    for value, number, word in [
        ({1, 2}, 13, "set"),
        (object(), 13, "object"),
        (2**96, 6, "int"),
        (D("NaN"), 6, "Decimal"),
        (D("1E-29"), 6, "Decimal"),
        (D("-Infinity"), 6, "Decimal"),
        (D("1E+29"), 6, "Decimal"),
        (datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc), 13, "time zone"),
    ]:
        with automation_error(number) as raised:
            invoice.Memo = value
        assert any(word in line for line in raised.value.details), raised.value.details


def test_objects_by_reference_and_none_as_a_null_reference(invoice):
    client = replikon.create("OrdersLib.Client")
    invoice.Buyer = client
    assert invoice.Buyer == client and hash(invoice.Buyer) == hash(client)
    invoice.Buyer = None
    assert invoice.Buyer is None
    invoice.Memo = client
    assert invoice.Memo == client
    invoice.Memo = None  # held an object: now a null reference
    assert invoice.Memo is None


def test_members_by_name(invoice):
    assert "Number" in dir(invoice) and "_Default" not in dir(invoice)
    assert repr(invoice) == "<replikon.Object Invoice>"
    line = replikon.create("OrdersLib.Line")
    count = invoice.LineCount
    assert invoice.AddLine(line) == count + 1
    assert invoice.Note(9) == ""
    assert invoice.Summary().startswith("Invoice 1001")
    assert not hasattr(invoice, "NoSuchMember")
    with pytest.raises(AttributeError):
        invoice.NoSuchMember = 1
    with pytest.raises(AttributeError):
        invoice.Total = 3  # read-only
    with automation_error(380):
        line.Quantity = -1  # the class's own check
