'use strict';
// A pool of promise connections, a layer above the physical pool: it limits
// how many connections are open, queues callers first come first served,
// checks an idle connection before handing it out again and closes the ones
// left idle too long. A connection is borrowed by one caller at a time.
const { EventEmitter } = require('events');
const { argumentError, driverError, atCaller, isConnectionLoss, NO_CONNECTION } = require('./errors');

const DEFAULTS = { max: 10, min: 0, acquireTimeout: 30000, idleTimeout: 10000, maxUses: 0, validateAfter: 1000 };
const PING_SQL = "SELECT 'ping' FROM DUMMY";

function checkOptions(options) {
  const settings = Object.assign({}, DEFAULTS, options || {});
  for (const name of Object.keys(DEFAULTS)) {
    const value = settings[name];
    if (name === 'validateAfter' && value === false) continue;
    if (typeof value !== 'number' || !(value >= 0)) {
      throw argumentError(`createPool(params, options): options.${name} must be a number of at least 0`);
    }
  }
  if (settings.max < 1) throw argumentError('createPool(params, options): options.max must be at least 1');
  if (settings.min > settings.max) throw argumentError('createPool(params, options): options.min must not exceed max');
  return settings;
}

function timedOut(ms) {
  return driverError(NO_CONNECTION, `No Connection Available: none was free within ${ms} ms (acquireTimeout)`, 'HYT00');
}

function poolEnded() {
  return driverError(NO_CONNECTION, 'No Connection Available: the pool has ended', '08003');
}

class Pool extends EventEmitter {
  constructor(connect, params, options) {
    super();
    this.connect = connect;
    this.params = params;
    this.options = checkOptions(options);
    this.records = new Map(); // connection -> { borrowed, uses, idleSince, timer }
    this.idleList = []; // most recently released last
    this.waiters = []; // first come first
    this.opening = 0;
    this.closing = 0;
    this.ending = false;
    this.ended = null;
    this.onEmpty = null;
    this.fill();
  }

  // Open and opening connections, and those still closing.
  get size() {
    return this.records.size + this.opening + this.closing;
  }

  get idle() {
    return this.idleList.length;
  }

  get waiting() {
    return this.waiters.length;
  }

  async acquire() {
    try {
      return await this.waitForConnection();
    } catch (err) {
      throw atCaller(err);
    }
  }

  waitForConnection() {
    if (this.ending) return Promise.reject(poolEnded());
    return new Promise((resolve, reject) => {
      const waiter = { resolve, reject, settled: false, timer: null };
      this.waiters.push(waiter);
      this.dispatch();
      // One served at once from the idle list has nothing left to time out.
      const ms = this.options.acquireTimeout;
      if (!waiter.settled && ms > 0) waiter.timer = setTimeout(() => this.expire(waiter, ms), ms);
    });
  }

  // Serves waiters in arrival order: an idle connection, else a new one
  // while the pool is below max.
  dispatch() {
    while (this.waiters.length > 0) {
      if (this.idleList.length > 0) this.handOver(this.waiters.shift(), this.idleList.pop());
      else if (this.size < this.options.max) this.openFor(this.waiters.shift());
      else return;
    }
  }

  expire(waiter, ms) {
    const index = this.waiters.indexOf(waiter);
    if (index < 0) return;
    this.waiters.splice(index, 1);
    this.fail(waiter, timedOut(ms));
  }

  fail(waiter, err) {
    waiter.settled = true;
    clearTimeout(waiter.timer);
    waiter.reject(err);
  }

  open() {
    this.opening += 1;
    return this.connect(this.params).then((connection) => {
      this.opening -= 1;
      this.records.set(connection, { borrowed: false, uses: 0, idleSince: 0, timer: null });
      connection.release = (destroy) => this.release(connection, destroy);
      this.emit('connect', connection);
      return connection;
    }, (err) => {
      this.opening -= 1;
      this.checkEnded();
      throw err;
    });
  }

  openFor(waiter) {
    this.open().then((connection) => this.give(waiter, connection), (err) => {
      if (waiter.settled) this.report(err);
      else this.fail(waiter, err);
      this.dispatch();
    });
  }

  // Opens connections in the background up to min.
  fill() {
    while (!this.ending && this.size < this.options.min) {
      this.open().then((connection) => this.putBack(connection), (err) => this.report(err));
    }
  }

  handOver(waiter, connection) {
    const record = this.records.get(connection);
    const limit = this.options.validateAfter;
    if (limit === false || Date.now() - record.idleSince < limit) {
      this.give(waiter, connection);
      return;
    }
    connection.exec(PING_SQL).then(() => this.give(waiter, connection), (err) => {
      this.report(err, connection);
      this.remove(connection);
      if (!waiter.settled) this.waiters.unshift(waiter);
      this.dispatch();
    });
  }

