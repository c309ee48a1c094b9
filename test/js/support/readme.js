'use strict';

// The README's code blocks, which the packaging and browser tests run as
// written. A fenced block's info string is its language and, for a file of
// an example, the file's name (```js main.js); shell blocks have none.
const fs = require('node:fs');
const path = require('node:path');

const README = path.join(__dirname, '..', '..', '..', 'README.md');

// Every block: { lang, name, text, line }. Throws on an indented code block,
// which no test could tell from prose to run.
function readmeBlocks(file = README) {
  const lines = fs.readFileSync(file, 'utf8').split('\n');
  const blocks = [];
  for (let i = 0; i < lines.length; i++) {
    const open = /^```(\S*)(?: (\S+))?$/.exec(lines[i]);
    if (open) {
      const end = lines.indexOf('```', i + 1);
      if (end < 0) throw new Error(`README.md:${i + 1}: a code block that does not end`);
      blocks.push({ lang: open[1], name: open[2], text: `${lines.slice(i + 1, end).join('\n')}\n`, line: i + 1 });
      i = end;
    } else if (/^ {4}\S/.test(lines[i]) && lines[i - 1] === '') {
      throw new Error(`README.md:${i + 1}: an indented code block; fence it, so that a test runs it`);
    }
  }
  return blocks;
}

// The example files, by name; each named once.
function readmeFiles(blocks = readmeBlocks()) {
  const files = {};
  for (const block of blocks.filter((b) => b.name)) {
    if (files[block.name]) throw new Error(`README.md:${block.line}: a second block for ${block.name}`);
    files[block.name] = block.text;
  }
  return files;
}

module.exports = { readmeBlocks, readmeFiles };
