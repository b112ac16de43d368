import datetime
import decimal

import orders_py
import replikon
from conftest import component


def test_streams_pass_between_the_sample_server_and_python_classes(control):
    python = component("orders_py")
    node = replikon.create("OrdersLib.Node")
    node.Number, node.Name, node.Amount = 5, "five", decimal.Decimal("1.5")
    node.When, node.Ratio, node.Flag = datetime.datetime(2020, 1, 2, 3, 4, 5), 0.5, True
    node.Values = list(range(1, 9))
    node.Left = replikon.create("OrdersLib.Node")
    node.Left.Number = 6

    mine = python.object_from_stream(control.stream_from_object(node))
    assert type(mine) is orders_py.Node and type(mine.Left) is orders_py.Node
    assert (mine.Number, mine.Name, mine.Amount, mine.Ratio, mine.Flag) == (5, "five", 1.5, 0.5, True)
    assert (mine.When, mine.Values, mine.Left.Number, mine.Right) == (node.When, node.Values, 6, None)

    mine.Name, mine.Left.Number = "changed", 7
    back = control.object_from_stream(python.stream_from_object(mine))
    assert replikon.class_name(back) == "Node"
    assert (back.Number, back.Name, back.Amount, back.When) == (5, "changed", 1.5, node.When)
    assert (back.Ratio, back.Flag, back.Left.Number, back.Right) == (0.5, True, 7, None)
