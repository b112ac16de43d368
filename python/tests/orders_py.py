"""Python classes with the names and members of the sample server's Node."""

import dataclasses
import datetime
import decimal
from typing import Optional

import replikon


@replikon.persistent
@dataclasses.dataclass
class Node:
    Number: int = 0
    Name: str = ""
    Amount: decimal.Decimal = decimal.Decimal(0)
    When: datetime.datetime = datetime.datetime(1899, 12, 30)
    Ratio: float = 0.0
    Flag: bool = False
    Values: list = dataclasses.field(default_factory=lambda: [0] * 8)
    Left: Optional["Node"] = None
    Right: Optional["Node"] = None
