"""The abstract stream reader, published as vantle.feed_contract.StreamReader.

It is plain Python so that Python readers subclass it with abc semantics and native readers
register with it; the extension module adds the latency constants, which it defines natively.
"""

from __future__ import annotations

import abc
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, ClassVar

if TYPE_CHECKING:
    from vantle.feed_contract import FRAME, Event, StreamStatus


class StreamReader(abc.ABC):
    """An object that is capable of reading frames from a video stream."""

    # Latency limits in milliseconds, set by vantle.feed_contract from its native constants.
    DEFAULT_LATENCY: ClassVar[int]
    REHOSTED_LATENCY: ClassVar[int]
    MAXIMUM_LATENCY: ClassVar[int]
    MIMIMUM_LATENCY: ClassVar[int]
    MINIMUM_LATENCY: ClassVar[int]

    @property
    @abc.abstractmethod
    def status(self) -> StreamStatus:
        """The stream reader's current status"""
        raise NotImplementedError

    @property
    @abc.abstractmethod
    def latest_frame(self) -> FRAME:
        """The receive time and the newest frame, or None if no frame has been received yet."""
        raise NotImplementedError

    @property
    @abc.abstractmethod
    def new_frame_event(self) -> Event:
        """An Event that is set whenever a new frame is available."""
        raise NotImplementedError

    @property
    @abc.abstractmethod
    def new_status_event(self) -> Event:
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


# Callers (and pickle) know it by its public home.
StreamReader.__module__ = "vantle.feed_contract"
