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

from ._replikon import (
    AutomationError,
    Object,
    RecursionCheckEvent,
    Replikon,
    __version__,
    class_name,
    create,
)

__all__ = [
    "AutomationError",
    "Object",
    "RecursionCheckEvent",
    "Replikon",
    "class_name",
    "create",
]
