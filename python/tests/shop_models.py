"""Classes of the tests' Python object server (object_server_name = "shop_models")."""

import dataclasses
import datetime
import decimal
from typing import Optional

import replikon
from other_models import Fore  # marked, but defined in another module

made = []  # classes whose __init__ ran


@replikon.persistent
@dataclasses.dataclass
class Item:
    number: int = 0
    name: str = ""
    amount: decimal.Decimal = decimal.Decimal("0")
    when: datetime.datetime = datetime.datetime(2000, 1, 1)
    tags: list = dataclasses.field(default_factory=list)
    next: Optional["Item"] = None
    other: Optional["Item"] = None
    _cache: int = 0


@replikon.persistent
class Slotted:
    __slots__ = ("a", "b")

    def __init__(self):
        self.a = 1
        self.b = [1, 2]


@replikon.persistent
class Computed:
    def __init__(self):
        self._x = 1
        self.plain = "p"

    @property
    def x(self):
        return self._x

    @x.setter
    def x(self, value):
        self._x = value

    @property
    def doubled(self):
        return self._x * 2


class Fake:  # not marked
    def __init__(self):
        made.append("Fake")


def Func():  # a function, not a class
    made.append("Func")


__all__ = ["Item", "Slotted", "Computed", "Fake", "Func", "Fore"]
