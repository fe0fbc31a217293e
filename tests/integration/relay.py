"""An HTTP relay in front of the server that keeps a copy of every exchange,
so that a test can see the bytes a third-party client sent and received.

It listens on loopback of the namespace chosen with wire.use_namespace,
reads one HTTP message at a time (Content-Length or chunked), passes it to
the server on a new connection, and hands the answer back. A request the
server never answers is recorded with an empty answer and the client's
connection is closed. Every read is bounded in size and time.
"""

import socket
import threading

import wire

MAX_HEAD = 64 * 1024
MAX_BODY = 64 * 1024 * 1024
IDLE = 30.0


class Exchange:
    def __init__(self, request: bytes, answer: bytes):
        self.request = request
        self.answer = answer

    @property
    def request_body(self) -> bytes:
        return _split(self.request)[1]

    @property
    def answer_body(self) -> bytes:
        return _split(self.answer)[1] if self.answer else b""

    @property
    def status_line(self) -> str:
        return self.answer.split(b"\r\n", 1)[0].decode("latin-1") if self.answer else ""


def _split(message: bytes) -> tuple[bytes, bytes]:
    head, _, body = message.partition(b"\r\n\r\n")
    if b"transfer-encoding: chunked" in head.lower():
        body = _dechunk(body)
    return head, body


def _dechunk(data: bytes) -> bytes:
    out, pos = [], 0
    while True:
        end = data.index(b"\r\n", pos)
        size = int(data[pos:end].split(b";")[0], 16)
        if size == 0:
            return b"".join(out)
        out.append(data[end + 2:end + 2 + size])
        pos = end + 2 + size + 2


class _Reader:
    """Reads whole HTTP messages from one socket."""

    def __init__(self, sock: socket.socket):
        self.sock = sock
        self.buffer = b""

    def _more(self) -> bool:
        data = self.sock.recv(65536)
        self.buffer += data
        return bool(data)

    def _take(self, count: int) -> bytes:
        while len(self.buffer) < count:
            if not self._more():
                raise EOFError
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def _line(self) -> bytes:
        while b"\r\n" not in self.buffer:
            if len(self.buffer) > MAX_HEAD or not self._more():
                raise EOFError
        line, _, self.buffer = self.buffer.partition(b"\r\n")
        return line + b"\r\n"

    def message(self, until_close: bool = False) -> bytes | None:
        """One message, or None when the peer closed before sending any.
        `until_close`: an answer without a length ends with the connection."""
        while b"\r\n\r\n" not in self.buffer:
            if len(self.buffer) > MAX_HEAD:
                raise EOFError
            if not self._more():
                if self.buffer:
                    raise EOFError
                return None
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        head += b"\r\n\r\n"
        fields = {}
        for line in head.split(b"\r\n")[1:]:
            key, _, value = line.partition(b":")
            fields[key.strip().lower()] = value.strip()
        if fields.get(b"transfer-encoding", b"").lower() == b"chunked":
            body = b""
            while True:
                line = self._line()
                size = int(line.split(b";")[0], 16)
                body += line + self._take(size + 2)
                if len(body) > MAX_BODY:
                    raise EOFError
                if size == 0:
                    return head + body
        if b"content-length" in fields:
            length = int(fields[b"content-length"])
            if length > MAX_BODY:
                raise EOFError
            return head + self._take(length)
        if until_close:
            while self._more():
                if len(self.buffer) > MAX_BODY:
                    raise EOFError
            body, self.buffer = self.buffer, b""
            return head + body
        return head


class Relay:
    def __init__(self, port: int, target_port: int = wire.SERVICE_PORT):
        self.port = port
        self.target_port = target_port
        self.exchanges: list[Exchange] = []
        self._lock = threading.Lock()
        self._listener = wire.listen(port)
        self._listener.settimeout(0.2)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/"

    def close(self) -> None:
        self._stop.set()
        self._thread.join()
        self._listener.close()

    def soap_exchanges(self) -> list[Exchange]:
        with self._lock:
            return [e for e in self.exchanges if e.request.startswith(b"POST ")]

    def _accept(self) -> None:
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client: socket.socket) -> None:
        client.settimeout(IDLE)
        reader = _Reader(client)
        try:
            while True:
                request = reader.message()
                if request is None:
                    return
                with wire.connect(("127.0.0.1", self.target_port), timeout=IDLE) as upstream:
                    upstream.sendall(request)
                    try:
                        answer = _Reader(upstream).message(until_close=True) or b""
                    except (EOFError, OSError):
                        answer = b""
                with self._lock:
                    self.exchanges.append(Exchange(request, answer))
                if not answer:
                    return
                client.sendall(answer)
        except (EOFError, OSError):
            return
        finally:
            client.close()
