'use strict';
// The interactive prompt: readline with one history entry per statement,
// Ctrl-C that cancels a running query or clears the input, Ctrl-D that runs
// an unterminated statement and leaves, and a pager for tall results.
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { spawn } = require('child_process');

const HISTORY_SIZE = 1000;
const PROMPT = 'zelk> ';
const CONTINUATION = '   ...> ';

function historyFile() {
  return process.env.ZELK_SQL_HISTORY || path.join(os.homedir(), '.zelk_sql_history');
}

// One entry per line of the file, oldest first; line breaks inside an
// entry are written as "\n" and backslashes doubled.
function loadHistory(file) {
  try {
    return fs.readFileSync(file, 'utf8').split('\n').filter(Boolean)
      .map((line) => line.replace(/\\(\\|n)/g, (m, c) => (c === 'n' ? '\n' : '\\'))).reverse();
  } catch (err) {
    return [];
  }
}

function saveHistory(file, history) {
  const lines = history.slice(0, HISTORY_SIZE).reverse()
    .map((entry) => entry.replace(/\\/g, '\\\\').replace(/\n/g, '\\n'));
  try {
    fs.writeFileSync(file, `${lines.join('\n')}\n`);
  } catch (err) {
    // A read-only home keeps the session usable, only without saved history.
  }
}

// Lines from readline as promises; null once the input has closed.
class LineQueue {
  constructor(rl) {
    this.lines = [];
    this.waiting = null;
    this.closed = false;
    rl.on('line', (line) => this.push(line));
    rl.on('close', () => { this.closed = true; this.push(null); });
  }

  push(line) {
    if (this.waiting) {
      const resolve = this.waiting;
      this.waiting = null;
      resolve(line);
    } else if (line !== null) {
      this.lines.push(line);
    }
  }

  next() {
    if (this.lines.length > 0) return Promise.resolve(this.lines.shift());
    if (this.closed) return Promise.resolve(null);
    return new Promise((resolve) => { this.waiting = resolve; });
  }
}

// Writes text, through $PAGER (default "less -FRX") when it is taller than
// the terminal; readline lets go of the terminal meanwhile.
function pagedWriter(rl, input, output, settings) {
  return (text) => {
    const rows = output.rows || 24;
    const lines = text.split('\n').length - 1;
    if (!settings.pager || !output.isTTY || lines < rows - 1) return output.write(text);
    const command = process.env.PAGER || 'less -FRX';
    return new Promise((resolve) => {
      rl.pause();
      if (input.setRawMode) input.setRawMode(false);
      const pager = spawn('sh', ['-c', command], { stdio: ['pipe', 'inherit', 'inherit'] });
      const done = () => {
        if (input.setRawMode) input.setRawMode(true);
        rl.resume();
        resolve();
      };
      pager.on('error', () => { output.write(text); done(); });
      pager.on('close', done);
      pager.stdin.on('error', () => {});
      pager.stdin.end(text);
    });
  };
}

class Prompt {
  constructor(session, { input = process.stdin, output = process.stdout, history = historyFile() } = {}) {
    this.session = session;
    this.output = output;
    this.historyPath = history;
    this.rl = readline.createInterface({
      input, output, terminal: true, history: loadHistory(history), historySize: 0, prompt: PROMPT,
    });
    this.queue = new LineQueue(this.rl);
    this.entryLines = [];
    this.armedToQuit = false;
    this.rl.on('SIGINT', () => this.interrupt());
    session.io.out = pagedWriter(this.rl, input, output, session.settings);
    session.io.interactive = true;
  }

  // Ctrl-C: cancels the running query; else clears the input; on an empty
  // input it arms, and a second one quits.
  interrupt() {
    if (this.session.interrupt()) {
      this.output.write('^C\n');
      return;
    }
    const hadInput = this.rl.line !== '' || this.session.pending !== '';
    this.rl.line = '';
    this.rl.cursor = 0;
    this.session.clearPending();
    this.entryLines = [];
    if (!hadInput && this.armedToQuit) {
      this.rl.close();
      return;
    }
    this.armedToQuit = !hadInput;
    this.output.write(hadInput ? '^C\n' : '\n(Ctrl-C again or Ctrl-D to quit)\n');
    this.showPrompt();
  }

  showPrompt() {
    this.rl.setPrompt(this.session.pending ? CONTINUATION : PROMPT);
    this.rl.prompt();
  }

  // A statement typed over several lines is one history entry.
  remember(line) {
    this.entryLines.push(line);
    if (this.session.pending !== '') return;
    const entry = this.entryLines.join('\n').trimEnd();
    this.entryLines = [];
    const { history } = this.rl;
    if (entry.trim() !== '' && history[0] !== entry) history.unshift(entry);
    if (history.length > HISTORY_SIZE) history.length = HISTORY_SIZE;
  }

  async run() {
    this.showPrompt();
    for (;;) {
      const line = await this.queue.next();
      if (line === null) break;
      this.armedToQuit = false;
      const status = await this.session.feedLine(line);
      this.remember(line);
      if (status === 'quit') break;
      this.showPrompt();
    }
    if (this.queue.closed && this.session.pending !== '') {
      this.output.write('\n');
      await this.session.finish();
      this.remember('');
    }
    saveHistory(this.historyPath, this.rl.history);
    this.rl.close();
  }
}

// Reads a line from the terminal without echo.
function readPassword(prompt, errorStream = process.stderr) {
  const input = process.stdin.isTTY ? process.stdin : openTerminal();
  return new Promise((resolve, reject) => {
    let text = '';
    const finish = (err) => {
      input.removeListener('data', onData);
      input.setRawMode(false);
      input.pause();
      errorStream.write('\n');
      if (err) reject(err);
      else resolve(text);
    };
    function onData(chunk) {
      for (const ch of chunk) {
        if (ch === '\r' || ch === '\n') return finish();
        if (ch === '\u0003' || ch === '\u0004') return finish(new Error('no password given'));
        if (ch === '\u007f' || ch === '\b') text = text.slice(0, -1);
        else if (ch >= ' ') text += ch;
      }
      return undefined;
    }
    // Echo goes off before the prompt shows, so no typed-ahead key is echoed.
    input.setRawMode(true);
    errorStream.write(prompt);
    input.setEncoding('utf8');
    input.on('data', onData);
    input.resume();
  });
}

function openTerminal() {
  const tty = require('tty');
  let fd;
  try {
    fd = fs.openSync('/dev/tty', 'r');
  } catch (err) {
    throw new Error('a password prompt needs a terminal');
  }
  return new tty.ReadStream(fd);
}

module.exports = { Prompt, readPassword };
