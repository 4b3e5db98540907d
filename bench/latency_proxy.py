#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A TCP proxy that adds a fixed delay to every chunk, each way, for the remote benchmark.

    latency_proxy.py LISTEN_HOST:PORT TARGET_HOST:PORT DELAY_MS COUNT_FILE

Every chunk read from one side is written to the other DELAY_MS milliseconds after it arrived, in
order, so a round trip costs twice the delay and requests sent back to back overlap as they would on
a real link (the delay is a link's latency, not a bandwidth limit). Meant to run inside the
benchmark's private network namespace; it refuses any address outside 127.0.0.0/8.

On SIGTERM or SIGINT it writes, to COUNT_FILE, the connections accepted and the SMB messages the
clients sent: the messages are counted from the stream's own framing (a 4-byte length before each
message, and the chain of compounded requests inside one), so requests that share one write still
count one each.
"""
import asyncio
import ipaddress
import signal
import sys

CHUNK = 65536


class Counter:
    def __init__(self):
        self.connections = 0
        self.messages = 0


class SmbFraming:
    """Counts the SMB requests in a client's byte stream as it passes."""

    def __init__(self, counter):
        self.counter = counter
        self.buffer = b""

    def feed(self, data):
        self.buffer += data
        while len(self.buffer) >= 4:
            length = int.from_bytes(self.buffer[1:4], "big")
            if len(self.buffer) < 4 + length:
                return
            self.count(self.buffer[4:4 + length])
            self.buffer = self.buffer[4 + length:]

    def count(self, message):
        if message[:4] != b"\xfeSMB":
            self.counter.messages += 1  # SMB1 negotiation, or anything else: one message
            return
        offset = 0
        while True:  # an SMB2 header's NextCommand links compounded requests
            self.counter.messages += 1
            following = int.from_bytes(message[offset + 20:offset + 24], "little")
            if following == 0 or offset + following >= len(message):
                return
            offset += following


async def pump(reader, writer, delay, framing=None):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def read_side():
        while True:
            data = await reader.read(CHUNK)
            queue.put_nowait((loop.time() + delay, data))
            if not data:
                return

    feeder = asyncio.create_task(read_side())
    try:
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            if framing is not None:
                framing.feed(data)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        feeder.cancel()


async def main():
    listen, target, delay_ms, count_file = sys.argv[1:5]
    listen_host, listen_port = listen.rsplit(":", 1)
    target_host, target_port = target.rsplit(":", 1)
    for host in (listen_host, target_host):
        if not ipaddress.ip_address(host).is_loopback:
            sys.exit(f"refusing {host}: the proxy runs on the loopback only")
    delay = float(delay_ms) / 1000.0
    counter = Counter()

    async def serve(client_reader, client_writer):
        counter.connections += 1
        try:
            server_reader, server_writer = await asyncio.open_connection(target_host, int(target_port))
        except OSError:
            client_writer.close()
            return
        pumps = [asyncio.create_task(pump(client_reader, server_writer, delay, SmbFraming(counter))),
                 asyncio.create_task(pump(server_reader, client_writer, delay))]
        try:
            # Either side gone (its end of stream passed on, or an error) ends the connection: a
            # client that went away must not leave its server process waiting on a half-open one.
            await asyncio.wait(pumps, return_when=asyncio.FIRST_COMPLETED)
        except asyncio.CancelledError:
            pass  # the proxy is stopping
        for task in pumps:
            task.cancel()
        await asyncio.gather(*pumps, return_exceptions=True)
        for writer in (client_writer, server_writer):
            writer.close()

    server = await asyncio.start_server(serve, listen_host, int(listen_port), reuse_address=True)
    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(signum, stop.set)
    # Reset the counts on SIGUSR1, so one proxy can count run after run.
    asyncio.get_running_loop().add_signal_handler(signal.SIGUSR1, lambda: write_counts(count_file, counter, True))
    print("ready", flush=True)
    await stop.wait()
    server.close()
    write_counts(count_file, counter, False)
    # Connections still open end here, rather than as tasks the closing loop complains about.
    others = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
    for task in others:
        task.cancel()
    await asyncio.gather(*others, return_exceptions=True)


def write_counts(path, counter, reset):
    with open(path, "w", encoding="ascii") as out:
        out.write(f"{counter.connections} {counter.messages}\n")
    if reset:
        counter.connections = 0
        counter.messages = 0


if __name__ == "__main__":
    asyncio.run(main())
