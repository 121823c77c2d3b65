#!/usr/bin/python3
"""A scripted FTP server for the program's end-to-end tests.

    scripted_ftpd.py ROOT RUNDIR [REPLY...]

Listens on 127.0.0.1:21, serves one client session and exits. Each REPLY
answers one STOR in turn instead of accepting it (for instance "553 Bad
name"); STORs past them are accepted and the file is written into ROOT.
Every command line received goes to RUNDIR/commands.log; RUNDIR/ready
appears once the server listens. Standard library only.
"""
import os
import socket
import sys

WAIT_SECONDS = 20


def serve(control, root, refusals, log):
    data_listener = None

    def reply(line):
        control.sendall(line.encode("latin-1") + b"\r\n")

    reply("220 Talven test server")
    reader = control.makefile("rb")
    for raw in reader:
        line = raw.rstrip(b"\r\n").decode("latin-1")
        log.write(line + "\n")
        log.flush()
        verb, _, argument = line.partition(" ")
        if verb == "USER":
            reply("331 Password please.")
        elif verb == "PASS":
            reply("230 Logged in.")
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
            if refusals:
                data.close()
                reply(refusals.pop(0))
                continue
            reply("150 Ok to send data.")
            with open(os.path.join(root, os.path.basename(argument)), "wb") as stored:
                while chunk := data.recv(65536):
                    stored.write(chunk)
            data.close()
            reply("226 Transfer complete.")
        elif verb == "QUIT":
            reply("221 Goodbye.")
            return
        else:
            reply("502 Not implemented.")


def main():
    root, rundir, refusals = sys.argv[1], sys.argv[2], sys.argv[3:]
    listener = socket.create_server(("127.0.0.1", 21))
    listener.settimeout(WAIT_SECONDS)
    open(os.path.join(rundir, "ready"), "w").close()
    control, _ = listener.accept()
    control.settimeout(WAIT_SECONDS)
    with open(os.path.join(rundir, "commands.log"), "w") as log:
        serve(control, root, refusals, log)
    control.close()


main()
