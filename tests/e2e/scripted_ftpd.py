#!/usr/bin/python3
"""A scripted FTP server for the program's end-to-end tests.

    scripted_ftpd.py [--tls CERT] [--password PASSWORD] ROOT RUNDIR [ANSWER...]

Listens on 127.0.0.1:21 and serves client sessions one after another until
one ends with QUIT after its last transfer was confirmed (or without any),
or none comes for NEXT_SESSION_SECONDS after a session that ended otherwise
(a client that reconnects comes sooner). With --password it logs in only
with that password: an empty one it refuses with 501, as ftp-srv does (RFC
959 makes a password at least one character), any other with 530; without,
any password. With --tls it
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
    cut:N          takes N bytes, then resets the data connection (426)
    stall:N        takes N bytes, then reads no more until the client
                   closes the data connection (426)
    slow:S         takes the data over about S seconds, 32 KiB at a time,
                   and notes in RUNDIR/times when it began and ended

An ANSWER of the form VERB=reply (for instance "PASV=425 No port") answers
every VERB command with that reply instead. SIZE gives the size of the file
under ROOT (550 when there is none), REST n makes the next STOR write from
byte n on, and APPE appends. STORs past the answers are taken and confirmed
with 226. A data connection that the
client resets is answered with 426. The data goes into ROOT under the
STOR's name. Every command line received goes to RUNDIR/commands.log, and
how each transfer's data ended ("NAME end BYTES" or "NAME reset BYTES") to
RUNDIR/transfers.log; RUNDIR/ready appears once the server listens.
Standard library only.
"""
import os
import socket
import ssl
import struct
import sys
import time

WAIT_SECONDS = 20
# Longer than the short-wait build's longest pause before a reconnect.
NEXT_SESSION_SECONDS = 4
# Longer than the stream wait of the short-wait build of the program.
LATE_SECONDS = 3


def take_data(data, path, answer, restart, transfers):
    """Writes the data connection's bytes to path from byte restart on (None:
    appended); True when it ended in order."""
    grow = answer[len("grow:"):] if answer.startswith("grow:") else None
    cut = int(answer[len("cut:"):]) if answer.startswith("cut:") else None
    stall = int(answer[len("stall:"):]) if answer.startswith("stall:") else None
    slow = float(answer[len("slow:"):]) if answer.startswith("slow:") else None
    received = 0
    ended = False
    mode = "ab" if restart is None else ("r+b" if restart and os.path.exists(path) else "wb")
    with open(path, mode) as stored:
        if restart:
            stored.seek(restart)
            stored.truncate()
        try:
            while chunk := data.recv(min(32768 if slow else 65536, (cut or stall or 1 << 62) - received)):
                if slow:
                    time.sleep(slow / 16)
                stored.write(chunk)
                received += len(chunk)
                if grow and received >= 1 << 20:
                    with open(grow, "ab") as local:
                        local.write(b"one more line\n")
                    grow = None
                if received == cut:
                    data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    break
                if received == stall:
                    time.sleep(LATE_SECONDS)  # past the client's wait
                    break
            else:
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


def note_time(rundir, what):
    with open(os.path.join(rundir, "times"), "a") as times:
        times.write("%s %.6f\n" % (what, time.time()))


def login_reply(given, password):
    if password is None or given == password:
        return "230 Logged in."
    if not given:
        return "501 Password required."
    return "530 Login incorrect."


def serve(control, root, rundir, answers, refusals, log, transfers, tls, password):
    """Serves one session; True when it ended with QUIT and its last
    transfer, if any, was confirmed."""
    data_listener = None
    restart = 0
    confirmed = True

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
        if verb in refusals:
            reply(refusals[verb])
        elif verb == "AUTH" and tls:
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
            if answers and answers[0].startswith(("stall:", "slow:")):
                # So that the client's data stalls rather than fill buffers.
                data_listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
            data_listener.settimeout(WAIT_SECONDS)
            port = data_listener.getsockname()[1]
            reply("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (port // 256, port % 256))
        elif verb == "SIZE":
            path = os.path.join(root, os.path.basename(argument))
            reply("213 %d" % os.path.getsize(path) if os.path.isfile(path) else "550 No such file.")
        elif verb == "REST":
            restart = int(argument)
            reply("350 Restarting at %d." % restart)
        elif verb in ("STOR", "APPE") and data_listener is not None:
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
            path = os.path.join(root, os.path.basename(argument))
            note_time(rundir, "began")
            ended = take_data(data, path, answer, restart if verb == "STOR" else None, transfers)
            restart = 0
            note_time(rundir, "ended")
            confirmed = ended and answer not in ("hang", "late", "close")
            if not ended:
                reply("426 Connection reset; transfer aborted.")
            elif answer == "hang":
                answering = False
            elif answer == "close":
                return False
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
            return confirmed
        else:
            reply("502 Not implemented.")
    return False


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
    root, rundir = arguments[0], arguments[1]
    refusals = dict(a.split("=", 1) for a in arguments[2:] if a.split(" ")[0].isupper() and "=" in a.split(" ")[0])
    answers = [a for a in arguments[2:] if not (a.split(" ")[0].isupper() and "=" in a.split(" ")[0])]
    listener = socket.create_server(("127.0.0.1", 21))
    listener.settimeout(WAIT_SECONDS)
    open(os.path.join(rundir, "ready"), "w").close()
    with open(os.path.join(rundir, "commands.log"), "w") as log, \
            open(os.path.join(rundir, "transfers.log"), "w") as transfers:
        while True:
            try:
                control, _ = listener.accept()
            except socket.timeout:
                return
            control.settimeout(WAIT_SECONDS)
            quit = False
            try:
                quit = serve(control, root, rundir, answers, refusals, log, transfers, tls, password)
            except (ConnectionResetError, BrokenPipeError):
                pass  # the client reset its control connection
            control.close()
            if quit:
                return
            listener.settimeout(NEXT_SESSION_SECONDS)


main()
