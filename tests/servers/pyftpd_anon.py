"""Anonymous pyftpdlib server for Talven's tests.

Run with /usr/bin/python3 (Debian's python3-pyftpdlib):
    /usr/bin/python3 pyftpd_anon.py PORT ROOT PASV_MIN PASV_MAX [ADDRESS [CERTFILE]]

Listens on ADDRESS:PORT only (127.0.0.1 by default, or ::1); user `anonymous` with any password (also
empty) lands in ROOT with every permission; passive mode advertises
127.0.0.1 and uses ports PASV_MIN..PASV_MAX.  With CERTFILE (certificate and
key) the server requires TLS on the control and data connections (needs
python3-openssl).  Logs go to stderr.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    port, root, pasv_min, pasv_max = sys.argv[1:5]
    address = sys.argv[5] if len(sys.argv) > 5 else "127.0.0.1"
    certfile = sys.argv[6] if len(sys.argv) > 6 else None
    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(asctime)s %(message)s")
    authorizer = DummyAuthorizer()
    # e=CWD l=LIST r=RETR a=APPE d=DELE/RMD f=RNFR/RNTO m=MKD w=STOR
    # M=SITE CHMOD T=MFMT
    authorizer.add_anonymous(root, perm="elradfmwMT")

    if certfile:
        from pyftpdlib.handlers import TLS_FTPHandler
        handler = TLS_FTPHandler
        handler.certfile = certfile
        handler.tls_control_required = True
        handler.tls_data_required = True
    else:
        handler = FTPHandler
    handler.authorizer = authorizer
    handler.passive_ports = range(int(pasv_min), int(pasv_max) + 1)
    if address == "127.0.0.1":
        handler.masquerade_address = address
    handler.permit_foreign_addresses = False

    server = FTPServer((address, int(port)), handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
