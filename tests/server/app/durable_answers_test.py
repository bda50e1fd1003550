#!/usr/bin/env python3
"""Answers that report a send are given only once the send is on disk.

Runs the service under strace, sends messages from several clients at once (so that their commits
are grouped), and follows the system calls per connection: the request carrying a message's
marker is read, the write-ahead log page holding the marker is written, the thread that wrote it
syncs the log (fsync or fdatasync), and only then are the answer's bytes written to that
connection. Any answer "Your message was sent" written before that sync has ended fails the test.

Usage: durable_answers_test.py PATH-TO-vantro-server
"""

import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SENDS = 48
CLIENTS = 8
SENT = b"Your message was sent"

CALL = re.compile(r"^(\d+)\s+(?:(\w+)\((.*)|<\.\.\. (\w+) resumed>(.*))$")
FD = re.compile(r"^(\d+)<(TCP:\[[^\]]*\]|[^<>]*(?:<[^>]*>)?)>")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def post(port, path, body):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("POST", path, body=body.encode(), headers={"Content-Type": "text/xml"})
        return connection.getresponse().read()
    finally:
        connection.close()


def field(name, value):
    return "    <%s>%s</%s>" % (name, value, name)


def unescape(text):
    """strace's quoted buffer as bytes (its \\xNN, \\n, \\" and octal escapes undone)."""
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")


def read_calls(path):
    """Each call once, in order of its start: (tid, name, fd path, data, start line, end line)."""
    calls = []
    open_calls = {}
    with open(path, encoding="latin-1") as trace:
        for number, line in enumerate(trace):
            match = CALL.match(line.rstrip("\n"))
            if not match:
                continue
            tid = int(match.group(1))
            if match.group(2):
                name, text = match.group(2), match.group(3)
                call = {"tid": tid, "name": name, "text": text, "start": number, "end": number}
                calls.append(call)
                if text.endswith("<unfinished ...>"):
                    call["text"] = text[: -len("<unfinished ...>")]
                    open_calls[tid] = call
            else:
                call = open_calls.pop(tid, None)
                if call is not None:
                    call["text"] += match.group(5)
                    call["end"] = number
    for call in calls:
        fd = FD.match(call["text"])
        call["fd"] = fd.group(2) if fd else ""
        # Every buffer of the call, the iovecs of sendmsg and writev included.
        call["data"] = b"".join(unescape(q) for q in re.findall(r'"((?:[^"\\]|\\.)*)"', call["text"]))
    return calls


def main():
    server = os.path.abspath(sys.argv[1])
    strace = shutil.which("strace")
    if strace is None:
        print("SKIP: strace is not installed")
        return 0
    work = tempfile.mkdtemp(prefix="vantro-durable-")
    port = free_port()
    trace = os.path.join(work, "trace")
    service = subprocess.Popen(
        [strace, "-f", "-qq", "-yy", "-s", "16384", "-o", trace,
         "-e", "trace=read,recvfrom,recvmsg,write,writev,sendto,sendmsg,pwrite64,pwritev,fsync,fdatasync",
         server, "--host", "127.0.0.1", "--port", str(port), "--db", os.path.join(work, "store.db"),
         "--sends-per-minute", "0", "--sends-per-day", "0"],
        stdout=subprocess.DEVNULL)
    try:
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        login = post(port, "/vantro_login.aspx",
                     "<QVRLogin>" + field("Login", "4125551212") + field("Password", "demo") + "</QVRLogin>")
        token = re.search(rb"<string>([0-9a-f]{32})</string>", login).group(1).decode()

        answers = {}

        def client(first):
            for n in range(first, SENDS, CLIENTS):
                marker = "durable-marker-%04d" % n
                body = ("<QVRMessage>" + field("Reguser", token) + field("Friend", "0") + field("To", "7245550199") +
                        field("Carrier", "Sprint") + field("Subject", "s") + field("Body", marker) + "</QVRMessage>")
                answers[marker] = post(port, "/vantro_send.aspx", body)

        threads = [threading.Thread(target=client, args=(c,)) for c in range(CLIENTS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        # strace ends with the service; the service's own pid is strace's only child.
        children = subprocess.run(["ps", "-o", "pid=", "--ppid", str(service.pid)], capture_output=True, text=True)
        for pid in children.stdout.split():
            os.kill(int(pid), signal.SIGTERM)
        try:
            service.wait(timeout=30)
        except subprocess.TimeoutExpired:
            service.kill()
            service.wait()

    try:
        failures = []
        if sorted(m for m, a in answers.items() if SENT in a) != sorted(answers) or len(answers) != SENDS:
            failures.append("not every send was answered as sent: %r" % answers)
        calls = read_calls(trace)
        syncs = [c for c in calls if c["name"] in ("fsync", "fdatasync") and c["fd"].endswith("store.db-wal")]
        for marker in sorted(answers):
            key = marker.encode()
            request = next((c for c in calls if c["fd"].startswith("TCP:") and c["name"] in
                            ("read", "recvfrom", "recvmsg") and key in c["data"]), None)
            if request is None:
                failures.append(marker + ": its request was not seen")
                continue
            answer = next((c for c in calls if c["start"] > request["end"] and c["fd"] == request["fd"] and
                           c["name"] in ("write", "writev", "sendto", "sendmsg") and SENT in c["data"]), None)
            logged = next((c for c in calls if c["fd"].endswith("store.db-wal") and
                           c["name"] in ("write", "pwrite64", "pwritev") and key in c["data"]), None)
            if answer is None or logged is None:
                failures.append(marker + ": %s not seen" % ("its answer" if answer is None else "its log write"))
                continue
            # The commit that wrote the page syncs the log on the same thread right after its writes.
            sync = next((c for c in syncs if c["tid"] == logged["tid"] and c["start"] > logged["end"]), None)
            if sync is None or sync["end"] >= answer["start"]:
                failures.append("%s: answered on line %d, but the log holding it was synced %s" % (
                    marker, answer["start"] + 1, "never" if sync is None else "on line %d" % (sync["end"] + 1)))
        syncing_threads = len({c["tid"] for c in syncs})
        print("%d sends answered, %d syncs of the log by %d threads" % (len(answers), len(syncs), syncing_threads))
        for failure in failures:
            print("FAIL:", failure)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
