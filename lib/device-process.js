'use strict';
// The device process: lib/cli-worker.js run in a child process for the
// command and for every rig. The modules print their own summaries on
// standard output and end their process on a GPU failure; here that is a
// child's output and its exit status. Messages from the child are JSON lines
// behind MARK on its standard output, messages to it JSON lines on its
// standard input.
const path = require('path');
const { spawn } = require('child_process');
const { MARK } = require('./cli-worker');

const WORKER = path.join(__dirname, 'cli-worker.js');

/**
 * Starts the device process for `options` (what cli-worker's commands take).
 * onMessage(message, output) gets each message with the modules' output so
 * far; onOutput(line) each line of that output. Returns { child, send, done }:
 * send(message) writes to its standard input (when `input`), done resolves to
 * { code, signal, stderr, output } once it has ended.
 */
function startDeviceProcess(options, { onMessage, onOutput = () => {}, input = false, env = process.env }) {
  const child = spawn(process.execPath, [WORKER, JSON.stringify(options)],
    { stdio: [input ? 'pipe' : 'ignore', 'pipe', 'pipe'], env });
  let pending = '';
  let output = '';
  let stderr = '';
  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (chunk) => {
    pending += chunk;
    let at;
    while ((at = pending.indexOf('\n')) >= 0) {
      const line = pending.slice(0, at);
      pending = pending.slice(at + 1);
      if (line.startsWith(MARK)) {
        onMessage(JSON.parse(line.slice(MARK.length)), output);
      } else {
        output += line + '\n';
        onOutput(line);
      }
    }
  });
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  // A child that ended early closes its input: writes to it are dropped.
  if (input) child.stdin.on('error', () => {});
  const send = (message) => {
    if (child.stdin && child.stdin.writable) child.stdin.write(JSON.stringify(message) + '\n');
  };
  const done = new Promise((resolve) => {
    child.on('close', (code, signal) => resolve({ code, signal, stderr, output }));
  });
  return { child, send, done };
}

module.exports = { startDeviceProcess };
