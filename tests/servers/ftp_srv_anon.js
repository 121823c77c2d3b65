// Anonymous ftp-srv server for Talven's tests (ftp-srv from npm, pinned in
// ftp-srv/package-lock.json, installed by install.sh).
//
//   node ftp_srv_anon.js MODULES PORT ROOT PASV_MIN PASV_MAX [ADDRESS [CERTFILE]]
//
// MODULES is the node_modules directory that holds ftp-srv. Listens on
// ADDRESS:PORT only (127.0.0.1 by default, or ::1). USER anonymous logs in
// at once (230, no PASS asked: ftp-srv refuses an empty password with 501)
// and lands in ROOT; every command is allowed. Passive mode uses ports
// PASV_MIN..PASV_MAX on 127.0.0.1 (EPSV names the port alone). With CERTFILE
// (certificate and key) the server takes AUTH TLS and refuses a login that
// did not come over TLS; ftp-srv then handshakes each data connection as it
// accepts it, before its 150, and always protects the data. Logs go to
// stdout.
'use strict';
const fs = require('fs');
const path = require('path');

const [modules, port, root, pasvMin, pasvMax, address = '127.0.0.1', certFile] = process.argv.slice(2);
const FtpSrv = require(path.join(modules, 'ftp-srv'));
const bunyan = require(path.join(modules, 'bunyan'));

const host = address.includes(':') ? `[${address}]` : address;
const options = {
  url: `ftp://${host}:${port}`,
  pasv_url: '127.0.0.1',
  pasv_min: Number(pasvMin),
  pasv_max: Number(pasvMax),
  anonymous: true,
  greeting: 'Talven test ftp-srv',
  log: bunyan.createLogger({name: 'ftp-srv', level: 'info', stream: process.stdout}),
};
if (certFile) {
  const pem = fs.readFileSync(certFile);
  options.tls = {key: pem, cert: pem};
}
// ftp-srv 4.6.3 starts TLS on the control connection only once its 234 has
// been written: a client hello that comes at once (as on loopback) is read
// as commands too, and answered with 502 (curl fails alike). Here the
// commands are read from the TLS connection alone, never again from the
// plain socket beneath it.
const auth = require(path.join(modules, 'ftp-srv/src/commands/registry')).AUTH;
const startTls = auth.handler;
auth.handler = function (request) {
  const plain = this.commandSocket;
  if (String(request.command.arg).toUpperCase() !== 'TLS' || !this.server.options.tls || this.secure) {
    return startTls.call(this, request);
  }
  const readers = plain.listeners('data');
  plain.removeAllListeners('data');
  // What comes meanwhile stays buffered for TLS to take as it starts.
  plain.pause();
  return startTls.call(this, request).then((result) => {
    readers.forEach((reader) => this.commandSocket.on('data', reader));
    return result;
  });
};
const server = new FtpSrv(options);
server.on('login', ({connection}, resolve, reject) => {
  if (certFile && !connection.secure) return reject(new Error('TLS required'));
  return resolve({root});
});
server.listen().catch((error) => {
  console.error(error);
  process.exit(1);
});
