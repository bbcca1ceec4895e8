"""The live web page of ``vantle watch --web``: one tile per stream, and JSON and JPEG endpoints.

    from vantle.web import serve

    server = serve({0: feed0, 1: feed1})      # 127.0.0.1, a free port
    print(server.url)
    ...
    server.close()

JPEG encoding needs the optional ``web`` extra (simplejpeg).
"""

from vantle.web.server import WebServer, serve
from vantle.web.streams import JpegUnavailable

__all__ = ["JpegUnavailable", "WebServer", "serve"]
