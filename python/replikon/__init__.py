"""Deep copies and Streams of late-bound automation objects.

    import replikon

    control = replikon.Replikon()
    control.object_server_name = "OrdersLib"
    invoice = replikon.create("OrdersLib.Invoice")
    invoice.Number = 1001
    stream = control.stream_from_object(invoice)     # bytes
    again = control.object_from_stream(stream)
    assert again.Number == 1001

Errors are raised as replikon.AutomationError (number, description, help_file,
help_context, source, details).
"""

import atexit as _atexit

from ._replikon import (
    AutomationError,
    Object,
    RecursionCheckEvent,
    Replikon,
    __version__,
    class_name,
    create,
)

from ._replikon import _unregister_python_servers


def persistent(cls):
    """Marks a class whose objects the component may make and fill.

    With object_server_name naming an imported module, the component makes
    and reads the classes defined in that module that carry this mark, and no
    others. Their members are the dataclass fields, __slots__, properties (a
    setter makes them writable) and the attributes a new instance has after
    __init__ (which must take no arguments); names beginning with "_" are left
    out.
    """
    if not isinstance(cls, type):
        raise TypeError("replikon.persistent marks classes")
    cls.__replikon_persistent__ = True
    return cls


# The registered Python classes go before the interpreter does.
_atexit.register(_unregister_python_servers)

__all__ = [
    "AutomationError",
    "Object",
    "RecursionCheckEvent",
    "Replikon",
    "class_name",
    "create",
    "persistent",
]
