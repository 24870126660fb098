'use strict';
// Loads the native module and wires it to this process: the client library,
// the completion pipe and the hooks that give connections and statements
// their script-facing methods.
const net = require('net');
const path = require('path');
const fs = require('fs');

// ZELK_BUILD_DIR selects another build, such as the sanitizer one.
const buildDir = process.env.ZELK_BUILD_DIR || path.join(__dirname, '..', 'build');
const native = require(path.join(buildDir, 'zelk.node'));

// ZELK_DBCAPI_LIBRARY may name another build of the client library.
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
  pipeSocket = new net.Socket({ fd, readable: true, writable: false });
  pipeSocket.on('data', () => native.__runCallbacks());
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
  process.on('exit', () => native.__stopAllWork());
}

module.exports = { native, install, libraryPath };
