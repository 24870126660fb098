'use strict';
// Builds buffers item by item, the way the native builder lays them out.
class Writer {
  constructor() {
    this.parts = [];
    this.rows = 0;
    this.columns = 0;
  }
  bytes(array) { this.parts.push(Buffer.from(array)); return this; }
  text(tag, value) {
    const body = Buffer.isBuffer(value) ? value : Buffer.from(value, 'utf8');
    const head = Buffer.alloc(5);
    head[0] = tag;
    head.writeUInt32LE(body.length, 1);
    this.parts.push(head, body);
    return this;
  }
  column(name) { this.columns++; return this.text(5, name); }
  table(name) { return name ? this.text(5, name) : this.bytes([1]); }
  nul() { return this.bytes([1]); }
  bool(v) { return this.bytes([2, v ? 1 : 0]); }
  int(v) { const b = Buffer.alloc(5); b[0] = 3; b.writeInt32LE(v, 1); this.parts.push(b); return this; }
  dbl(v) { const b = Buffer.alloc(9); b[0] = 4; b.writeDoubleLE(v, 1); this.parts.push(b); return this; }
  str(v) { return this.text(5, v); }
  bin(v) { return this.text(6, v); }
  row() { this.rows++; return this; }
  finish() {
    const body = Buffer.concat(this.parts);
    const header = Buffer.alloc(16);
    header.writeUInt32LE(body.length + 16, 0);
    header.writeUInt32LE(this.rows, 8);
    header.writeUInt32LE(this.columns, 12);
    return Buffer.concat([header, body]);
  }
}

module.exports = { Writer };
