#!/usr/bin/env python3
"""Whole-process benchmarks of the client and the local server, each next to a reference
measured in the same run.

  download  the client fetches a 64 MiB file ("@download" typed on its terminal): time from
            the request to the file complete on disk, and the client's peak RSS; reference:
            the same 64 MiB read raw from a socket into a scratch buffer, and read raw
            and written to a file
  burst     a scripted peer sends 100,000 chat lines at once; every line must be shown, in
            order; time until the last is shown; references: the same bytes read raw from a
            socket, the same bytes copied raw onto a terminal, and the shown lines copied
            onto a terminal one write per line
  idle      the client connected and idle for 10 s: CPU ticks and RSS; peer: irssi, idle on
            a terminal of its own (it does not speak this protocol, so it is not connected)
  fanout    500 clients of a load generator on the local server, each chat line relayed to
            all: messages relayed per second and server CPU per message; reference: a raw
            relay that copies bytes to every connection without parsing

Everything runs on 127.0.0.1; the client only connects to port 9002, so that port must be
free (bench/run.sh runs this script in a private network namespace when it can). Every wait
has a time limit and every process started here is stopped before the script ends.
"""

import argparse
import errno
import fcntl
import json
import os
import re
import select
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import termios
import threading
import time

PORT = 9002
RAW_PORT = 9003
TOOLS = None  # folder of the helper programs, set by main()
CLK_TCK = os.sysconf("SC_CLK_TCK")
MIB = 1 << 20

children = []  # every process started here, stopped at the end


def log(text):
    print(text, file=sys.stderr, flush=True)


def stop_all():
    for proc in children:
        if proc.poll() is None:
            proc.terminate()
    deadline = time.monotonic() + 3
    for proc in children:
        try:
            proc.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    children.clear()


def spawn(argv, **kwargs):
    proc = subprocess.Popen(argv, **kwargs)
    children.append(proc)
    return proc


def check_port_free(port):
    probe = socket.socket()
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        probe.bind(("127.0.0.1", port))
    except OSError as failure:
        sys.exit(f"port {port} on 127.0.0.1 is in use ({failure}); stop what holds it, "
                 "or run through bench/run.sh, which uses a private network namespace")
    finally:
        probe.close()


# --- /proc readings ---------------------------------------------------------------------

def cpu_ticks(pid):
    """utime + stime of the whole process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def cpu_ns(pid):
    """CPU time of all threads of the process in nanoseconds (scheduler accounting)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


# --- a program on a pseudo-terminal of its own ------------------------------------------

