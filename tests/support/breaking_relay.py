#!/usr/bin/python3
"""A relay between an FTP client and a real FTP server that breaks the first
upload's connections the way links that drop do.

    breaking_relay.py ADDRESS SERVER_PORT LOG FAULT

Listens on ADDRESS port 21 and relays each control connection to the server
on ADDRESS port SERVER_PORT. It answers the server's 227 replies with a port
of its own and relays each data connection to the server's passive port. FAULT strikes the first data connection on which the client
sends data, once:

    reset:N   after N bytes of the client's data, both sides of the data
              connection are reset
    stall:N   after N bytes nothing more is relayed for STALL_SECONDS, then
              both sides are reset (the client sees a data connection that
              stops taking data)
    drop      the data goes through whole; from its end on, nothing the
              server sends on that session's control connection reaches the
              client (a NAT router that dropped the idle control
              connection: the completion reply is lost)

LOG gets one line per data connection: "data BYTES" with the bytes the
client sent through it, written before the server learns how they ended;
LOG.ready appears once the relay listens. Standard
library only.
"""
import os
import re
import socket
import struct
import sys
import threading
import time

STALL_SECONDS = 4
CHUNK = 65536

lock = threading.Lock()
fault_left = True


def take_fault():
    global fault_left
    with lock:
        taken, fault_left = fault_left, False
    return taken


def end_sending(sock):
    """Ends what this side sends (the peer reads the end), if the socket is
    still there."""
    try:
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def reset(sock):
    # A close while another thread waits in recv on the socket (pump_down,
    # on the server's side of an upload, where nothing ever comes) releases
    # the socket, and sends the reset, only once that recv returns: the
    # server would wait for data until its own timeout. Shutting down the
    # reading side ends that recv and sends the peer nothing.
    try:
        sock.shutdown(socket.SHUT_RD)
    except OSError:
        pass
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
    except OSError:
        pass


class Session:
    def __init__(self, client, address, server_port, log, fault):
        self.client = client
        self.address = address
        self.log = log
        self.fault = fault
        self.silenced = False
        self.server = socket.create_connection((address, server_port))

    def run(self):
        threading.Thread(target=self.client_to_server, daemon=True).start()
        self.server_to_client()

    def client_to_server(self):
        try:
            while data := self.client.recv(CHUNK):
                self.server.sendall(data)
        except OSError:
            pass
        end_sending(self.server)

    def server_to_client(self):
        reader = self.server.makefile("rb")
        try:
            for line in reader:
                match = re.match(rb"227 .*?(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)", line)
                if match:
                    line = self.relay_passive(int(match.group(5)) * 256 + int(match.group(6)))
                if not self.silenced:
                    self.client.sendall(line)
        except OSError:
            pass
        end_sending(self.client)

    def relay_passive(self, server_port):
        listener = socket.create_server((self.address, 0))
        port = listener.getsockname()[1]
        threading.Thread(target=self.relay_data, args=(listener, server_port), daemon=True).start()
        host = self.address.replace(".", ",")
        return ("227 Entering Passive Mode (%s,%d,%d).\r\n" % (host, port // 256, port % 256)).encode()

    def relay_data(self, listener, server_port):
        listener.settimeout(30)
        try:
            client, _ = listener.accept()
        except OSError:
            return
        finally:
            listener.close()
        server = socket.create_connection((self.address, server_port))
        threading.Thread(target=self.pump_down, args=(server, client), daemon=True).start()
        sent, fault, whole = self.pump_up(client, server)
        # Logged before the server can learn how the data ended, so before
        # the client can see the outcome and the test stop the relay.
        with lock:
            self.log.write("data %d\n" % sent)
            self.log.flush()
        if whole:
            if fault == "drop":
                self.silenced = True
            end_sending(server)
            return
        if fault.startswith("stall:"):
            time.sleep(STALL_SECONDS)
        reset(client)
        reset(server)

    def pump_up(self, client, server):
        """Relays the client's data until it ends or the fault strikes:
        the bytes relayed, the fault, and whether the data ended whole."""
        sent = 0
        fault = None
        try:
            while data := client.recv(CHUNK):
                if fault is None:
                    fault = self.fault if take_fault() else ""
                limit = int(fault.split(":")[1]) if ":" in fault else None
                if limit is not None and sent + len(data) >= limit:
                    server.sendall(data[:limit - sent])
                    return limit, fault, False
                server.sendall(data)
                sent += len(data)
        except OSError:
            return sent, "", False
        return sent, fault or "", True

    @staticmethod
    def pump_down(server, client):
        try:
            while data := server.recv(CHUNK):
                client.sendall(data)
            client.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def main():
    address, server_port, log_path, fault = sys.argv[1:5]
    listener = socket.create_server((address, 21))
    with open(log_path, "w") as log:
        open(log_path + ".ready", "w").close()
        while True:
            client, _ = listener.accept()
            session = Session(client, address, int(server_port), log, fault)
            threading.Thread(target=session.run, daemon=True).start()


main()
