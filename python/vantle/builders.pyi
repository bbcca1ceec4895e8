import logging
from typing import Callable, Dict

from gi.repository import Gst

from vantle.utils.gstreamer import Pipeline

_BGR_CAPS: str
_BGRA_CAPS: str
_BGRX_CAPS: str
_FRAMERATE_LIMIT: int
_APPSINK_PROPERTIES: Dict[str, object]

_ON_NEW_SAMPLE = Callable[[Gst.Element], Gst.FlowReturn]
_PIPELINE_WATCHER = Callable[[Gst.Bus, Gst.Message, Pipeline], bool]
_BUFFER_PROBE = Callable[[Gst.Pad, Gst.PadProbeInfo], Gst.PadProbeReturn]

class PipelineFactory:
    def __init__(self, url: str, max_framerate: int) -> None: ...
    def build(self) -> Pipeline: ...
    @property
    def _url(self) -> str: ...
    @property
    def _max_framerate(self) -> int: ...
    @property
    def _logger(self) -> logging.Logger: ...
    def _set_up_decoder(self, element: Gst.Element, pad: Gst.Pad, pipeline: Pipeline) -> None: ...
    def _set_up_appsink(self, target: Gst.Element, pad: Gst.Pad, pipeline: Pipeline) -> None: ...
    def _limit_framerate(self, pipeline: Pipeline, target: Gst.Element, target_pad: Gst.Pad) -> Gst.Element: ...

class _CallbackFields:
    @property
    def _on_new_sample(self) -> _ON_NEW_SAMPLE: ...
    @property
    def _pipeline_watcher(self) -> _PIPELINE_WATCHER: ...
    @property
    def _buffer_probe(self) -> _BUFFER_PROBE: ...

class RTSPPipelineFactory(PipelineFactory, _CallbackFields):
    def __init__(
        self,
        *,
        url: str,
        latency: int,
        on_new_sample: _ON_NEW_SAMPLE,
        pipeline_watcher: _PIPELINE_WATCHER,
        buffer_probe: _BUFFER_PROBE,
        force_tcp: bool,
    ) -> None: ...
    @property
    def _latency(self) -> int: ...
    @property
    def _force_tcp(self) -> bool: ...
    def _set_up_depayloader(self, _element: Gst.Element, pad: Gst.Pad, pipeline: Pipeline) -> None: ...

class HTTPPipelineFactory(PipelineFactory, _CallbackFields):
    def __init__(
        self, *, url: str, on_new_sample: _ON_NEW_SAMPLE, pipeline_watcher: _PIPELINE_WATCHER, buffer_probe: _BUFFER_PROBE
    ) -> None: ...

class CustomPipelineFactory(PipelineFactory, _CallbackFields):
    def __init__(
        self,
        pipeline_str: str,
        *,
        url: str,
        on_new_sample: _ON_NEW_SAMPLE,
        pipeline_watcher: _PIPELINE_WATCHER,
        buffer_probe: _BUFFER_PROBE,
    ) -> None: ...
    @property
    def _pipeline_str(self) -> str: ...