  give(waiter, connection) {
    if (waiter.settled || this.ending) {
      this.putBack(connection);
      return;
    }
    waiter.settled = true;
    clearTimeout(waiter.timer);
    this.records.get(connection).borrowed = true;
    this.emit('acquire', connection);
    waiter.resolve(connection);
  }

  // destroy: close the connection instead of keeping it (it broke, or its
  // state is not to be trusted).
  release(connection, destroy) {
    const record = this.records.get(connection);
    if (!record || !record.borrowed) {
      throw argumentError('release(): the connection is not borrowed from this pool');
    }
    record.borrowed = false;
    record.uses += 1;
    this.emit('release', connection);
    const worn = this.options.maxUses > 0 && record.uses >= this.options.maxUses;
    if (destroy || worn || this.ending || connection.state() !== 'connected') this.remove(connection);
    else if (!connection.getAutoCommit()) this.reset(connection);
    else this.putBack(connection);
  }

  // A connection given back inside its own transaction: the work is undone.
  reset(connection) {
    connection.rollback().then(() => {
      connection.setAutoCommit(true);
      this.putBack(connection);
    }, (err) => {
      this.report(err, connection);
      this.remove(connection);
    });
  }

  putBack(connection) {
    if (this.ending) {
      this.remove(connection);
      return;
    }
    const record = this.records.get(connection);
    record.idleSince = Date.now();
    this.idleList.push(connection);
    // One timer per connection, restarted here: retire leaves a borrowed
    // connection alone when it fires during a loan.
    if (record.timer) {
      record.timer.refresh();
    } else if (this.options.idleTimeout > 0) {
      record.timer = setTimeout(() => this.retire(connection), this.options.idleTimeout);
      record.timer.unref();
    }
    this.dispatch();
  }

  retire(connection) {
    if (this.records.size - 1 < this.options.min || !this.idleList.includes(connection)) return;
    this.remove(connection);
  }

  remove(connection) {
    const record = this.records.get(connection);
    if (!record) return;
    clearTimeout(record.timer);
    this.records.delete(connection);
    const index = this.idleList.indexOf(connection);
    if (index >= 0) this.idleList.splice(index, 1);
    this.closing += 1;
    this.emit('remove', connection);
    const closed = connection.state() === 'connected' ? connection.close() : Promise.resolve();
    closed.catch(() => {
      // A session that is gone has nothing left to close.
    }).then(() => {
      this.closing -= 1;
      this.checkEnded();
      this.fill();
      this.dispatch();
    });
  }

  // Errors of no caller's call: to 'error' listeners when there are any.
  report(err, connection) {
    if (this.listenerCount('error') > 0) this.emit('error', err, connection);
  }

  // fn(connection) on a borrowed connection, given back when fn settles;
  // closed instead when the session was lost.
  async use(fn) {
    const connection = await this.acquire();
    let lost = false;
    try {
      return await fn(connection);
    } catch (err) {
      lost = isConnectionLoss(err, connection);
      throw atCaller(err);
    } finally {
      this.release(connection, lost);
    }
  }

  exec(sql, params, options) {
    return this.use((c) => c.exec(sql, params, options));
  }

  query(sql, params, options) {
    return this.use((c) => c.query(sql, params, options));
  }

  run(sql, params, options) {
    return this.use((c) => c.run(sql, params, options));
  }

  get(sql, params, options) {
    return this.use((c) => c.get(sql, params, options));
  }

  all(sql, params, options) {
    return this.use((c) => c.all(sql, params, options));
  }

  transaction(fn, options) {
    return this.use((c) => c.transaction(fn, options));
  }

  async* iterate(sql, params, options) {
    const connection = await this.acquire();
    let lost = false;
    try {
      yield* connection.iterate(sql, params, options);
    } catch (err) {
      lost = isConnectionLoss(err, connection);
      throw err;
    } finally {
      this.release(connection, lost);
    }
  }

  // Refuses new callers, closes idle connections at once and borrowed ones
  // as they come back; settles when every connection is closed.
  end() {
    if (this.ended) return this.ended;
    this.ending = true;
    this.ended = new Promise((resolve) => { this.onEmpty = resolve; });
    for (const waiter of this.waiters.splice(0)) this.fail(waiter, poolEnded());
    for (const connection of [...this.idleList]) this.remove(connection);
    this.checkEnded();
    return this.ended;
  }

  checkEnded() {
    if (this.ending && this.size === 0 && this.onEmpty) this.onEmpty();
  }
}

function createPool(connect, params, options) {
  return new Pool(connect, params, options);
}

module.exports = { createPool, Pool };
