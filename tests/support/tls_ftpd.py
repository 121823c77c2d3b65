#!/usr/bin/python3
"""A scripted explicit-FTPS server for the client's TLS cases.

    tls_ftpd.py CASE RUNDIR CADIR [--resumption-optional]

Makes a test CA in CADIR, or takes the one made there before (Windows'
chain engine reads the trust store once per process: the client then
trusts one CA for all its cases), copies it to RUNDIR/ca.pem for the client
to trust, makes the server's certificate for CASE (RUNDIR/pin: its SHA-256
fingerprint), writes its free port on 127.0.0.1 to RUNDIR/port, serves one
session and exits. Data connections must resume the control connection's
session unless --resumption-optional is given. RUNDIR/log
gets every command and what the data connections did ("resumed",
"close_notify SIZE", "bare close SIZE"). CASE is "normal" or a fault below.
A client that never sends AUTH TLS gets the same session in clear, data
connections included: the stall cases serve plain sessions too.
"""
import datetime
import hashlib
import hmac
import ipaddress
import os
import select
import socket
import ssl
import sys
import threading
import time

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.x509.oid import NameOID

WAIT_SECONDS = 10
# The command each refusing case refuses, and how.
REFUSALS = {"auth500": ("AUTH", "500 AUTH not understood"), "auth502": ("AUTH", "502 Not implemented"),
            "auth504": ("AUTH", "504 Unknown security mechanism"), "auth530": ("AUTH", "530 Not logged in"),
            "auth534": ("AUTH", "534 Policy requires plain FTP"), "pbsz_refused": ("PBSZ", "501 PBSZ refused"),
            "prot_refused": ("PROT", "536 PROT P refused")}
WILDCARDS = {"wildcard": "*.talven.test", "partial_wildcard": "f*.talven.test"}
# The cases whose data connection sends records made here.
HAND_MADE = ("empty_record", "close_at_once")
LOCAL = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]


