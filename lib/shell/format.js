'use strict';
// Result text of the shell: aligned tables by terminal display width,
// expanded records, lines, JSON and RFC 4180 CSV.

const ZERO_WIDTH = /[\p{Mn}\p{Me}\p{Cf}]/u;
// East Asian wide and fullwidth blocks, and emoji shown as pictures.
const WIDE_RANGES = [
  '\\u1100-\\u115F', '\\u2E80-\\u303E', '\\u3041-\\u33FF', '\\u3400-\\u4DBF', '\\u4E00-\\u9FFF', '\\uA000-\\uA4CF',
  '\\uAC00-\\uD7A3', '\\uF900-\\uFAFF', '\\uFE10-\\uFE19', '\\uFE30-\\uFE6F', '\\uFF00-\\uFF60', '\\uFFE0-\\uFFE6',
  '\\u{1F900}-\\u{1F9FF}', '\\u{20000}-\\u{2FFFD}', '\\u{30000}-\\u{3FFFD}',
];
const WIDE = new RegExp(`[\\p{Emoji_Presentation}${WIDE_RANGES.join('')}]`, 'u');

// Columns a terminal gives the text: East Asian wide characters take two,
// combining marks and format characters none.
function displayWidth(text) {
  let width = 0;
  for (const ch of text) {
    if (ZERO_WIDTH.test(ch)) continue;
    width += WIDE.test(ch) ? 2 : 1;
  }
  return width;
}

function padEnd(text, width) {
  return text + ' '.repeat(Math.max(0, width - displayWidth(text)));
}

function padStart(text, width) {
  return ' '.repeat(Math.max(0, width - displayWidth(text))) + text;
}

const ESCAPES = { '\n': '\\n', '\r': '\\r', '\t': '\\t' };

// Control characters would break the layout, so they are shown escaped.
function visible(text) {
  return text.replace(/[\x00-\x1f\x7f]/g, (c) => ESCAPES[c] || `\\x${c.charCodeAt(0).toString(16).padStart(2, '0')}`);
}

function displayValue(value, nullText) {
  if (value === null || value === undefined) return nullText;
  if (Buffer.isBuffer(value)) return `0x${value.toString('hex')}`;
  if (typeof value === 'object') return visible(JSON.stringify(value));
  return visible(String(value));
}

function isNumeric(value) {
  return typeof value === 'number' || typeof value === 'bigint';
}

function formatTable(columns, rows, nullText) {
  const cells = rows.map((row) => row.map((v) => displayValue(v, nullText)));
  const widths = columns.map((name, c) => Math.max(displayWidth(name), ...cells.map((row) => displayWidth(row[c]))));
  const numeric = columns.map((name, c) => rows.length > 0
    && rows.every((row) => isNumeric(row[c]) || row[c] === null) && rows.some((row) => row[c] !== null));
  const line = (values) => values.map((v, c) => (numeric[c] ? padStart(v, widths[c]) : padEnd(v, widths[c])))
    .join(' | ').trimEnd();
  const rule = widths.map((w) => '-'.repeat(w)).join('-+-');
  return `${[line(columns), rule, ...cells.map(line)].join('\n')}\n`;
}

// One record per row: "-[ RECORD n ]" and a name | value line per column.
function formatExpanded(columns, rows, nullText) {
  const nameWidth = Math.max(...columns.map(displayWidth));
  return rows.map((row, r) => {
    const fields = columns.map((name, c) => `${padEnd(name, nameWidth)} | ${displayValue(row[c], nullText)}`.trimEnd());
    return [`-[ RECORD ${r + 1} ]`, ...fields].join('\n');
  }).join('\n') + (rows.length > 0 ? '\n' : '(0 rows)\n');
}

// "name = value" per column, a blank line between rows.
function formatLines(columns, rows, nullText) {
  const nameWidth = Math.max(...columns.map(displayWidth));
  return rows.map((row) => columns.map((name, c) => `${padStart(name, nameWidth)} = ${displayValue(row[c], nullText)}`)
    .join('\n')).join('\n\n') + (rows.length > 0 ? '\n' : '');
}

function jsonValue(key, value) {
  if (value && value.type === 'Buffer' && Array.isArray(value.data)) return Buffer.from(value.data).toString('hex');
  return typeof value === 'bigint' ? value.toString() : value;
}

function formatJson(columns, rows) {
  const objects = rows.map((row) => Object.fromEntries(columns.map((name, c) => [name, row[c]])));
  return `${JSON.stringify(objects, jsonValue, 2)}\n`;
}

// NULL is an empty field and the empty string a quoted one, so both survive.
function csvField(value) {
  if (value === null || value === undefined) return '';
  const text = Buffer.isBuffer(value) ? value.toString('hex') : String(value);
  return text === '' || /[",\r\n]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text;
}

function formatCsv(columns, rows) {
  return [columns, ...rows].map((row) => `${row.map(csvField).join(',')}\r\n`).join('');
}

const FORMATTERS = { table: formatTable, json: formatJson, csv: formatCsv, line: formatLines };
const FORMATS = Object.keys(FORMATTERS);

// The text of one result as the settings ask; expanded display applies to
// the table format.
function formatResult(columns, rows, settings) {
  if (settings.expanded && settings.format === 'table') return formatExpanded(columns, rows, settings.nullText);
  return FORMATTERS[settings.format](columns, rows, settings.nullText);
}

// What goes between two results of one output.
function separator(format) {
  return format === 'csv' ? '\r\n' : '\n';
}

module.exports = { FORMATS, displayWidth, formatResult, separator };
