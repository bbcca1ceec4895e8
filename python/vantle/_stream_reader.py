"""The abstract stream reader, published as vantle.feed_contract.StreamReader.

It is plain Python so that Python readers subclass it with abc semantics and native readers
register with it. Its latency limits are defined natively: vantle.feed_contract passes them in
when it makes the class.
"""

import abc
import types
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vantle.feed_contract import FRAME, Event, StreamStatus


def stream_reader_class(latency_limits: Mapping[str, int]) -> type:
    """Makes StreamReader, with the limits in ``latency_limits`` (name to milliseconds, the unit of
    the RTSP source's latency): DEFAULT, REHOSTED, MAXIMUM and MINIMUM."""

    class StreamReader(abc.ABC):
        """An object that is capable of reading frames from a video stream."""

        # Callers (and pickle) know it by its public home.
        __module__ = "vantle.feed_contract"
        __qualname__ = "StreamReader"

        DEFAULT_LATENCY = latency_limits["DEFAULT"]
        REHOSTED_LATENCY = latency_limits["REHOSTED"]
        MAXIMUM_LATENCY = latency_limits["MAXIMUM"]
        # Callers still use the misspelled "MIMIMUM".
        MINIMUM_LATENCY = MIMIMUM_LATENCY = latency_limits["MINIMUM"]

        @property
        @abc.abstractmethod
        def status(self) -> "StreamStatus":
            """The stream reader's current status"""
            raise NotImplementedError

        @property
        @abc.abstractmethod
        def latest_frame(self) -> "FRAME":
            """The receive time and the newest frame, or None if no frame has been received yet."""
            raise NotImplementedError

        @property
        @abc.abstractmethod
        def new_frame_event(self) -> "Event":
            """An Event that is set whenever a new frame is available."""
            raise NotImplementedError

        @property
        @abc.abstractmethod
        def new_status_event(self) -> "Event":
            """An Event that is set whenever the reader's status changes."""
            raise NotImplementedError

        @abc.abstractmethod
        def set_runtime_option_vals(self, runtime_options: Mapping[str, Any]) -> None:
            """Sets the runtime options for this stream reader."""
            raise NotImplementedError

        @abc.abstractmethod
        def close(self) -> None:
            """Sends a close request to the stream reader."""
            raise NotImplementedError

        @abc.abstractmethod
        def wait_until_closed(self) -> None:
            """Blocks until the stream reader is done closing."""
            raise NotImplementedError

    # Its methods belong to its public home too, as help() and the stub generator read them.
    for member in vars(StreamReader).values():
        function = getattr(member, "fget", member)
        if isinstance(function, types.FunctionType):
            function.__module__ = StreamReader.__module__
    return StreamReader
