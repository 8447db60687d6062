"""What the benchmark scripts share: ports on 127.0.0.1, and waiting for a listener there."""
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