class PtyProgram:
    def __init__(self, argv, cwd=None, env=None):
        self.master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))

        def make_controlling():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.proc = spawn(argv, cwd=cwd, env=env, stdin=slave, stdout=slave, stderr=slave,
                          start_new_session=True, preexec_fn=make_controlling, close_fds=True)
        os.close(slave)
        os.set_blocking(self.master, False)
        self.output = bytearray()
        self.matched = 0

    @property
    def pid(self):
        return self.proc.pid

    def pump(self, wait):
        """Reads what the program wrote, waiting at most `wait` seconds for the first bytes."""
        ready, _, _ = select.select([self.master], [], [], wait)
        if not ready:
            return 0
        got = 0
        while True:
            try:
                chunk = os.read(self.master, 1 << 16)
            except BlockingIOError:
                return got
            except OSError as failure:
                if failure.errno == errno.EIO:  # the program has ended
                    return got
                raise
            if not chunk:
                return got
            self.output += chunk
            got += len(chunk)

    def expect(self, text, timeout):
        """Waits until text appears after the previous match; raises when it does not."""
        deadline = time.monotonic() + timeout
        start = self.matched
        while True:
            at = self.output.find(text, start)
            if at >= 0:
                self.matched = at + len(text)
                return
            # A match that starts earlier would have been found already: only one that ends in
            # the next bytes is left to look for. Without this, waiting for a line at the end
            # of megabytes of output searches them all again after every read.
            start = max(self.matched, len(self.output) - len(text) + 1)
            left = deadline - time.monotonic()
            if left <= 0:
                tail = bytes(self.output[-400:])
                raise RuntimeError(f"{text!r} did not show within {timeout} s; last output: {tail!r}")
            self.pump(min(left, 0.5))

    def drain(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.pump(deadline - time.monotonic())

    def discard_output(self, seconds):
        """Reads for `seconds` and drops everything read so far, so that what is measured
        next starts from an empty output and the next expect() from its beginning."""
        self.drain(seconds)
        self.output.clear()
        self.matched = 0

    def type(self, keys):
        os.write(self.master, keys)

    def close(self, quit_keys=None):
        if quit_keys and self.proc.poll() is None:
            try:
                self.type(quit_keys)
                deadline = time.monotonic() + 5
                while self.proc.poll() is None and time.monotonic() < deadline:
                    self.pump(0.05)
            except OSError:
                pass
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        os.close(self.master)


# --- the programs under test ------------------------------------------------------------

class Server:
    def __init__(self, build, files, logfile):
        self.log = open(logfile, "wb")
        self.proc = spawn([os.path.join(build, "kq7com-server"), "--port", str(PORT),
                           "--files", files], stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.monotonic() + 10
        while b"listening on" not in open(logfile, "rb").read():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the server did not start: " + open(logfile).read())
            time.sleep(0.01)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.log.close()


def start_client(build, workdir, name=b"bench"):
    client = PtyProgram([os.path.join(build, "kq7com")], cwd=workdir,
                        env={"PATH": "/usr/bin:/bin", "TERM": "xterm"})
    client.expect(b"Enter Your Screen Name:", 10)
    client.type(name + b"\r")
    client.expect(b"Hint: try @connect", 10)
    client.type(b"@connect\r")
    client.expect(b"Hint: try ", 10)
    client.type(b"127.0.0.1\r")
    client.expect(b"Connected!", 15)
    return client


def wire(sender, text, type_code=2):
    """One message in wire form, as the server sends it."""
    pairs = [(b"_msgTime", b"Mon, 05 Jan 2009 07:03:09 UTC"), (b"_msgVersion", b"1.0"),
             (b"msg", text)]
    out = b"{xxKQ7COMxx}-1|" + sender + b"|" + str(type_code).encode() + b"|" + \
        str(len(pairs)).encode() + b"|"
    for key, value in pairs:
        out += key + b"|" + str(len(value)).encode() + b"|" + value
    return out


def paired_ratio(measured, reference):
    """Median of the ratios of runs made back to back."""
    return statistics.median([m / r for m, r in zip(measured, reference)])


# --- download ---------------------------------------------------------------------------

def raw_socket_read(total, port, to_file=None):
    """Connects, reads `total` bytes into a reused buffer (and writes each read to the file
    to_file when given), returns the seconds it took."""
    buffer = bytearray(1 << 16)
    view = memoryview(buffer)
    start = time.monotonic()
    sock = connect_retrying(port)
    out = os.open(to_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) if to_file else None
    got = 0
    while got < total:
        n = sock.recv_into(view)
        if n == 0:
            break
        if out is not None:
            os.write(out, view[:n])
        got += n
    if out is not None:
        os.close(out)
    elapsed = time.monotonic() - start
    sock.close()
    if got != total:
        raise RuntimeError(f"raw read got {got} bytes of {total}")
    return elapsed


def connect_retrying(port, timeout=5):
    deadline = time.monotonic() + timeout
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port))
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.002)


