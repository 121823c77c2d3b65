#!/usr/bin/python3
"""A scripted explicit-FTPS server for the client's TLS cases.

    tls_ftpd.py CASE RUNDIR

Makes a test CA and certificates in RUNDIR (RUNDIR/ca.pem is the CA the
client is to trust, RUNDIR/pin the SHA-256 fingerprint of a self-signed
certificate), listens on 127.0.0.1 at a free port written to RUNDIR/port,
serves one session as CASE says and exits. What the server saw goes to
RUNDIR/log, one line each: every command, and facts about the data
connections ("resumed", "close_notify", "bare close").

CASE is "normal" or one of the faults handled below.
"""
import datetime
import ipaddress
import os
import socket
import ssl
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

WAIT_SECONDS = 10
LISTING = b"-rw-r--r-- 1 ftp ftp 5 Jan 01 00:00 a.txt\r\ndrwxr-xr-x 2 ftp ftp 0 Jan 01 00:00 sub\r\n"
AUTH_REFUSALS = {"auth500": "500 AUTH not understood", "auth502": "502 Not implemented",
                 "auth504": "504 Unknown security mechanism", "auth530": "530 Not logged in",
                 "auth534": "534 Policy requires plain FTP"}


def name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def certificate(subject, key, issuer, issuer_key, names, ca=False, expired=False):
    now = datetime.datetime.now(datetime.timezone.utc)
    start, end = (now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)) if expired else \
        (now - datetime.timedelta(days=1), now + datetime.timedelta(days=30))
    builder = (x509.CertificateBuilder().subject_name(name(subject)).issuer_name(issuer)
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(start).not_valid_after(end)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if names:
        builder = builder.add_extension(x509.SubjectAlternativeName(names), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def write_pair(rundir, stem, cert, key):
    with open(os.path.join(rundir, stem + ".pem"), "wb") as out:
        out.write(cert.public_bytes(serialization.Encoding.PEM))
        out.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption()))
    return os.path.join(rundir, stem + ".pem")


def server_certificate(case, rundir):
    """The certificate file the server shows in CASE; writes ca.pem and pin."""
    local = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca = certificate("Talven Test CA", ca_key, name("Talven Test CA"), ca_key, None, ca=True)
    with open(os.path.join(rundir, "ca.pem"), "wb") as out:
        out.write(ca.public_bytes(serialization.Encoding.PEM))
    key = ec.generate_private_key(ec.SECP256R1())
    if case in ("untrusted", "pinned", "pin_mismatch"):
        # Self-signed: trusted by no store, accepted only through its pin.
        cert = certificate("localhost", key, name("localhost"), key, local)
    elif case == "expired":
        cert = certificate("localhost", key, ca.subject, ca_key, local, expired=True)
    elif case == "wrong_name":
        cert = certificate("other.example", key, ca.subject, ca_key, [x509.DNSName("other.example")])
    else:
        cert = certificate("localhost", key, ca.subject, ca_key, local)
    with open(os.path.join(rundir, "pin"), "w") as out:
        out.write(":".join("%02X" % b for b in cert.fingerprint(hashes.SHA256())))
    return write_pair(rundir, "server", cert, key)


def context(cert_file):
    made = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    made.load_cert_chain(cert_file)
    return made


class Session:
    def __init__(self, case, control, tls, cert_file, log):
        self.case, self.sock, self.tls, self.cert_file, self.log = case, control, tls, cert_file, log
        self.unread = b""
        self.listener = None

    def reply(self, line):
        self.sock.sendall(line.encode() + b"\r\n")

    def read_line(self):
        while b"\n" not in self.unread:
            chunk = self.sock.recv(4096)
            if not chunk:
                return None
            self.unread += chunk
        line, self.unread = self.unread.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def note(self, fact):
        self.log.write(fact + "\n")
        self.log.flush()

    def secure_data(self):
        """Takes the data connection and does its handshake, as vsftpd does:
        after the 150. None when the client did not resume the session."""
        raw, _ = self.listener.accept()
        raw.settimeout(WAIT_SECONDS)
        self.listener.close()
        # Another context cannot resume the control connection's session.
        ctx = context(self.cert_file) if self.case == "not_resumed" else self.tls
        data = ctx.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
        if not data.session_reused:
            self.note("not resumed")
            data.close()
            return None
        self.note("resumed")
        return data

    def send_data(self, data, payload):
        data.sendall(payload)
        if self.case == "no_close_notify":
            data.close()  # the socket closes without close_notify
        else:
            data.unwrap().close()

    def serve(self):
        self.reply("220 Talven TLS test server")
        while (line := self.read_line()) is not None:
            self.note(line)
            verb = line.split(" ")[0]
            if verb == "AUTH":
                if self.case == "auth_stall":
                    self.reply("234 Proceed")
                    self.sock.recv(65536)  # the client's hello, never answered
                    self.read_line()
                    return
                if self.case in AUTH_REFUSALS:
                    self.reply(AUTH_REFUSALS[self.case])
                    continue
                self.reply("234 Proceed with negotiation.")
                self.sock = self.tls.wrap_socket(self.sock, server_side=True)
            elif verb == "USER":
                self.reply("331 Password please.")
            elif verb == "PASS":
                self.reply("230 Logged in.")
            elif verb == "PBSZ":
                self.reply("501 PBSZ refused" if self.case == "pbsz_refused" else "200 PBSZ=0")
            elif verb == "PROT":
                self.reply("536 PROT P refused" if self.case == "prot_refused" else "200 Protection set to Private")
            elif verb == "TYPE":
                self.reply("200 Type set.")
            elif verb == "PASV":
                self.listener = socket.create_server(("127.0.0.1", 0))
                self.listener.settimeout(WAIT_SECONDS)
                port = self.listener.getsockname()[1]
                self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (port // 256, port % 256))
            elif verb in ("STOR", "RETR", "LIST"):
                self.reply("150 Ok to send data.")
                data = self.secure_data()
                if data is None:
                    self.reply("522 SSL connection failed: session reuse required")
                    continue
                if verb == "STOR":
                    self.receive_upload(data)
                else:
                    self.send_data(data, b"0123456789" * 10000 if verb == "RETR" else LISTING)
                self.reply("226 Transfer complete.")
            elif verb == "QUIT":
                self.reply("221 Goodbye.")
                return
            else:
                self.reply("502 Not implemented.")

    def receive_upload(self, data):
        size = 0
        try:
            while chunk := data.recv(65536):
                size += len(chunk)
            self.note("close_notify %d" % size)
            data.unwrap().close()
        except (ssl.SSLEOFError, ssl.SSLZeroReturnError, OSError):
            self.note("bare close %d" % size)
            data.close()


def main():
    case, rundir = sys.argv[1], sys.argv[2]
    cert_file = server_certificate(case, rundir)
    tls = context(cert_file)
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(WAIT_SECONDS)
    with open(os.path.join(rundir, "port.new"), "w") as out:
        out.write(str(listener.getsockname()[1]))
    os.rename(os.path.join(rundir, "port.new"), os.path.join(rundir, "port"))
    control, _ = listener.accept()
    control.settimeout(WAIT_SECONDS)
    with open(os.path.join(rundir, "log"), "w") as log:
        try:
            Session(case, control, tls, cert_file, log).serve()
        except (ssl.SSLError, OSError) as error:
            log.write("ended: %s\n" % type(error).__name__)


main()
