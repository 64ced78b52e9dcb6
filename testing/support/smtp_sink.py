"""An SMTP server for the tests: Debian's aiosmtpd on a free loopback port.

Prints the port on standard output, then keeps every message it accepts as
files in the directory given as argument: NNNN.from (envelope sender),
NNNN.rcpt (one recipient a line), NNNN.data (the message as received, line
ends CR LF, the closing dot removed) and last NNNN.done. Ends when its
standard input closes or after the lifetime given as second argument.
"""
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP


class Keeper:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    def _write(self, name, data):
        path = os.path.join(self.directory, name)
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.rename(path + ".tmp", path)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        stem = "%04d" % self.count
        self._write(stem + ".from", (envelope.mail_from or "").encode("utf-8", "replace"))
        self._write(stem + ".rcpt", "\n".join(envelope.rcpt_tos).encode("utf-8", "replace"))
        self._write(stem + ".data", envelope.original_content or b"")
        self._write(stem + ".done", b"")
        return "250 Message accepted"


async def main():
    directory = sys.argv[1]
    lifetime = float(sys.argv[2]) if len(sys.argv) > 2 else 300.0
    loop = asyncio.get_running_loop()
    keeper = Keeper(directory)
    server = await loop.create_server(
        lambda: SMTP(keeper, hostname="sink.test", data_size_limit=1 << 24),
        "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    try:
        await asyncio.wait_for(loop.run_in_executor(None, sys.stdin.read), lifetime)
    except asyncio.TimeoutError:
        pass
    server.close()
    os._exit(0)


asyncio.run(main())