def bench_download(build, work, repeat, size_mib):
    files = os.path.join(work, "files")
    os.makedirs(files, exist_ok=True)
    source = os.path.join(files, "big.bin")
    size = size_mib * MIB
    if not os.path.exists(source) or os.path.getsize(source) != size:
        with open(source, "wb") as f:
            f.write(os.urandom(size))
    expected = open(source, "rb").read()  # also puts the file in the page cache

    raw, raw_to_file, runs, peaks = [], [], [], []
    for _ in range(repeat):
        # Reference: socat sends the file, a plain loop reads it into a scratch buffer; and
        # again, the loop now writing each read to a file, as a download must.
        for into, times in ((None, raw), (os.path.join(work, "raw-copy.bin"), raw_to_file)):
            sender = spawn(["socat", "-u", "-b", "65536", f"OPEN:{source}",
                            f"TCP-LISTEN:{RAW_PORT},bind=127.0.0.1,reuseaddr"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.05)
            times.append(raw_socket_read(size, RAW_PORT, into))
            sender.wait(timeout=10)
            if into:
                os.unlink(into)

        # The client, a fresh process each time so that its peak RSS is this download's.
        server = Server(build, files, os.path.join(work, "server-download.log"))
        dl = os.path.join(work, "download-client")
        shutil.rmtree(dl, ignore_errors=True)
        os.makedirs(dl)
        client = start_client(build, dl)
        client.drain(0.3)
        client.type(b"@download\r")
        client.expect(b"File Name: ", 10)
        target = os.path.join(dl, "big.bin")
        start = time.monotonic()
        client.type(b"big.bin\r")
        client.expect(b"File Received: big.bin", 60)
        deadline = time.monotonic() + 60
        while not (os.path.exists(target) and os.path.getsize(target) == size):
            if time.monotonic() > deadline:
                raise RuntimeError("the downloaded file did not appear")
            time.sleep(0.0005)
        runs.append(time.monotonic() - start)
        peaks.append(status_kib(client.pid, "VmHWM"))
        with open(target, "rb") as f:
            if f.read() != expected:
                raise RuntimeError("the downloaded file differs from the original")
        client.close(b"@quit\r")
        server.stop()
    limit_kib = 2 * size // 1024 + 16 * 1024
    return {
        "file_bytes": size,
        "raw_seconds": raw, "raw_to_file_seconds": raw_to_file, "client_seconds": runs,
        "client_peak_rss_kib": peaks,
        "raw_median": statistics.median(raw),
        "raw_to_file_median": statistics.median(raw_to_file),
        "client_median": statistics.median(runs),
        "ratio_to_raw_to_file": paired_ratio(runs, raw_to_file),
        # Each run is timed right after its reference, so the median of the pairs' ratios
        # cancels most of the load that other programs put on the machine meanwhile.
        "ratio": paired_ratio(runs, raw), "ratio_target": 1.5,
        "peak_rss_kib": max(peaks), "peak_rss_limit_kib": limit_kib,
    }


# --- burst ------------------------------------------------------------------------------

PEER = b"peer"
PEER_PREFIX = b"[" + PEER + b"] "  # how the client shows a chat line from PEER
LINE_TEXT = b"burst line %06d: an ordinary chat line of a typical length, in order"


def shown_line_pattern():
    """A whole burst line as the client shows it, its number as the group."""
    before, after = LINE_TEXT.split(b"%06d")
    return re.compile(re.escape(PEER_PREFIX + before) + rb"(\d{6})" + re.escape(after) + rb"\r\n")


SHOWN_LINE = shown_line_pattern()


def burst_payload(count):
    return b"".join(wire(PEER, LINE_TEXT % i) for i in range(1, count + 1))


def accept_one(listener, timeout=15):
    listener.settimeout(timeout)
    conn, _ = listener.accept()
    conn.settimeout(None)
    return conn


def drain_socket(conn):
    """Reads and drops what the client sends until it closes, on a thread of its own."""
    def run():
        try:
            while conn.recv(1 << 16):
                pass
        except OSError:
            pass
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


def verify_burst(output, count):
    shown = [int(n) for n in SHOWN_LINE.findall(output)]
    if shown != list(range(1, count + 1)):
        missing = count - len(shown)
        out_of_order = sum(1 for a, b in zip(shown, shown[1:]) if b != a + 1)
        raise RuntimeError(f"burst: {len(shown)} of {count} lines shown whole "
                           f"({missing} missing, {out_of_order} out of order)")


def send_on_thread(conn, payload):
    thread = threading.Thread(target=conn.sendall, args=(payload,), daemon=True)
    thread.start()
    return thread


def time_terminal_copy(argv, data, shown_bytes, what, shut_write=False):
    """Starts the copier argv on a terminal of its own; it connects to RAW_PORT and is sent
    `data` there. Returns the seconds from the start of the send until `shown_bytes` bytes
    have come off its terminal, and the copier's CPU time (ms) at that moment. shut_write
    closes the sending side once all is sent, for a copier that runs until its input ends."""
    listener = socket.create_server(("127.0.0.1", RAW_PORT))
    copier = PtyProgram(argv)
    conn = accept_one(listener)
    copier.discard_output(0.1)

    def send():
        conn.sendall(data)
        if shut_write:
            conn.shutdown(socket.SHUT_WR)
    start = time.monotonic()
    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    deadline = start + 60
    while len(copier.output) < shown_bytes:
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not finish")
        copier.pump(0.5)
    seconds = time.monotonic() - start
    cpu_ms = cpu_ns(copier.pid) / 1e6
    sender.join(10)
    conn.close()
    listener.close()
    copier.close()
    return seconds, cpu_ms


def bench_burst(build, work, repeat, count):
    payload = burst_payload(count)
    last = PEER_PREFIX + (LINE_TEXT % count) + b"\r\n"
    shown = b"".join(PEER_PREFIX + (LINE_TEXT % i) + b"\n" for i in range(1, count + 1))
    shown_on_terminal = shown.replace(b"\n", b"\r\n")
    raw_socket, raw_terminal, raw_lines, runs = [], [], [], []
    lines_cpu, client_cpu = [], []  # CPU time of the line copier and of the client, in ms
    for _ in range(repeat):
        # Reference 1: the bytes from a socket into a scratch buffer.
        listener = socket.create_server(("127.0.0.1", RAW_PORT), reuse_port=False)

        def serve():
            conn = accept_one(listener)
            conn.sendall(payload)
            conn.close()
        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        raw_socket.append(raw_socket_read(len(payload), RAW_PORT))
        thread.join(10)
        listener.close()

        # Reference 2: the same bytes copied onto a terminal by socat, read off the terminal.
        seconds, _ = time_terminal_copy(
            ["socat", "-u", "-b", "65536", f"TCP:127.0.0.1:{RAW_PORT}", "STDOUT"],
            payload, len(payload), "raw terminal copy")
        raw_terminal.append(seconds)

        # Reference 3: the lines as the client shows them, copied onto a terminal one line
        # per write, the least that showing each line as a unit of its own costs.
        seconds, cpu_ms = time_terminal_copy(
            [os.path.join(TOOLS, "line_copier"), str(RAW_PORT)],
            shown, len(shown_on_terminal), "line-by-line terminal copy", shut_write=True)
        raw_lines.append(seconds)
        lines_cpu.append(cpu_ms)

        # The client, fed by a scripted peer on the client's port.
        listener = socket.create_server(("127.0.0.1", PORT))
        dl = os.path.join(work, "burst-client")
        os.makedirs(dl, exist_ok=True)
        client = PtyProgram([os.path.join(build, "kq7com")], cwd=dl,
                            env={"PATH": "/usr/bin:/bin", "TERM": "xterm"})
        client.expect(b"Enter Your Screen Name:", 10)
        client.type(b"bench\r@connect\r127.0.0.1\r")
        conn = accept_one(listener)
        drain_socket(conn)
        conn.sendall(wire(PEER, b"hello", 3))
        client.expect(b"Connected!", 15)
        client.discard_output(0.3)
        cpu_before = cpu_ns(client.pid)
        start = time.monotonic()
        sender = send_on_thread(conn, payload)
        client.expect(last, 120)
        runs.append(time.monotonic() - start)
        client_cpu.append((cpu_ns(client.pid) - cpu_before) / 1e6)
        sender.join(10)
        verify_burst(bytes(client.output), count)
        client.close(b"@quit\r")
        conn.close()
        listener.close()
    return {
        "lines": count, "payload_bytes": len(payload),
        "raw_socket_seconds": raw_socket, "raw_terminal_seconds": raw_terminal,
        "line_writes_seconds": raw_lines, "client_seconds": runs,
        "raw_socket_median": statistics.median(raw_socket),
        "raw_terminal_median": statistics.median(raw_terminal),
        "line_writes_median": statistics.median(raw_lines),
        "client_median": statistics.median(runs),
        "line_writes_cpu_ms": lines_cpu, "client_cpu_ms": client_cpu,
        "ratio_to_socket": paired_ratio(runs, raw_socket),
        "ratio_to_terminal": paired_ratio(runs, raw_terminal),
        "ratio_to_line_writes": paired_ratio(runs, raw_lines),
        "ratio_target": 3.0, "all_shown_in_order": True,
    }


# --- idle -------------------------------------------------------------------------------

def measure_idle(pid, seconds):
    ticks, ns = cpu_ticks(pid), cpu_ns(pid)
    time.sleep(seconds)
    return {"cpu_ticks": cpu_ticks(pid) - ticks, "cpu_ms": (cpu_ns(pid) - ns) / 1e6,
            "rss_kib": status_kib(pid, "VmRSS"), "seconds": seconds}


def bench_idle(build, work, seconds):
    files = os.path.join(work, "files")
    os.makedirs(files, exist_ok=True)
    server = Server(build, files, os.path.join(work, "server-idle.log"))
    dl = os.path.join(work, "idle-client")
    os.makedirs(dl, exist_ok=True)
    client = start_client(build, dl)
    client.drain(1.0)
    # The pty is not read meanwhile: nothing is expected, and a reader would not change the
    # client's own account.
    ours = measure_idle(client.pid, seconds)
    client.drain(0.1)
    client.close(b"@quit\r")
    server.stop()

    home = os.path.join(work, "irssi-home")
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(home)
    peer = PtyProgram(["irssi", f"--home={home}", "--noconnect", "-n", "benchidle"],
                      env={"PATH": "/usr/bin:/bin", "TERM": "xterm", "HOME": home})
    peer.drain(3.0)
    theirs = measure_idle(peer.pid, seconds)
    peer.drain(0.1)
    peer.close(b"/quit\r")
    return {"client": ours, "irssi": theirs, "tick_hz": CLK_TCK,
            "cpu_ticks_target": 1, "rss_kib_target": 4096}


# --- fan-out ----------------------------------------------------------------------------

def run_load(pid, clients, lines):
    out = subprocess.run([os.path.join(TOOLS, "fanout_load"), "load", "--port",
                          str(PORT), "--clients", str(clients), "--lines", str(lines),
                          "--server-pid", str(pid), "--deadline", "120"],
                         capture_output=True, text=True, timeout=150)
    if out.returncode != 0:
        raise RuntimeError("load generator failed: " + out.stderr + out.stdout)
    result = json.loads(out.stdout)
    result["messages_per_second"] = result["received"] / result["seconds"]
    result["server_cpu_us_per_message"] = result["server_cpu_ns"] / 1000 / result["received"]
    return result


def bench_fanout(build, work, repeat, clients, lines):
    files = os.path.join(work, "files")
    os.makedirs(files, exist_ok=True)
    ours, relay = [], []
    for _ in range(repeat):
        server = Server(build, files, os.path.join(work, "server-fanout.log"))
        ours.append(run_load(server.proc.pid, clients, lines))
        server.stop()

        relay_log = os.path.join(work, "relay.log")
        with open(relay_log, "wb") as logf:
            proc = spawn([os.path.join(TOOLS, "fanout_load"), "relay", "--port",
                          str(PORT), "--deadline", "150"], stderr=logf)
            deadline = time.monotonic() + 10
            while b"listening" not in open(relay_log, "rb").read():
                if time.monotonic() > deadline:
                    raise RuntimeError("the relay did not start")
                time.sleep(0.01)
            relay.append(run_load(proc.pid, clients, lines))
            proc.wait(timeout=10)

    def med(results, key):
        return statistics.median([r[key] for r in results])
    return {
        "clients": clients, "lines": lines, "server": ours, "relay": relay,
        "server_messages_per_second": med(ours, "messages_per_second"),
        "relay_messages_per_second": med(relay, "messages_per_second"),
        "server_cpu_us_per_message": med(ours, "server_cpu_us_per_message"),
        "relay_cpu_us_per_message": med(relay, "server_cpu_us_per_message"),
        "throughput_ratio": med(ours, "messages_per_second") / med(relay, "messages_per_second"),
        "cpu_ratio": med(ours, "server_cpu_us_per_message") / med(relay, "server_cpu_us_per_message"),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build folder with kq7com and the server")
    parser.add_argument("--tools", help="folder with fanout_load and line_copier "
                        "(default: BUILD/bench)")
    parser.add_argument("--work", required=True, help="scratch folder (files, logs)")
    parser.add_argument("--out", required=True, help="JSON file to write the results to")
    parser.add_argument("--only", default="download,burst,idle,fanout")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--download-mib", type=int, default=64)
    parser.add_argument("--burst-lines", type=int, default=100000)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--fanout-clients", type=int, default=500)
    parser.add_argument("--fanout-lines", type=int, default=200)
    args = parser.parse_args()
    repeat = max(1, min(args.repeat, 10))
    args.build = os.path.abspath(args.build)
    args.work = os.path.abspath(args.work)
    global TOOLS
    TOOLS = os.path.abspath(args.tools or os.path.join(args.build, "bench"))
    os.makedirs(args.work, exist_ok=True)
    check_port_free(PORT)
    check_port_free(RAW_PORT)

    results = {}
    if os.path.exists(args.out):
        with open(args.out) as f:
            results = json.load(f)
    try:
        for name in args.only.split(","):
            log(f"== {name}")
            started = time.monotonic()
            if name == "download":
                results[name] = bench_download(args.build, args.work, repeat, args.download_mib)
            elif name == "burst":
                results[name] = bench_burst(args.build, args.work, repeat, args.burst_lines)
            elif name == "idle":
                results[name] = bench_idle(args.build, args.work, args.idle_seconds)
            elif name == "fanout":
                results[name] = bench_fanout(args.build, args.work, max(1, repeat - 1),
                                             args.fanout_clients, args.fanout_lines)
            else:
                sys.exit(f"unknown benchmark {name}")
            log(json.dumps(results[name], indent=1))
            log(f"   ({time.monotonic() - started:.1f} s)")
            with open(args.out, "w") as f:
                json.dump(results, f, indent=1)
    finally:
        stop_all()


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    main()
