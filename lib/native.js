'use strict';
// Loads the native module and wires it to this process: the client library,
// the completion pipe and the hooks that give connections and statements
// their script-facing methods.
const net = require('net');
const path = require('path');
const fs = require('fs');
const { isMainThread } = require('worker_threads');

const root = path.join(__dirname, '..');

// The module a source build made, else the prebuilt one shipped for this
// platform; ZELK_BUILD_DIR selects another build, such as the sanitizer one.
function moduleDir() {
  if (process.env.ZELK_BUILD_DIR) return process.env.ZELK_BUILD_DIR;
  const built = path.join(root, 'build');
  if (fs.existsSync(path.join(built, 'zelk.node'))) return built;
  return path.join(root, 'prebuilds', `${process.platform}-${process.arch}`);
}

function loadModule(dir) {
  const file = path.join(dir, 'zelk.node');
  try {
    return require(file);
  } catch (err) {
    err.message = `zelk: cannot load the native module ${file}: ${err.message}` +
      (fs.existsSync(file) ? '' : ' (no prebuilt binary for this platform: reinstall with cmake, g++, ' +
        'libsqlite3-dev and libpq-dev present to build from source)');
    throw err;
  }
}

const buildDir = moduleDir();
const native = loadModule(buildDir);

// The client library is the one beside the module; ZELK_DBCAPI_LIBRARY may
// name another build of it.
const libraryPath = process.env.ZELK_DBCAPI_LIBRARY || path.join(buildDir, 'libdbcapiZKV.so');

let pipeSocket = null;

function ref() {
  if (pipeSocket) pipeSocket.ref();
}

function unref() {
  if (pipeSocket) pipeSocket.unref();
}

function watchPipe() {
  const { fd } = native.__getPipe();
  // One small buffer read into on every wake-up: the 'data' path would
  // allocate 64 KB per wake-up for bytes that only say "work is done".
  const wakeups = Buffer.allocUnsafe(256);
  pipeSocket = new net.Socket({
    fd,
    readable: true,
    writable: false,
    onread: { buffer: wakeups, callback: () => { native.__runCallbacks(); } },
  });
  pipeSocket.unref();
}

function install(addConnectionMethods, addStatementMethods) {
  native.__setRefFunctions(ref, unref);
  native.__setAddFnsThatAddMethodsToObjects(addConnectionMethods, addStatementMethods);
  if (fs.existsSync(libraryPath) || process.env.ZELK_DBCAPI_LIBRARY) {
    native.__loadDbcapi(libraryPath);
  } else {
    native.__loadDbcapi('libdbcapiZKV.so');
  }
  watchPipe();
  // The worker pool serves every thread of the process; a worker thread that
  // ends leaves it running, and the module drops that thread's pending work.
  if (isMainThread) process.on('exit', () => native.__stopAllWork());
}

module.exports = { native, install, libraryPath, modulePath: path.join(buildDir, 'zelk.node') };
