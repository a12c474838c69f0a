#!/usr/bin/env python3
"""Runs the outside tools (ffmpeg, ImageMagick, sox, netpbm) for the Windows
build of the tests, which runs under Wine and cannot start Linux programs
(tests/oracle_shell.h is the other side).

   oracle-bridge.py FOLDER WINEPREFIX

A test writes NAME.cmd into FOLDER: the Windows folder to run in on the first
line, then a shell command. The command's Windows file names (drive letter,
backslashes) become Linux ones through the prefix's drive links; it runs
with /bin/sh, its standard output goes to NAME.out and its exit status to
NAME.rc (written last, by renaming). FOLDER/ready exists while this runs.
"""
import concurrent.futures
import os
import re
import signal
import subprocess
import sys
import time

folder, prefix = sys.argv[1], sys.argv[2]
drives = {}


def drive_root(letter):
    letter = letter.lower()
    if letter not in drives:
        link = os.path.join(prefix, "dosdevices", letter + ":")
        drives[letter] = os.path.realpath(link) if os.path.exists(link) else None
    return drives[letter]


def unix_name(letter, rest):
    root = drive_root(letter)
    if root is None:
        return None
    rest = rest.replace("\\", "/")
    return root.rstrip("/") + "/" + rest.lstrip("/")


# A drive letter not glued to a word (ImageMagick's "png:Z:\x" is a name, its
# "ppm:/x" is not), then the name up to its closing quote or the word's end.
QUOTED = re.compile(r"""(['"])([A-Za-z]):[\\/]([^'"]*)\1""")
BARE = re.compile(r"""(?<![A-Za-z0-9])([A-Za-z]):[\\/]([^\s'"|;&<>()]*)""")


def translate(cmd):
    def quoted(m):
        u = unix_name(m.group(2), m.group(3))
        return m.group(0) if u is None else m.group(1) + u + m.group(1)

    def bare(m):
        u = unix_name(m.group(1), m.group(2))
        return m.group(0) if u is None else u

    return BARE.sub(bare, QUOTED.sub(quoted, cmd))


def run(base):
    with open(base + ".job", "rb") as f:
        text = f.read().decode("latin-1")
    os.unlink(base + ".job")
    cwd, _, cmd = text.partition("\n")
    cwd = translate(cwd.strip())
    if not os.path.isdir(cwd):
        cwd = "/"
    cmd = translate(cmd)
    try:
        with open(base + ".out", "wb") as out:
            status = subprocess.run(["/bin/sh", "-c", cmd], cwd=cwd, stdin=subprocess.DEVNULL,
                                    stdout=out, timeout=900).returncode
    except subprocess.TimeoutExpired:
        status = 124
    if status < 0:  # killed by a signal: as the shell reports it
        status = 128 - status
    with open(base + ".rtmp", "w") as f:
        f.write(str(status))
    os.rename(base + ".rtmp", base + ".rc")


def main():
    os.makedirs(folder, exist_ok=True)
    ready = os.path.join(folder, "ready")
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    open(ready, "w").close()
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            while not stop:
                names = [n for n in os.listdir(folder) if n.endswith(".cmd")]
                for n in names:
                    # Taken once: renamed before it is run.
                    base = os.path.join(folder, n[:-4])
                    os.rename(base + ".cmd", base + ".job")
                    pool.submit(run, base)
                time.sleep(0.005 if names else 0.02)
    finally:
        os.unlink(ready)


main()
