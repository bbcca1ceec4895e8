"""Summarizes the sanitizer reports that scripts/sanitize.sh collected; exits 1 on a finding in our code.

Every memory error, undefined behaviour and data race counts. A leak counts when its allocation
stack reaches a frame of vantle (libvantle.so or our sources) before any module import: objects
that an imported module's own code creates belong to that module. Leaks that only the
interpreter or the libraries below us keep until exit are listed by origin without failing.

    python3 scripts/sanitizers/summarize_reports.py REPORT_DIR
"""

import collections
import pathlib
import re
import sys

FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+(?: in (?P<function>\S+))?(?P<rest>.*)$")
OURS = re.compile(r"libvantle\.so|/src/(?:logger|utils|loop_host|feed_contract|builders|live_feed)/|vantle::")


def frames(block):
    for line in block.splitlines():
        match = FRAME.match(line)
        if match:
            yield match.group("function") or "", match.group("rest")


def allocated_by_us(block):
    for function, rest in frames(block):
        if function.startswith("PyImport_"):
            return False
        if OURS.search(function + rest):
            return True
    return False


def origin(block, depth=6):
    """A short allocation stack, naming the library where a frame has no symbol."""
    names = []
    for function, rest in list(frames(block))[1 : depth + 1]:
        library = re.search(r"\(([^)+]+)\+0x", rest)
        names.append(function or f"[{pathlib.Path(library.group(1)).name if library else '?'}]")
    return " < ".join(names)


def main(report_dir):
    findings, foreign_leaks = [], collections.Counter()
    for path in sorted(pathlib.Path(report_dir).iterdir()):
        text = path.read_text(errors="replace")
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of|==\d+==ERROR|WARNING: ThreadSanitizer|\S+:\d+:\d+: runtime error)", text):
            if re.match(r"(Direct|Indirect) leak of", block):
                if allocated_by_us(block):
                    findings.append((path.name, block))
                else:
                    foreign_leaks[origin(block)] += 1
            elif re.match(r"==\d+==ERROR: AddressSanitizer|WARNING: ThreadSanitizer|\S+:\d+:\d+: runtime error", block):
                findings.append((path.name, block))

    if foreign_leaks:
        print(f"Leaks kept until exit outside vantle, by allocation stack ({sum(foreign_leaks.values())}):")
        for stack, count in foreign_leaks.most_common():
            print(f"  {count:4d}  {stack}")
    for name, block in findings:
        print(f"=== {name}\n{block.strip()}\n")
    print(f"{len(findings)} finding(s) in vantle's code." if findings else "No finding in vantle's code.")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