def certificate(subject, key, issuer_key, names, issuer=None, days=(-1, 30)):
    now = datetime.datetime.now(datetime.timezone.utc)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)])
    builder = (x509.CertificateBuilder().subject_name(name).issuer_name(issuer or name)
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now + datetime.timedelta(days=days[0]))
               .not_valid_after(now + datetime.timedelta(days=days[1]))
               .add_extension(x509.BasicConstraints(ca=not names, path_length=None), critical=True))
    if names:
        builder = builder.add_extension(x509.SubjectAlternativeName(names), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def test_ca(cadir):
    pem = serialization.Encoding.PEM
    key_file, cert_file = os.path.join(cadir, "ca.key"), os.path.join(cadir, "ca.pem")
    if os.path.exists(cert_file):
        with open(key_file, "rb") as key_in, open(cert_file, "rb") as cert_in:
            return serialization.load_pem_private_key(key_in.read(), None), x509.load_pem_x509_certificate(cert_in.read())
    # RSA: under Wine 8 a chain whose CA signed with ECDSA failed now and
    # then (about one check in 300; an ECDSA signature's length varies).
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    # A name of its own: Windows finds the issuer by name, and test programs
    # that share a trust store each trust a CA of their own.
    ca = certificate("Talven Test CA %d" % x509.random_serial_number(), key, key, None)
    with open(key_file + ".new", "wb") as key_out, open(cert_file + ".new", "wb") as cert_out:
        key_out.write(key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
        cert_out.write(ca.public_bytes(pem))
    os.rename(key_file + ".new", key_file)
    os.rename(cert_file + ".new", cert_file)
    return key, ca


def make_context(case, rundir, cadir):
    ca_key, ca = test_ca(cadir)
    key = ec.generate_private_key(ec.SECP256R1())
    if case in ("untrusted", "pinned", "pin_mismatch"):
        cert = certificate("localhost", key, key, LOCAL)  # self-signed
    elif case == "expired":
        cert = certificate("localhost", key, ca_key, LOCAL, ca.subject, days=(-30, -1))
    elif case == "wrong_name":
        cert = certificate("other.example", key, ca_key, [x509.DNSName("other.example")], ca.subject)
    elif case in WILDCARDS:  # checked against fa.talven.test
        cert = certificate(WILDCARDS[case], key, ca_key, [x509.DNSName(WILDCARDS[case])], ca.subject)
    else:
        cert = certificate("localhost", key, ca_key, LOCAL, ca.subject)
    pem = serialization.Encoding.PEM
    files = {"ca.pem": ca.public_bytes(pem),
             "pin": ":".join("%02X" % b for b in cert.fingerprint(hashes.SHA256())).encode(),
             "server.pem": cert.public_bytes(pem) + key.private_bytes(
                 pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())}
    for name, content in files.items():
        with open(os.path.join(rundir, name), "wb") as out:
            out.write(content)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(rundir, "server.pem"))
    if case in HAND_MADE:  # records made by hand: TLS 1.2, one cipher, keys logged
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.set_ciphers("ECDHE-ECDSA-AES128-GCM-SHA256")
        context.keylog_filename = os.path.join(rundir, "keylog")
    if case == "client_cert_asked":  # asks for a client certificate, as vsftpd does by default
        context.verify_mode = ssl.CERT_OPTIONAL
        context.load_verify_locations(os.path.join(rundir, "ca.pem"))
    return context


def prf_sha256(secret, label, seed, size):
    out, a = b"", label + seed
    while len(out) < size:
        a = hmac.new(secret, a, hashlib.sha256).digest()
        out += hmac.new(secret, a + label + seed, hashlib.sha256).digest()
    return out[:size]


class HandMadeRecords:
    """The server's TLS 1.2 AES-128-GCM records after a handshake made
    through memory: OpenSSL never sends an empty record, so the data's
    records are made here from the logged master secret."""

    def __init__(self, context, raw, keylog):
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls, received, sent = context.wrap_bio(incoming, outgoing, server_side=True), b"", b""
        while True:
            try:
                self.tls.do_handshake()
                done = True
            except ssl.SSLWantReadError:
                done = False
            flight = outgoing.read()
            raw.sendall(flight)
            sent += flight
            if done:
                break
            chunk = raw.recv(65536)
            if not chunk:
                raise OSError("closed in the handshake")
            received += chunk
            incoming.write(chunk)
        client_random, server_random = received[11:43], sent[11:43]
        with open(keylog) as lines:
            logged = {line.split()[1]: bytes.fromhex(line.split()[2]) for line in lines
                      if line.startswith("CLIENT_RANDOM ")}
        # A resumed session keeps the master secret of the one it resumes.
        master = logged.get(client_random.hex()) or list(logged.values())[-1]
        block = prf_sha256(master, b"key expansion", server_random + client_random, 40)
        self.aead, self.salt, self.sequence = AESGCM(block[16:32]), block[36:40], 1  # 0: the Finished

    def record(self, kind, plain):
        sequence = self.sequence.to_bytes(8, "big")
        self.sequence += 1
        header = bytes([kind]) + b"\x03\x03"
        body = sequence + self.aead.encrypt(self.salt + sequence, plain,
                                            sequence + header + len(plain).to_bytes(2, "big"))
        return header + len(body).to_bytes(2, "big") + body


def trickle(raw, inner, handshaken):
    """Relays between the client (raw) and the server's TLS (inner): the
    handshake at once, then the server's bytes one at a time, 0.15 s apart,
    until either side ends."""
    try:
        while ready := select.select([raw, inner], [], [], WAIT_SECONDS)[0]:
            for source in ready:
                chunk = source.recv(65536)
                if not chunk:
                    return
                if source is raw:
                    inner.sendall(chunk)
                elif not handshaken.is_set():
                    raw.sendall(chunk)
                else:
                    for byte in chunk:
                        raw.sendall(bytes([byte]))
                        time.sleep(0.15)
    except OSError:
        pass
    finally:
        raw.close()
        inner.close()


class Session:
    def __init__(self, case, control, tls, fresh_tls, log, resumption_optional, rundir):
        self.case, self.sock, self.tls, self.fresh_tls, self.log = case, control, tls, fresh_tls, log
        self.rundir = rundir
        self.resumption_optional = resumption_optional
        self.unread, self.listener, self.secured = b"", None, False

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

    def hold(self):
        """A stall: nothing more is sent or closed until the client has gone."""
        self.read_line()
        return "held"

    def end_data(self, data):
        if self.secured:
            data = data.unwrap()
        data.close()

    def secure_data(self):
        """The data connection's handshake, after the 150 as vsftpd does it
        (before it in case handshake_first, as ftp-srv does it); None when the
        client did not resume the control session."""
        raw, _ = self.listener.accept()
        raw.settimeout(WAIT_SECONDS)
        if not self.secured:
            return raw
        handshaken = threading.Event()
        if self.case == "trickled_data":  # the data's TLS records come a byte at a time
            inner, outer = socket.socketpair()
            self.relay = threading.Thread(target=trickle, args=(raw, outer, handshaken))
            self.relay.start()
            raw = inner
        # Another context cannot resume the control connection's session.
        context = self.fresh_tls if self.case == "not_resumed" else self.tls
        data = context.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
        if self.case == "trickled_data":
            # In TLS 1.2 the server's last flight (its Finished) leaves as the
            # handshake ends here: the relay passes it at once before trickling.
            time.sleep(0.3)
        handshaken.set()
        self.note("resumed" if data.session_reused else "not resumed")
        if data.session_reused or self.resumption_optional:
            return data
        data.close()
        return None

    def send_hand_made_records(self):
        """The download's data in records of 10000 bytes, then close_notify:
        in empty_record an empty record among them, each record sent on its
        own, the client's end awaited; in close_at_once all in one send, the
        socket closed at once."""
        raw, _ = self.listener.accept()
        raw.settimeout(WAIT_SECONDS)
        records = HandMadeRecords(self.tls, raw, os.path.join(self.rundir, "keylog"))
        self.note("resumed" if records.tls.session_reused else "not resumed")
        payload = b"0123456789" * 10000
        pieces = [payload[i:i + 10000] for i in range(0, len(payload), 10000)]
        if self.case == "close_at_once":
            raw.sendall(b"".join(records.record(23, piece) for piece in pieces) + records.record(21, b"\x01\x00"))
            raw.close()
            return self.reply("226 Transfer complete.")
        for piece in pieces[:5] + [b""] + pieces[5:]:
            raw.sendall(records.record(23, piece))
        raw.sendall(records.record(21, b"\x01\x00"))  # close_notify
        try:
            while raw.recv(65536):
                pass
        except OSError:
            pass
        raw.close()
        self.reply("226 Transfer complete.")

    def go_ahead(self):
        """The 150 and the data connection, in the order of the case."""
        if self.case == "early_completion":  # the 226 comes with the 150, before the data
            self.sock.sendall(b"150 Ok to send data.\r\n226 Transfer complete.\r\n")
            return self.secure_data()
        if self.case == "handshake_first":
            data = self.secure_data()
            self.reply("150 Ok to send data.")
            return data
        self.reply("150 Ok to send data.")
        return self.secure_data()

    def transfer(self, verb):
        """A transfer; the stall_ cases stop at one point of it for good:
        stall_go_ahead no reply to the command, stall_handshake a data
        connection taken but never handshaken, stall_mid_data the data
        stopped after a while (an upload's never read), stall_mid_line a
        listing stopped within a line, stall_after_close_notify an upload read
        to its end but neither closed nor confirmed, stall_completion the data
        ended but never confirmed."""
        if self.case == "stall_go_ahead":
            return self.hold()
        if self.case == "refused":  # the data connection closed at once, then the refusal (proftpd)
            raw, _ = self.listener.accept()
            raw.close()
            time.sleep(0.2)
            return self.reply("550 No such file.")
        if self.case == "stall_handshake":
            self.reply("150 Ok to send data.")
            raw, _ = self.listener.accept()
            return self.hold()
        if self.case in HAND_MADE and verb == "RETR":
            self.reply("150 Ok to send data.")
            return self.send_hand_made_records()
        data = self.go_ahead()
        if data is None:
            return self.reply("522 SSL connection failed: session reuse required")
        if self.case == "trickled_data":
            data.sendall(b"slow")
            return self.relay.join()  # until the client gives up
        if verb == "STOR":
            if self.case == "stall_mid_data":
                return self.hold()
            size = 0
            try:
                if self.case == "slow_reader":  # takes nothing at first: the client's sends fill the socket
                    time.sleep(0.3)
                while chunk := data.recv(65536):
                    size += len(chunk)
                self.note("close_notify %d" % size)
                if self.case == "stall_after_close_notify":
                    return self.hold()
                self.end_data(data)
            except (ssl.SSLError, OSError):
                self.note("bare close %d" % size)
                data.close()
        else:
            listing = b"drwxr-xr-x 2 ftp ftp 0 Jan 01 00:00 sub\r\n"
            whole = b"0123456789" * 10000 if verb == "RETR" else listing
            stalls = {"stall_mid_data": whole[:1000] if verb == "RETR" else listing,
                      "stall_mid_line": listing[:20]}
            if self.case in stalls:
                data.sendall(stalls[self.case])
                return self.hold()
            data.sendall(whole)
            if self.case == "no_close_notify":  # the socket closes without close_notify
                data.close()
            else:
                self.end_data(data)
        if self.case == "stall_completion":
            return self.hold()
        if self.case != "early_completion":
            self.reply("226 Transfer complete.")

    def serve(self):
        replies = {"USER": "331 Password please.", "PASS": "230 Logged in.", "PBSZ": "200 PBSZ=0",
                   "PROT": "200 Protection set to Private", "TYPE": "200 Type set.", "QUIT": "221 Goodbye."}
        self.reply("220 Talven TLS test server")
        while (line := self.read_line()) is not None:
            self.note(line)
            verb = line.split(" ")[0]
            refused, refusal = REFUSALS.get(self.case, (None, None))
            if verb == refused:
                self.reply(refusal)
            elif verb == "AUTH" and self.case == "injected":
                # Replies slipped in after the 234, in clear, in one segment;
                # then a handshake with the trusted certificate, as a
                # man in the middle would pass it on.
                self.sock.sendall(b"234 go\r\n230 injected-login\r\n200 x\r\n200 y\r\n")
                if not self.sock.recv(1, socket.MSG_PEEK):
                    return self.note("after 234: nothing")
                self.sock = self.tls.wrap_socket(self.sock, server_side=True)
            elif verb == "AUTH":
                self.reply("234 Proceed with negotiation.")
                if self.case == "auth_stall":
                    self.sock.recv(65536)  # the client's hello, never answered
                    self.read_line()
                    return
                self.sock = self.tls.wrap_socket(self.sock, server_side=True)
                self.secured = True
            elif verb == "PASV":
                self.listener = socket.socket()
                if self.case == "stall_mid_data":  # an upload that is never read fills few buffers
                    self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                self.listener.bind(("127.0.0.1", 0))
                self.listener.listen()
                self.listener.settimeout(WAIT_SECONDS)
                port = self.listener.getsockname()[1]
                self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (port // 256, port % 256))
            elif verb in ("STOR", "RETR", "LIST"):
                if self.transfer(verb) == "held":
                    return
            else:
                self.reply(replies.get(verb, "502 Not implemented."))
                if verb == "QUIT":
                    return


def main():
    case, rundir, cadir = sys.argv[1:4]
    tls = make_context(case, rundir, cadir)
    fresh_tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    fresh_tls.load_cert_chain(os.path.join(rundir, "server.pem"))
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(WAIT_SECONDS)
    with open(os.path.join(rundir, "port.new"), "w") as out:
        out.write(str(listener.getsockname()[1]))
    os.rename(os.path.join(rundir, "port.new"), os.path.join(rundir, "port"))
    control, _ = listener.accept()
    control.settimeout(WAIT_SECONDS)
    with open(os.path.join(rundir, "log"), "w") as log:
        try:
            Session(case, control, tls, fresh_tls, log, "--resumption-optional" in sys.argv[4:], rundir).serve()
        except (ssl.SSLError, OSError) as error:
            log.write("ended: %s\n" % type(error).__name__)


main()
