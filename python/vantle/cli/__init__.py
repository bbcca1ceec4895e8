"""The ``vantle`` command line (``vantle = "vantle.cli:main"``).

    commands   arguments, the watch / probe / demo-camera commands and main()
    table      the live table of ``watch``, fed by each reader's stats()
    facts      what a stream is, as text, from stats()
    snapshots  ``watch --snapshot``: newest frames as PNG files
    common     one-line errors, opening readers, stop signals, the log console
"""

from vantle.cli.commands import build_parser, main

__all__ = ["build_parser", "main"]
