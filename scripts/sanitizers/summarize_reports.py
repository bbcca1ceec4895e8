"""Summarizes the sanitizer reports that scripts/sanitize.sh collected; exits 1 on a finding in our code.

Every memory error and undefined behaviour counts, and every data race on our memory or
between two accesses of our code (see race_on_our_side). A leak counts when its allocation
stack reaches a frame of vantle (libvantle.so or our sources) before any module import: objects
that an imported module's own code creates belong to that module. Leaks that only the
interpreter or the libraries below us keep until exit are listed by origin without failing.

    python3 scripts/sanitizers/summarize_reports.py REPORT_DIR
"""

import collections
import pathlib
import re
import sys

# "#1 0x7f.. in function file:line (module+0x..)" (AddressSanitizer) or "#1 function file:line
# (module+0x..)" (ThreadSanitizer); a frame without symbol has only "(module+0x..)".
FRAME = re.compile(r"^\s*#\d+ (?:0x[0-9a-f]+ )?(?:in )?(?P<function>[^\s(][^\s]*)?(?P<rest>.*)$")
OURS = re.compile(r"libvantle\.so|/src/(?:logger|utils|loop_host|feed_contract|builders|live_feed)/|vantle::")


def frames(block):
    for line in block.splitlines():
        match = FRAME.match(line)
        if match:
            yield match.group("function") or "", match.group("rest")


def allocated_by_us(block):
    parsing_caps = False
    for function, rest in frames(block):
        if function.startswith("PyImport_"):
            return False
        # The launch-string parser leaks the half-built list of caps it could not parse (GStreamer
        # 1.22, "format={ BGR,"). Caps it did parse belong to the elements it made, so a pipeline of
        # ours that leaks is still reported through those elements.
        if function == "gst_caps_from_string":
            parsing_caps = True
        elif parsing_caps and function.startswith("gst_parse_launch"):
            return False
        if OURS.search(function + rest):
            return True
    return False


ALLOCATORS = re.compile(r"^(?:malloc|calloc|realloc|posix_memalign|memalign|aligned_alloc|operator)$")


def race_on_our_side(block):
    """A data race counts when the memory is ours (our code allocated it, or it is a global of
    ours) or when both accesses are made by our code; lock-order inversions and mutex misuse
    count when our code itself takes the mutex. GLib and GStreamer hand their own memory over through futexes
    that the sanitizer cannot see, so those hand-overs read as races and are left out, and so
    are races against the allocation itself (data published through GLib's registration calls)."""
    sections = re.split(r"\n(?=  \S)", block)

    def top_is_ours(section, skip_allocators=False):
        for function, rest in frames(section):
            if skip_allocators and ALLOCATORS.match(function):
                continue
            return bool(OURS.search(function + rest))
        return False

    if "data race" not in block.splitlines()[0]:
        # Lock-order inversions and mutex misuse: ours when our code takes or frees the mutex.
        for section in sections:
            callers = [(f, r) for f, r in frames(section) if not re.match(r"pthread_|__interceptor|__tsan", f)]
            if callers and OURS.search(callers[0][0] + callers[0][1]):
                return True
        return False
    accesses = [s for s in sections if re.match(r"\s*(?:Previous )?(?:[Aa]tomic )?(?:[Rr]ead|[Ww]rite) of", s)]
    # The other access being the allocation itself means the memory was handed to the reading
    # thread right after it was made: we hand callback data over by registering it with GLib or
    # GStreamer (signals, probes, bus watches), whose locks the sanitizer cannot see.
    if any(ALLOCATORS.match(next(frames(s), ("", ""))[0]) for s in accesses):
        return False
    # Likewise when the other access initialized the memory inside the call that allocated it.
    def frame_texts(section):
        return [(function + re.sub(r"\s*\([^()]*\+0x[0-9a-f]+\)\s*$", "", rest)).strip() for function, rest in frames(section)]
    for section in sections:
        if section.lstrip().startswith("Location is heap block"):
            site = next((text for text in frame_texts(section) if not ALLOCATORS.match(text.split(" ")[0])), None)
            if site and any(site in frame_texts(s) for s in accesses):
                return False
    for section in sections:
        head = section.lstrip()
        if head.startswith("Location is heap block") and top_is_ours(section, skip_allocators=True):
            return True
        if head.startswith("Location is global") and "libvantle.so" in head.splitlines()[0]:
            return True
    return len(accesses) >= 2 and all(top_is_ours(s) for s in accesses[:2])


def origin(block, depth=6):
    """A short allocation stack, naming the library where a frame has no symbol."""
    names = []
    for function, rest in list(frames(block))[1 : depth + 1]:
        library = re.search(r"\(([^)+]+)\+0x", rest)
        if function in ("", "<null>"):
            function = f"[{pathlib.Path(library.group(1)).name if library else '?'}]"
        names.append(function)
    return " < ".join(names)


def main(report_dir):
    findings, foreign_leaks, foreign_races = [], collections.Counter(), collections.Counter()
    for path in sorted(pathlib.Path(report_dir).iterdir()):
        text = path.read_text(errors="replace")
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of|==\d+==ERROR|WARNING: ThreadSanitizer|\S+:\d+:\d+: runtime error)", text):
            if re.match(r"(Direct|Indirect) leak of", block):
                if allocated_by_us(block):
                    findings.append((path.name, block))
                else:
                    foreign_leaks[origin(block)] += 1
            elif re.match(r"WARNING: ThreadSanitizer", block):
                block = block.split("\nSUMMARY:")[0] + "\n" + "".join(re.findall(r"\nSUMMARY:[^\n]*", block))
                if race_on_our_side(block):
                    findings.append((path.name, block))
                else:
                    foreign_races[re.sub(r"0x[0-9a-f]+|\(pid=\d+\)", "", block.splitlines()[0]) + ": " + origin(block, 4)] += 1
            elif re.match(r"==\d+==ERROR: AddressSanitizer|\S+:\d+:\d+: runtime error", block):
                findings.append((path.name, block))

    if foreign_leaks:
        print(f"Leaks kept until exit outside vantle, by allocation stack ({sum(foreign_leaks.values())}):")
        for stack, count in foreign_leaks.most_common():
            print(f"  {count:4d}  {stack}")
    if foreign_races:
        print(f"Thread reports outside vantle's memory and code ({sum(foreign_races.values())}):")
        for stack, count in foreign_races.most_common(30):
            print(f"  {count:4d}  {stack}")
    for name, block in findings:
        print(f"=== {name}\n{block.strip()}\n")
    print(f"{len(findings)} finding(s) in vantle's code." if findings else "No finding in vantle's code.")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
