#!/usr/bin/python3
"""An interactive SSH client over paramiko or asyncssh, for the end-to-end tests.

    python_client.py paramiko|asyncssh PORT USER [COMMAND]

Connects to 127.0.0.1:PORT as USER without any SSH-level credentials (the server asks
for the password in its console), asks for a pseudo-terminal of this terminal's size and
a shell (or COMMAND), and relays this terminal, in raw mode, to the channel and back
until the server ends it. Exits with the channel's exit status (255 when none came).
USER may spell a byte as \\xHH (an argument cannot hold a NUL byte).
The server's host key is not checked: each test's server has a fresh one.
"""
import asyncio
import contextlib
import os
import select
import socket
import sys
import termios
import tty
import warnings

# The libraries' deprecation notices about old ciphers would land in the test's pane.
warnings.simplefilter("ignore")

HOST = "127.0.0.1"
TIMEOUT = 30


def write_all(fd, data):
    while data:
        data = data[os.write(fd, data):]


@contextlib.contextmanager
def raw_terminal():
    saved = termios.tcgetattr(0)
    tty.setraw(0)
    try:
        yield
    finally:
        termios.tcsetattr(0, termios.TCSADRAIN, saved)


def run_paramiko(port, user, command):
    import paramiko

    transport = paramiko.Transport(socket.create_connection((HOST, port), TIMEOUT))
    try:
        transport.start_client(timeout=TIMEOUT)
        transport.auth_none(user)
        channel = transport.open_session(timeout=TIMEOUT)
        columns, rows = os.get_terminal_size(0)
        channel.get_pty(term=os.environ.get("TERM", "xterm"), width=columns, height=rows)
        if command is None:
            channel.invoke_shell()
        else:
            channel.exec_command(command)
        with raw_terminal():
            while True:
                readable, _, _ = select.select([channel, 0], [], [])
                if channel in readable:
                    data = channel.recv(32768)
                    if not data:
                        break
                    write_all(1, data)
                if 0 in readable:
                    channel.sendall(os.read(0, 4096))
        status = channel.recv_exit_status()
        return 255 if status < 0 else status
    finally:
        transport.close()


async def run_asyncssh(port, user, command):
    import asyncssh

    async with asyncssh.connect(HOST, port, username=user, known_hosts=None,
                                client_keys=None, agent_path=None, config=None,
                                password=None, login_timeout=TIMEOUT) as connection:
        columns, rows = os.get_terminal_size(0)
        process = await connection.create_process(
            command, term_type=os.environ.get("TERM", "xterm"), term_size=(columns, rows),
            encoding=None)
        loop = asyncio.get_running_loop()
        loop.add_reader(0, lambda: process.stdin.write(os.read(0, 4096)))
        try:
            with raw_terminal():
                while True:
                    data = await process.stdout.read(32768)
                    if not data:
                        break
                    write_all(1, data)
                await process.wait_closed()
        finally:
            loop.remove_reader(0)
        return 255 if process.exit_status is None else process.exit_status


def main():
    library, port = sys.argv[1], int(sys.argv[2])
    user = sys.argv[3].encode("utf-8", "surrogateescape").decode("unicode_escape")
    command = sys.argv[4] if len(sys.argv) > 4 else None
    if library == "paramiko":
        return run_paramiko(port, user, command)
    if library == "asyncssh":
        return asyncio.run(run_asyncssh(port, user, command))
    sys.exit("unknown library " + library)


if __name__ == "__main__":
    sys.exit(main())
