// Starts bindings/testing/servers.sh (private PulseAudio + Xvfb) and points this process at it.
'use strict';
const { spawn } = require('node:child_process');
const path = require('node:path');
const readline = require('node:readline');

async function startServers() {
  const script = path.join(__dirname, '..', '..', 'testing', 'servers.sh');
  // Without this process's preloads (a sanitizer runtime for the library): the servers need none.
  const { LD_PRELOAD, ...plain } = process.env;
  const child = spawn('bash', [script], { stdio: ['pipe', 'pipe', 'inherit'], env: plain });
  const env = {};
  for await (const line of readline.createInterface({ input: child.stdout })) {
    if (line === 'ready') break;
    const at = line.indexOf('=');
    if (at > 0) env[line.slice(0, at)] = line.slice(at + 1);
  }
  if (!env.PULSE_SERVER) throw new Error('the test servers did not start');
  Object.assign(process.env, env);
  return {
    stop: () => new Promise((resolve) => {
      child.once('exit', resolve);
      child.stdin.end();  // the script stops its servers by PID and exits
    }),
  };
}

module.exports = { startServers };
