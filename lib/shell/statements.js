'use strict';
// SQL text cut into statements at semicolons outside quotes and comments.

// `rest` is the unterminated tail, which the shell keeps until the
// statement is complete.
function splitStatements(text) {
  const statements = [];
  let start = 0;
  let i = 0;
  while (i < text.length) {
    const c = text[i];
    if (c === "'" || c === '"' || c === '`') {
      const close = text.indexOf(c, i + 1);
      if (close < 0) return { statements, rest: text.slice(start) };
      i = close + 1;
    } else if (c === '-' && text[i + 1] === '-') {
      const eol = text.indexOf('\n', i);
      i = eol < 0 ? text.length : eol + 1;
    } else if (c === '/' && text[i + 1] === '*') {
      const close = text.indexOf('*/', i + 2);
      if (close < 0) return { statements, rest: text.slice(start) };
      i = close + 2;
    } else {
      if (c === ';') {
        statements.push(text.slice(start, i));
        start = i + 1;
      }
      i += 1;
    }
  }
  return { statements, rest: text.slice(start) };
}

function isBlank(sql) {
  return sql.replace(/--[^\n]*|\/\*[\s\S]*?\*\//g, '').trim() === '';
}

module.exports = { splitStatements, isBlank };
