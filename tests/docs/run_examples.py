#!/usr/bin/python3
"""Runs the command examples of one page of the documentation, as a reader would.

Usage: run_examples.py SOURCE_DIR BUILD_DIR PAGE.md
       run_examples.py --self-test BUILD_DIR

Every fenced block of the page names its language. Each ```sh block runs on its own in bash
(-e, pipefail) from a scratch folder that holds `build`, `tests`, `contrib` and `bench` as links
into the tree, so that the page's `build/mdmsim ...` lines work as written, with a scratch
platform root (MDM_ROOT), HOME and TMPDIR, the build's programs and then Debian's first on
PATH, and no display.
A block fails on a non-zero status or when it runs past its time. Whatever it started in the
background is stopped when it ends. The ports 7000 to 7099 of the examples are moved to a free
range, since other tests and other users of this machine may hold them.

A block that a test cannot run (it needs a real modem, root, or a package installed) is marked
by a line `<!-- not tested: REASON -->` just before its fence, and is skipped.
"""

import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BLOCK_SECONDS = 75
MARK = re.compile(r"^<!-- not tested: .+ -->$")
EXAMPLE_PORT = re.compile(r"\b70(\d\d)\b")


class Block:
    def __init__(self, line, language, text, marked):
        self.line, self.language, self.text, self.marked = line, language, text, marked


def read_blocks(page):
    """The page's fenced blocks; a ValueError names a fence without a language or left open."""
    blocks, lines = [], open(page, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        if not lines[i].startswith("```"):
            i += 1
            continue
        language, start = lines[i][3:].strip(), i
        if not language:
            raise ValueError(f"{page}:{i + 1}: a fence without a language (sh, text, yaml, ...)")
        previous = next((l for l in reversed(lines[:i]) if l.strip()), "")
        i += 1
        body = []
        while i < len(lines) and not lines[i].startswith("```"):
            body.append(lines[i])
            i += 1
        if i == len(lines):
            raise ValueError(f"{page}:{start + 1}: a fence that is never closed")
        blocks.append(Block(start + 1, language, "\n".join(body) + "\n", bool(MARK.match(previous))))
        i += 1
    return blocks


def free_port_base():
    """A base of ten ports on 127.0.0.1 that nobody listens on now."""
    for _ in range(50):
        base = random.randrange(20000, 60000, 100)
        try:
            for port in range(base, base + 10):
                with socket.socket() as s:
                    s.bind(("127.0.0.1", port))
            return base
        except OSError:
            continue
    raise RuntimeError("no free ports found")


def stop_group(group):
    """Stops every process of the block's group: SIGTERM, then SIGKILL after 10 s."""
    for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
        try:
            os.killpg(group, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            try:
                os.killpg(group, 0)
            except ProcessLookupError:
                return
            time.sleep(0.1)


def scratch_for(source, build, folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name in ("tests", "contrib", "bench"):
        if os.path.isdir(os.path.join(source, name)):
            os.symlink(os.path.join(source, name), os.path.join(folder, name))
    os.symlink(build, os.path.join(folder, "build"))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "MDM_DEBUG")}
    for name, key in (("root", "MDM_ROOT"), ("home", "HOME"), ("tmp", "TMPDIR")):
        os.makedirs(os.path.join(folder, name))
        env[key] = os.path.join(folder, name)
    # The examples are a Debian user's: its python3 (with pyserial) before any other.
    env["PATH"] = os.pathsep.join([build, "/usr/bin", "/bin", env.get("PATH", "")])
    return env


def run_block(text, folder, env, seconds=BLOCK_SECONDS):
    """(status, output) of the block; status None when it ran past its time."""
    base = free_port_base()
    script = EXAMPLE_PORT.sub(lambda m: str(base + int(m.group(1))), text)
    with open(os.path.join(folder, "output.txt"), "w+") as output:
        process = subprocess.Popen(["bash", "-e", "-o", "pipefail", "-c", script], cwd=folder,
                                   env=env, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        try:
            status = process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            status = None
        stop_group(process.pid)
        process.wait()
        output.seek(0)
        return status, output.read()


def run_page(source, build, page):
    blocks = read_blocks(page)
    name = os.path.relpath(page, source)
    scratch = os.path.join(build, "tests", "docs", "scratch", name.replace("/", "_"))
    failures = 0
    for block in blocks:
        if block.language != "sh":
            continue
        where = f"{name}:{block.line}"
        if block.marked:
            print(f"{where}: not tested (marked)")
            continue
        started = time.monotonic()
        folder = os.path.join(scratch, str(block.line))
        status, output = run_block(block.text, folder, scratch_for(source, build, folder))
        took = time.monotonic() - started
        if status == 0:
            print(f"{where}: ok in {took:.1f} s")
            shutil.rmtree(folder, ignore_errors=True)
            continue
        failures += 1
        verdict = f"ran past {BLOCK_SECONDS} s" if status is None else f"exit {status}"
        print(f"{where}: FAILED ({verdict}) in {took:.1f} s; scratch kept in {folder}")
        print("--- the block\n" + block.text + "--- its output (last 40 lines)")
        print("\n".join(output.rstrip("\n").split("\n")[-40:]))
    return failures


def self_test(build):
    """The runner itself: a failing block fails, a marked one is skipped, a fence without a
    language is refused, and what a block leaves in the background is stopped."""
    with tempfile.TemporaryDirectory(dir=build) as work:
        page = os.path.join(work, "page.md")
        with open(page, "w") as f:
            f.write("```sh\ntrue\n```\n\n<!-- not tested: needs a modem -->\n```sh\nfalse\n```\n"
                    "\n```sh\nsleep 300 &\necho $! > pid\nexit 3\n```\n")
        blocks = read_blocks(page)
        assert [b.marked for b in blocks] == [False, True, False], "the mark is read"
        folder = os.path.join(work, "s")
        env = scratch_for(work, build, folder)
        assert run_block(blocks[0].text, folder, env)[0] == 0
        assert run_block(blocks[2].text, folder, env)[0] == 3, "a failing block fails"
        pid = int(open(os.path.join(folder, "pid")).read())
        assert not os.path.exists(f"/proc/{pid}"), "the background process is stopped"
        assert run_block("sleep 30\n", folder, env, seconds=1)[0] is None, "the bound holds"
        moved = run_block("echo 7000 7099 70000\n", folder, env)[1].split()
        assert moved[0] != "7000" and int(moved[1]) == int(moved[0]) + 99 and moved[2] == "70000"
        with open(page, "w") as f:
            f.write("```\nls\n```\n")
        try:
            read_blocks(page)
            raise AssertionError("a fence without a language is refused")
        except ValueError:
            pass
    print("self-test ok")
    return 0


def main(argv):
    if len(argv) == 3 and argv[1] == "--self-test":
        return self_test(os.path.abspath(argv[2]))
    if len(argv) != 4:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    source, build, page = (os.path.abspath(a) for a in argv[1:])
    try:
        failures = run_page(source, build, page)
    except ValueError as error:
        print(error)
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
