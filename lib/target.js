'use strict';
// Connect targets given as URLs or file paths, turned into the parameter
// objects the native connect understands. A target that names a database
// must reach that database or fail: it never falls back to a private
// in-memory one.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { fileURLToPath } = require('url');

const SERVER_URL = /^postgres(?:ql)?:\/\//i;
const FILE_URL = /^file:/i;
const ANY_URL = /^[a-z][a-z0-9+.-]+:\/\//i;
const SSL_MODES = ['disable', 'allow', 'prefer', 'require', 'verify-ca', 'verify-full'];

function argumentError(message) {
  const err = new Error(message);
  err.code = -20002;
  err.sqlState = 'HY000';
  return err;
}

// The password never appears in a message.
function redacted(text) {
  return text.replace(/^([a-z][a-z0-9+.-]*:\/\/[^/?#@:]*:)[^/?#@]*@/i, '$1***@');
}

function urlError(text, reason) {
  return argumentError(`Invalid connection URL "${redacted(text)}": ${reason}`);
}

function decode(text, url, what) {
  try {
    return decodeURIComponent(text);
  } catch (err) {
    throw urlError(url, `bad percent-encoding in the ${what}`);
  }
}

function parsePort(text, url) {
  const port = Number(text);
  if (!/^\d+$/.test(text) || port < 1 || port > 65535) {
    throw urlError(url, `port "${text}" is not a number from 1 to 65535`);
  }
  return text;
}

// One "host[:port]" or "[v6 address][:port]" of a host list.
function parseHost(text, url) {
  let host = text;
  let port = '';
  if (text.startsWith('[')) {
    const close = text.indexOf(']');
    if (close < 0) throw urlError(url, `"${text}" has no closing "]"`);
    host = text.slice(1, close);
    const rest = text.slice(close + 1);
    if (rest !== '' && !rest.startsWith(':')) {
      throw urlError(url, `unexpected "${rest}" after "${text.slice(0, close + 1)}"`);
    }
    port = rest.slice(1);
  } else if (text.includes(':')) {
    const colon = text.indexOf(':');
    host = text.slice(0, colon);
    port = text.slice(colon + 1);
  }
  if (port !== '' || text.endsWith(':')) parsePort(port, url);
  return { host: decode(host, url, 'host'), port };
}

function parseHostList(text, url) {
  if (text === '') return [];
  const hosts = text.split(',').map((item) => parseHost(item, url));
  if (hosts.some((h) => h.host === '')) throw urlError(url, 'a host in the list is empty');
  return hosts;
}

function parseQuery(text, url) {
  const pairs = [];
  if (!text) return pairs;
  for (const item of text.split('&')) {
    if (item === '') continue;
    const eq = item.indexOf('=');
    if (eq <= 0) throw urlError(url, `parameter "${item}" is not name=value`);
    pairs.push([decode(item.slice(0, eq), url, 'parameters'), decode(item.slice(eq + 1), url, 'parameters')]);
  }
  return pairs;
}

function readPem(file, name, url) {
  try {
    return fs.readFileSync(file, 'utf8');
  } catch (err) {
    throw urlError(url, `cannot read ${name} "${file}": ${err.message}`);
  }
}

// The trust anchor of a verifying mode: sslrootcert, else the file the
// server's own clients look for by default.
function rootCertificate(options, url) {
  if (options.sslrootcert) return readPem(options.sslrootcert, 'sslrootcert', url);
  const fallback = path.join(os.homedir(), '.postgresql', 'root.crt');
  if (fs.existsSync(fallback)) return readPem(fallback, 'sslrootcert', url);
  throw urlError(url, `sslmode=${options.sslmode} needs sslrootcert`);
}

// sslmode onto the TLS properties: "prefer" and "allow" are the library's
// default (TLS when the server offers it), "require" insists on TLS, the
// verifying modes check the server's certificate, "verify-full" its name too.
function tlsParams(options, url) {
  const mode = options.sslmode === undefined ? '' : options.sslmode.toLowerCase();
  if (mode !== '' && !SSL_MODES.includes(mode)) throw urlError(url, `unknown sslmode "${options.sslmode}"`);
  const params = {};
  if (options.sslcert) params.cert = readPem(options.sslcert, 'sslcert', url);
  if (options.sslkey) params.key = readPem(options.sslkey, 'sslkey', url);
  if (mode === 'disable') params.ENCRYPT = 'FALSE';
  else if (mode === 'require' && !options.sslrootcert) params.ENCRYPT = 'TRUE';
  else if (mode === 'require' || mode.startsWith('verify-')) {
    params.ca = rootCertificate(Object.assign({}, options, { sslmode: mode }), url);
    if (mode !== 'verify-full') params.sslValidateCertificate = 'FALSE';
  }
  return params;
}

const URL_PARAMETERS = ['host', 'port', 'user', 'password', 'dbname', 'sslmode', 'sslrootcert', 'sslcert', 'sslkey',
  'connect_timeout'];

function splitParameters(pairs) {
  const known = {};
  const extra = {};
  for (const [name, value] of pairs) {
    if (URL_PARAMETERS.includes(name)) known[name] = value;
    else extra[name] = value;
  }
  return { known, extra };
}

function serverAddress(authorityHosts, known, url) {
  let hosts = known.host !== undefined ? parseHostList(known.host, url) : authorityHosts;
  if (hosts.length === 0) hosts = [{ host: 'localhost', port: '' }];
  if (known.port !== undefined) {
    const ports = known.port.split(',').map((p) => parsePort(p, url));
    if (ports.length !== 1 && ports.length !== hosts.length) {
      throw urlError(url, 'the port list does not match the host list');
    }
    hosts = hosts.map((h, i) => ({ host: h.host, port: ports.length === 1 ? ports[0] : ports[i] }));
  }
  if (hosts.length === 1) return hosts[0].port ? { host: hosts[0].host, port: hosts[0].port } : { host: hosts[0].host };
  return { hosts: hosts.map((h) => (h.port ? { host: h.host, port: h.port } : { host: h.host })) };
}

function timeoutParams(known, url) {
  if (known.connect_timeout === undefined) return {};
  if (!/^\d+$/.test(known.connect_timeout)) throw urlError(url, 'connect_timeout is not a number of seconds');
  return { CONNECTTIMEOUT: String(Number(known.connect_timeout) * 1000) };
}

function parseServerUrl(url) {
  const match = /^[a-z]+:\/\/([^/?#]*)(\/[^?#]*)?(?:\?([^#]*))?$/i.exec(url);
  if (!match) throw urlError(url, 'a fragment ("#...") is not allowed');
  const [, authority, dbPath = '', query] = match;
  const at = authority.lastIndexOf('@');
  const userInfo = at < 0 ? null : authority.slice(0, at);
  const { known, extra } = splitParameters(parseQuery(query, url));
  const params = {};
  if (userInfo !== null) {
    const colon = userInfo.indexOf(':');
    const user = decode(colon < 0 ? userInfo : userInfo.slice(0, colon), url, 'user name');
    if (user !== '') params.user = user;
    if (colon >= 0) params.password = decode(userInfo.slice(colon + 1), url, 'password');
  }
  if (known.user !== undefined) params.user = known.user;
  if (known.password !== undefined) params.password = known.password;
  Object.assign(params, serverAddress(parseHostList(authority.slice(at + 1), url), known, url));
  const database = known.dbname !== undefined ? known.dbname : decode(dbPath.slice(1), url, 'database name');
  if (database !== '') params.database = database;
  return Object.assign(params, tlsParams(known, url), timeoutParams(known, url), extra);
}

// "file:///abs/path", "file:relative/path", each with optional parameters
// that become connection properties.
function parseFileUrl(url) {
  const question = url.indexOf('?');
  const location = question < 0 ? url : url.slice(0, question);
  if (location.includes('#')) throw urlError(url, 'a fragment ("#...") is not allowed');
  let file;
  if (/^file:\/\//i.test(location)) {
    try {
      file = fileURLToPath(location);
    } catch (err) {
      throw urlError(url, err.message);
    }
  } else {
    file = decode(location.slice('file:'.length), url, 'path');
  }
  if (file === '') throw urlError(url, 'no file path');
  const extra = Object.fromEntries(parseQuery(question < 0 ? '' : url.slice(question + 1), url));
  return Object.assign({ databaseName: file }, extra);
}

function isUrlObject(value) {
  return value instanceof URL;
}

function parseTargetString(text) {
  if (SERVER_URL.test(text)) return parseServerUrl(text);
  if (FILE_URL.test(text)) return parseFileUrl(text);
  if (ANY_URL.test(text)) throw urlError(text, 'the scheme is not postgres:, postgresql: or file:');
  if (text === '' || text.includes('=')) return text;
  return { databaseName: text };
}

// The connect target as the native side takes it: URLs and file paths
// become parameter objects; connection strings ("name=value;...") and
// everything else pass through (the native side refuses a property value
// that is not text, a number or a boolean, URL objects included). Throws an argument error (-20002) for a
// URL it cannot read.
function connectParams(target) {
  if (typeof target === 'string') return parseTargetString(target);
  if (isUrlObject(target)) return parseTargetString(target.href);
  return target;
}

const SERVER_KEYS = ['host', 'hosts', 'servernode'];

// Whether a target reaches a server rather than the embedded database, by
// the same rule the client library chooses its backend with.
function namesServer(target) {
  let params;
  try {
    params = connectParams(target);
  } catch (invalid) {
    return false;
  }
  if (typeof params === 'string') return /(^|;)\s*(servernode|hosts?)\s*=\s*[^;\s]/i.test(params);
  if (params === null || typeof params !== 'object') return false;
  return Object.keys(params).some((key) => SERVER_KEYS.includes(key.toLowerCase()) && Boolean(params[key]));
}

module.exports = { connectParams, namesServer };
