// Figures of the records view (a benchmark, not a test: it prints, it never fails on a slow
// machine). Over a store or a server that the caller filled (bench/web_bench.sh does):
//   node bench/web_bench.mjs BUILD_DIR --records STORE
//   node bench/web_bench.mjs BUILD_DIR --server --records-server READER-URI
// (the server's updates come from a station store, LUMAFLASH_BENCH_STATION_STORE, forwarded
// through LUMAFLASH_PG_STATION_URI)
// first meaningful paint in the headless browser (the last attempts and the yield table shown,
// over every day), the time from an update's end to its row on an open page, GET / with 100 live
// streams open, and the serving process's peak memory.
import { execFile, spawn } from "node:child_process";
import { readFileSync } from "node:fs";
import http from "node:http";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { promisify } from "node:util";
import { createRequire } from "node:module";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");
const { chromium } = createRequire(path.join(root, "tests/web/package.json"))("playwright-core");
const [buildArg, ...source] = process.argv.slice(2);
const build = path.resolve(buildArg || "build");
const run = promisify(execFile);
const liveStreams = 100;

function serve() {
  const child = spawn(path.join(build, "cli/lumaflash-cli"),
                      ["records", "serve", "--listen", "127.0.0.1:0", "--max-live", "200", ...source],
                      { stdio: ["ignore", "pipe", "inherit"] });
  return new Promise((resolve, reject) => {
    let out = "";
    child.stdout.on("data", (chunk) => {
      out += chunk;
      const match = /Serving .* at (http:\/\/\S+)/.exec(out);
      if (match) resolve({ child, url: match[1] });
    });
    child.on("exit", (code) => reject(new Error(`records serve ended with ${code}`)));
  });
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

function timedGet(url) {
  return new Promise((resolve, reject) => {
    const start = process.hrtime.bigint();
    http.get(url, (response) => {
      response.resume();
      response.on("end", () => resolve(Number(process.hrtime.bigint() - start) / 1e6));
    }).on("error", reject);
  });
}

function openStream(url) {
  return new Promise((resolve, reject) => {
    const request = http.get(url + "events", { agent: false }, (response) => {
      response.once("data", () => resolve(request));
    });
    request.on("error", reject);
  });
}

const { child, url } = await serve();
const browser = await chromium.launch({
  executablePath: process.env.LUMAFLASH_CHROMIUM || "/usr/bin/chromium-headless-shell",
  args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run"],
});
process.on("exit", () => child.kill("SIGTERM"));
// The page's policy allows no evaluated strings, so the check is a function.
const shownAt = (selector) => (document.querySelector(selector) ? performance.now() : 0);
const paints = [];
const complete = [];
for (let i = 0; i < 5; ++i) {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(url + "?days=0", { waitUntil: "commit" });
  const rows = await page.waitForFunction(shownAt, "#attempts-table tbody td.number",
                                          { polling: 5, timeout: 120000 });
  const yields = await page.waitForFunction(shownAt, "#days-table tbody td.number",
                                            { polling: 5, timeout: 120000 });
  paints.push(await rows.jsonValue());
  complete.push(Math.max(await rows.jsonValue(), await yields.jsonValue()));
  await context.close();
}
console.log(`first meaningful paint (last attempts shown): median ${median(paints).toFixed(0)} ms, ` +
            `max ${Math.max(...paints).toFixed(0)} ms (goal <= 300 ms)`);
console.log(`the yield table shown too: median ${median(complete).toFixed(0)} ms`);

const page = await browser.newPage();
await page.goto(url + "?days=1");
await page.locator("body[data-live=stream]").waitFor({ timeout: 120000 });
const delays = [];
for (let i = 0; i < 3; ++i) {
  const station = `bench ${Date.now()}`;
  const env = { ...process.env, LUMAFLASH_DEMO_ONE: station };
  const store = source[0] === "--records" ? source[1] : process.env.LUMAFLASH_BENCH_STATION_STORE;
  const forward = source[0] === "--server" ? ["--records-server", process.env.LUMAFLASH_PG_STATION_URI] : [];
  await run("bash", [path.join(root, "scripts/fill_demo_records.sh"), build, store, ...forward], { env });
  const committed = Date.now();
  await page.locator("#attempts-table td", { hasText: station }).waitFor({ timeout: 60000 });
  delays.push(Date.now() - committed);
}
console.log(`an update's end to its row on an open page: median ${median(delays)} ms, ` +
            `max ${Math.max(...delays)} ms (goal <= 1000 ms)`);
await browser.close();

const streams = [];
for (let i = 0; i < liveStreams; ++i) streams.push(await openStream(url));
const status = JSON.parse(await (await fetch(url + "api/status.json")).text());
const times = [];
for (let i = 0; i < 20; ++i) times.push(await timedGet(url));
console.log(`GET / with ${status.liveClients} live streams open: median ${median(times).toFixed(1)} ms, ` +
            `max ${Math.max(...times).toFixed(1)} ms (goal <= 50 ms)`);
for (const stream of streams) stream.destroy();

const memory = readFileSync(`/proc/${child.pid}/status`, "utf8");
const peak = Number(/VmHWM:\s+(\d+) kB/.exec(memory)[1]) / 1024;
console.log(`peak memory of the serving process: ${peak.toFixed(1)} MiB (goal <= 100 MiB)`);
child.kill("SIGTERM");
