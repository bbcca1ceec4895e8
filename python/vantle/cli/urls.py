"""Where ``watch`` and ``probe`` take their stream URLs from.

A URL's password on the command line is visible to every user of the machine (``ps``,
/proc/<pid>/cmdline), so URLs can also come from a file (``--urls-file PATH``, or ``-`` for
standard input) or from the environment variable VANTLE_URLS, which only the process's own user
can read.
"""

import os
import sys

from vantle.cli.common import CommandError

URLS_ENV = "VANTLE_URLS"


def parse_urls(text):
    """The URLs of ``text``: one per line, blank lines and lines starting with '#' left out. A '#'
    later in a line belongs to the URL (a password may contain one)."""
    lines = (line.strip() for line in text.splitlines())
    return [line for line in lines if line and not line.startswith("#")]


def read_urls_file(path):
    try:
        if path == "-":
            text = sys.stdin.read()
        else:
            with open(path, encoding="utf-8") as file:
                text = file.read()
    except OSError as error:
        raise CommandError(f"cannot read URLs from {path}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise CommandError(f"cannot read URLs from {path}: not UTF-8 text") from None
    urls = parse_urls(text)
    if not urls:
        raise CommandError(f"no URL in {'standard input' if path == '-' else path}")
    return urls


def stream_urls(given, urls_file):
    """The URLs given on the command line, then those of ``urls_file``; with neither, those of
    $VANTLE_URLS (separated by whitespace or newlines, '#' lines left out); else []."""
    urls = list(given)
    if urls_file is not None:
        urls += read_urls_file(urls_file)
    if not urls:
        urls = [url for line in parse_urls(os.environ.get(URLS_ENV, "")) for url in line.split()]
    return urls
