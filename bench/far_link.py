"""A far link in user space: a TCP relay with a round trip time and a rate.

Run as: /usr/bin/python3 far_link.py RTT_MS RATE_MBIT PORT...
or, from the benchmark, `with FarLink(rtt_ms, rate_mbit, ports): ...`.

It listens on 127.0.0.2 at every PORT and relays each connection to 127.0.0.1 at the same
port, so a client that names 127.0.0.2 talks to a server on 127.0.0.1 across the link:
- every chunk read in one direction is on the link for its size / rate, and the link of
  that direction carries one chunk at a time, for all connections together; the chunk
  arrives half a round trip after its last byte went out. Order is kept per connection,
  and an end of stream (half-close) is passed on after the data before it;
- the kernel completes the client's connect at once, so the relay connects to the server
  1.5 round trips later, when the handshake's last packet would arrive: the server's
  greeting reaches the client 2 round trips after it connected, and the client's first
  bytes reach the server 1.5 round trips after, as across a link.
What it leaves out: loss, packet headers, TCP's slow start; a client that waits for its
connect to finish before it speaks on another connection (an FTP client's data
connection) gains one round trip there.
It prints "ready" once it listens, and stops on SIGTERM or when its parent is gone.
"""
import asyncio
import os
import signal
import subprocess
import sys
import time

CHUNK = 16384  # bytes read at a time
WINDOW = 8  # chunks per direction of a connection read but not yet delivered
LISTEN, SERVER = "127.0.0.2", "127.0.0.1"


class Link:
    """One direction of the link: the time its last reserved chunk leaves it."""

    def __init__(self, rate, delay):
        self.rate, self.delay, self.free = rate, delay, 0.0

    def arrival(self, size):
        """Reserves the link for `size` bytes; returns when they arrive."""
        self.free = max(time.monotonic(), self.free) + size / self.rate
        return self.free + self.delay


async def carry(reader, writer, link):
    """Relays one direction of a connection until its end of stream. `writer` is a
    future: the server's side exists only once the handshake is over."""
    queue, room = asyncio.Queue(), asyncio.Semaphore(WINDOW)

    async def read():
        while True:
            await room.acquire()
            try:
                data = await reader.read(CHUNK)
            except OSError:
                data = None  # a reset: passed on at once
            arrival = link.arrival(len(data)) if data else time.monotonic() + link.delay
            queue.put_nowait((arrival, data))
            if not data:
                return

    reading = asyncio.ensure_future(read())
    try:
        while True:
            arrival, data = await queue.get()
            if data is None:
                raise ConnectionResetError
            await asyncio.sleep(arrival - time.monotonic())
            out = await writer
            if not data:
                out.write_eof()
                return
            out.write(data)
            await out.drain()
            room.release()
    finally:
        reading.cancel()


async def relay(client_reader, client_writer, port, up, down, rtt):
    """One connection: the server's side opens once the handshake would be over."""
    loop = asyncio.get_running_loop()
    to_server, to_client = loop.create_future(), loop.create_future()
    to_client.set_result(client_writer)
    tasks = [asyncio.ensure_future(carry(client_reader, to_server, up))]
    writers, failed = [client_writer], True
    try:
        await asyncio.sleep(1.5 * rtt)
        server_reader, server_writer = await asyncio.open_connection(SERVER, port)
        writers.append(server_writer)
        to_server.set_result(server_writer)
        tasks.append(asyncio.ensure_future(carry(server_reader, to_client, down)))
        done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_EXCEPTION)
        failed = any(task.exception() for task in done) or len(done) < 2
    except OSError:
        pass  # the server refused
    finally:
        for task in tasks:
            task.cancel()
        for writer in writers:
            writer.transport.abort() if failed else writer.close()


async def serve(rtt_ms, rate_mbit, ports):
    rtt, rate = rtt_ms / 1000, rate_mbit * 1e6 / 8
    up, down = Link(rate, rtt / 2), Link(rate, rtt / 2)
    for port in ports:
        await asyncio.start_server(
            lambda r, w, port=port: relay(r, w, port, up, down, rtt), LISTEN, port,
            reuse_address=True)
    print("ready", flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    parent = os.getppid()
    while not stop.is_set() and os.getppid() == parent:
        try:
            await asyncio.wait_for(stop.wait(), 0.2)
        except asyncio.TimeoutError:
            pass


class FarLink:
    """The relay in a process of its own, for as long as a `with` block lasts."""

    def __init__(self, rtt_ms, rate_mbit, ports):
        self.argv = ["/usr/bin/python3", __file__, str(rtt_ms), str(rate_mbit),
                     *map(str, ports)]
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE)
        if self.process.stdout.readline().strip() != b"ready":
            self.__exit__()
            raise RuntimeError(f"far link did not start: {self.argv}")
        return self

    def __exit__(self, *_):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


if __name__ == "__main__":
    asyncio.run(serve(float(sys.argv[1]), float(sys.argv[2]), [int(p) for p in sys.argv[3:]]))
