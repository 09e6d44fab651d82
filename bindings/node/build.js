// Builds the addon with the system's compiler against the headers of the node that runs this
// script (Debian's nodejs ships them under /usr/include/node), so nothing is downloaded but
// node-addon-api from npm.
'use strict';
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const here = __dirname;
const nodeHeaders =
  process.env.NODE_INCLUDE_DIR || path.resolve(path.dirname(process.execPath), '..', 'include', 'node');
if (!fs.existsSync(path.join(nodeHeaders, 'node_api.h'))) {
  console.error(`no Node-API headers in ${nodeHeaders} (install libnode-dev, or set NODE_INCLUDE_DIR)`);
  process.exit(1);
}
if (!fs.existsSync(path.join(here, 'node_modules', 'node-addon-api'))) {
  execFileSync('npm', ['install', '--no-audit', '--no-fund'], { cwd: here, stdio: 'inherit' });
}
const addonApi = path.dirname(require.resolve('node-addon-api/napi.h', { paths: [here] }));
const sources = ['addon.cc', 'Library.cc', 'Capture.cc', 'Screen.cc'].map((f) => path.join(here, 'src', f));
const out = path.join(here, 'build', 'ovra_helper.node');
fs.mkdirSync(path.dirname(out), { recursive: true });
const args = [
  '-std=c++17', '-O2', '-g', '-shared', '-fPIC', '-fvisibility=hidden', '-pthread',
  '-Wall', '-Wextra', '-Wpedantic', '-Werror',
  '-DNAPI_VERSION=8', '-DNAPI_CPP_EXCEPTIONS', '-DNODE_ADDON_API_DISABLE_DEPRECATED',
  '-isystem', nodeHeaders, '-isystem', addonApi, '-I', path.join(here, '..', '..', 'include'),
  ...sources, '-o', out, '-ldl',
];
const cxx = process.env.CXX || 'g++';
console.log(`${cxx} ... -o ${path.relative(process.cwd(), out)}`);
try {
  execFileSync(cxx, args, { stdio: 'inherit' });
} catch {
  process.exit(1);  // the compiler has said why
}
