#!/usr/bin/python3
"""A scripted FTP server for the program's end-to-end tests.

    scripted_ftpd.py [--tls CERT] [--password PASSWORD] ROOT RUNDIR [ANSWER...]

Listens on 127.0.0.1:21, serves one client session and exits. With
--password it logs in only with that password: an empty one it refuses with
501, as ftp-srv does (RFC 959 makes a password at least one character), any
other with 530; without, any password. With --tls it
takes AUTH TLS, PBSZ and PROT and speaks TLS with the certificate and key
in the PEM file CERT on the control connection and on every data connection
it confirms (from the 150 on). Each ANSWER
answers one STOR in turn:

    4xx/5xx text   refuses it with that reply (for instance "553 Bad name")
    2xx text       takes the data and confirms with that reply
    hang           takes the data, then neither answers nor closes
    late           takes the data and confirms after LATE_SECONDS
    close          takes the data, then closes the control connection
    grow:PATH      appends to PATH (the client's local file) while taking
                   the data

STORs past them are taken and confirmed with 226. A data connection that the
client resets is answered with 426. The data goes into ROOT under the
STOR's name. Every command line received goes to RUNDIR/commands.log, and
how each transfer's data ended ("NAME end BYTES" or "NAME reset BYTES") to
RUNDIR/transfers.log; RUNDIR/ready appears once the server listens.
Standard library only.
"""
import os
import socket
import ssl
import sys
import time

WAIT_SECONDS = 20
# Longer than the stream wait of the short-wait build of the program.
LATE_SECONDS = 3


def take_data(data, path, grow, transfers):
    """Writes the data connection's bytes to path; True when it ended in order."""
    received = 0
    ended = False
    with open(path, "wb") as stored:
        try:
            while chunk := data.recv(65536):
                stored.write(chunk)
                received += len(chunk)
                if grow and received >= 1 << 20:
                    with open(grow, "ab") as local:
                        local.write(b"one more line\n")
                    grow = None
            ended = True
        except ConnectionResetError:
            pass
    if ended and isinstance(data, ssl.SSLSocket):
        try:
            data.unwrap()  # answers the client's close_notify
        except OSError:
            pass
    data.close()
    transfers.write("%s %s %d\n" % (os.path.basename(path), "end" if ended else "reset", received))
    transfers.flush()
    return ended


def login_reply(given, password):
    if password is None or given == password:
        return "230 Logged in."
    if not given:
        return "501 Password required."
    return "530 Login incorrect."


def serve(control, root, answers, log, transfers, tls, password):
    data_listener = None

    def reply(line):
        control.sendall(line.encode("latin-1") + b"\r\n")

    reply("220 Talven test server")
    reader = control.makefile("rb")
    answering = True
    while raw := reader.readline():
        line = raw.rstrip(b"\r\n").decode("latin-1")
        log.write(line + "\n")
        log.flush()
        verb, _, argument = line.partition(" ")
        if not answering:
            continue
        if verb == "AUTH" and tls:
            reply("234 Proceed with negotiation.")
            control = tls.wrap_socket(control, server_side=True)
            reader = control.makefile("rb")
        elif verb in ("PBSZ", "PROT") and tls:
            reply("200 %s set." % verb)
        elif verb == "USER":
            reply("331 Password please.")
        elif verb == "PASS":
            reply(login_reply(argument, password))
        elif verb == "TYPE":
            reply("200 Type set.")
        elif verb == "PASV":
            data_listener = socket.create_server(("127.0.0.1", 0))
            data_listener.settimeout(WAIT_SECONDS)
            port = data_listener.getsockname()[1]
            reply("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (port // 256, port % 256))
        elif verb == "STOR" and data_listener is not None:
            data, _ = data_listener.accept()
            data.settimeout(WAIT_SECONDS)
            data_listener.close()
            data_listener = None
            answer = answers.pop(0) if answers else "226 Transfer complete."
            if answer[0] in "45":
                data.close()
                reply(answer)
                continue
            reply("150 Ok to send data.")
            if tls:
                data = tls.wrap_socket(data, server_side=True)
            grow = answer[len("grow:"):] if answer.startswith("grow:") else None
            if not take_data(data, os.path.join(root, os.path.basename(argument)), grow, transfers):
                reply("426 Connection reset; transfer aborted.")
            elif answer == "hang":
                answering = False
            elif answer == "close":
                return
            elif answer == "late":
                time.sleep(LATE_SECONDS)
                answering = False
                try:
                    reply("226 Transfer complete.")
                except OSError:
                    pass  # the client has given up and gone
            else:
                reply(answer if answer[0] == "2" else "226 Transfer complete.")
        elif verb == "QUIT":
            reply("221 Goodbye.")
            return
        else:
            reply("502 Not implemented.")


def main():
    arguments = sys.argv[1:]
    tls = None
    password = None
    while arguments[0] in ("--tls", "--password"):
        if arguments[0] == "--tls":
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.load_cert_chain(arguments[1])
        else:
            password = arguments[1]
        arguments = arguments[2:]
    root, rundir, answers = arguments[0], arguments[1], arguments[2:]
    listener = socket.create_server(("127.0.0.1", 21))
    listener.settimeout(WAIT_SECONDS)
    open(os.path.join(rundir, "ready"), "w").close()
    control, _ = listener.accept()
    control.settimeout(WAIT_SECONDS)
    with open(os.path.join(rundir, "commands.log"), "w") as log, \
            open(os.path.join(rundir, "transfers.log"), "w") as transfers:
        try:
            serve(control, root, answers, log, transfers, tls, password)
        except ConnectionResetError:
            pass  # the client reset its control connection
    control.close()


main()
