"""The benchmark's Python ftplib client: one passive session on 127.0.0.1
that uploads or downloads one file in binary mode with 8 KiB blocks.

    ftplib_transfer.py PORT put LOCAL REMOTE
    ftplib_transfer.py PORT get REMOTE LOCAL
"""
import ftplib
import sys


def main():
    port, operation, first, second = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port)
    ftp.login("anonymous", "")
    ftp.set_pasv(True)
    if operation == "put":
        with open(first, "rb") as source:
            ftp.storbinary("STOR " + second, source, blocksize=8192)
    else:
        with open(second, "wb") as target:
            ftp.retrbinary("RETR " + first, target.write, blocksize=8192)
    ftp.quit()


if __name__ == "__main__":
    main()
