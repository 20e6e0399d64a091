"""Drives a program on a pseudo-terminal the way a person at a keyboard would.

    pty_drive.py EXPECT1 SEND1 [EXPECT2 SEND2 ...] -- PROGRAM ARGS...

Waits for each EXPECT text on the terminal, then types its SEND text ("\\n" and "\\x03" are
understood); a SEND such as "!SIGTERM" sends that signal to the program instead. When the
program has ended it prints what the terminal showed, then a last line "ECHO=on" or "ECHO=off"
telling whether the terminal still echoes, and exits with the program's status (128 + signal
when a signal ended it). Gives up after 30 seconds.
"""
import os
import pty
import select
import signal
import sys
import termios
import time


def main():
    split = sys.argv.index("--")
    steps = sys.argv[1:split]
    argv = sys.argv[split + 1:]
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(argv[0], argv)
    shown = b""
    deadline = time.monotonic() + 30
    pairs = [(steps[i].encode(), steps[i + 1].encode().decode("unicode_escape").encode())
             for i in range(0, len(steps), 2)]
    status = None
    while time.monotonic() < deadline:
        if pairs and pairs[0][0] in shown:
            time.sleep(0.2)
            send = pairs.pop(0)[1]
            if send.startswith(b"!SIG"):
                os.kill(pid, getattr(signal, send[1:].decode()))
            else:
                os.write(fd, send)
            shown = shown.replace(b"\r", b"")
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                break
            shown += chunk
    echo = termios.tcgetattr(fd)[3] & termios.ECHO
    _, status = os.waitpid(pid, 0)
    sys.stdout.write(shown.decode("utf-8", "replace"))
    sys.stdout.write("\nECHO=%s\n" % ("on" if echo else "off"))
    code = os.waitstatus_to_exitcode(status)
    sys.exit(code if code >= 0 else 128 - code)


if __name__ == "__main__":
    main()
