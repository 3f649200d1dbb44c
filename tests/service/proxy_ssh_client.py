#!/usr/bin/python3
"""An SSH client behind a load balancer, for the proxy listener's tests.

    proxy_ssh_client.py PORT v1|v2 CLIENT_IP CLIENT_PORT

Connects to 127.0.0.1:PORT and sends a PROXY header naming CLIENT_IP:CLIENT_PORT as the
client (version 1 text, or version 2 binary with a TLV after the addresses), then speaks
SSH on the same connection (paramiko): asks for a terminal and a shell, prints the
session's first line, sends "q" and prints the exit status. Exits 0 when all of that
worked; every wait is bounded.
"""
import ipaddress
import socket
import struct
import sys
import warnings

# The library's deprecation notices about old ciphers are not the test's business.
warnings.simplefilter("ignore")
import paramiko  # noqa: E402

TIMEOUT = 30


def header(version, ip, port):
    client = ipaddress.ip_address(ip)
    server = ipaddress.ip_address("::1" if client.version == 6 else "127.0.0.1")
    if version == "v1":
        family = "TCP6" if client.version == 6 else "TCP4"
        return f"PROXY {family} {client} {server} {port} 22\r\n".encode()
    body = client.packed + server.packed + struct.pack("!HH", port, 22)
    body += b"\x04\x00\x03pad"  # a NOOP TLV, to be skipped
    family = 0x21 if client.version == 6 else 0x11
    return (b"\r\n\r\n\x00\r\nQUIT\n" + bytes([0x21, family]) + struct.pack("!H", len(body)) +
            body)


def main():
    port, version, ip, client_port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    sock = socket.create_connection(("127.0.0.1", int(port)), TIMEOUT)
    sock.sendall(header(version, ip, client_port))
    transport = paramiko.Transport(sock)
    try:
        transport.start_client(timeout=TIMEOUT)
        transport.auth_none("alice")
        channel = transport.open_session(timeout=TIMEOUT)
        channel.settimeout(TIMEOUT)
        channel.get_pty(term="xterm", width=80, height=24)
        channel.invoke_shell()
        data = b""
        while b"\r\n" not in data:
            chunk = channel.recv(1024)
            if not chunk:
                break
            data += chunk
        print(data.split(b"\r\n")[0].decode(errors="replace"))
        channel.send("q")
        ended = channel.status_event.wait(TIMEOUT)
        print("exit", channel.exit_status if ended else "none")
    finally:
        transport.close()


if __name__ == "__main__":
    main()
