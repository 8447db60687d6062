"""What the benchmark scripts share: ports on 127.0.0.1, waiting for a listener there, and
reading Server-Sent Events."""
import socket
import time


def free_port():
    """A TCP port on 127.0.0.1 that nothing listened on a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_listening(port, seconds=5):
    """Waits until something accepts connections on the port; False when nothing did in time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def take_events(pending):
    """The whole events at the start of `pending` (bytes after the response's header), each as
    a dict of its fields, and the bytes left after them."""
    events = []
    while True:
        end = pending.find(b"\n\n")
        if end < 0:
            return events, pending
        event, pending = pending[:end], pending[end + 2:]
        events.append(dict(line.split(b": ", 1) for line in event.split(b"\n") if b": " in line))
