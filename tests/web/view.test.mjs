// The records view in a real browser (Debian's Chromium through playwright-core), over data from
// real `lumaflash-cli flash` runs on simulated devices, once from a station's store and once from
// the PostgreSQL server of scripts/with_postgres.sh. Every wait is for what the page shows.
import { after, before, describe, it } from "node:test";
import assert from "node:assert/strict";
import { execFile, spawn } from "node:child_process";
import { mkdtempSync, rmSync, writeFileSync } from "node:fs";
import http from "node:http";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { promisify } from "node:util";
import { chromium } from "playwright-core";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const build = path.resolve(root, process.env.LUMAFLASH_BUILD || "build");
const cli = path.join(build, "cli/lumaflash-cli");
const fill = path.join(root, "scripts/fill_demo_records.sh");
const hostile = "<img src=x onerror=alert(1)>";
const lumettaSha = "6b3979b6dde392a215b489a4370ea58d852b86b28998ed9b82fa121418f39fcb";
const run = promisify(execFile);
const wait = { timeout: 15000 };

// Starts `records serve` with `args` and resolves with the process and the address it printed.
function serve(args, env) {
  const child = spawn(cli, ["records", "serve", "--listen", "127.0.0.1:0", ...args],
                      { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
  return new Promise((resolve, reject) => {
    let out = "";
    let err = "";
    child.stdout.on("data", (chunk) => {
      out += chunk;
      const match = /Serving .* at (http:\/\/\S+)/.exec(out);
      if (match) resolve({ child, url: match[1] });
    });
    child.stderr.on("data", (chunk) => { err += chunk; });
    child.on("exit", (code) => reject(new Error(`records serve ended (${code}): ${err}`)));
  });
}

// One request with a Host header of our choosing, which a browser would not send.
function askWithHost(url, host) {
  return new Promise((resolve, reject) => {
    const request = http.get(url, { headers: { host } }, (response) => {
      response.resume();
      resolve(response.statusCode);
    });
    request.on("error", reject);
  });
}

async function cells(page, table, row) {
  return page.locator(`#${table} tbody tr`).nth(row).locator("td").allTextContents();
}

// Waits until the server holds `count` live streams: a closed page lets go of its slot when
// its connection closes, which the server hears a moment later.
async function liveStreams(page, url, count) {
  const deadline = Date.now() + wait.timeout;
  for (;;) {
    const status = await (await page.request.get(url + "api/status.json")).json();
    if (status.liveClients === count) return;
    if (Date.now() > deadline) throw new Error(`${status.liveClients} live streams, not ${count}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

async function livePage(browser, url) {
  const page = await browser.newPage();
  await page.goto(url);
  await page.locator("body[data-live]").waitFor(wait);
  return page;
}

// The cases, in order: the live ones add attempts after the numbers are checked.
const cases = [
  ["yield numbers and plot bars match the data", async ({ browser, url }) => {
    const page = await browser.newPage();
    await page.goto(url);
    await page.locator("#days-table tbody td.number").first().waitFor(wait);
    // Five units (0A1B2C01 failed at block 6, then passed), four through the first time.
    assert.deepEqual((await cells(page, "days-table", 0)).slice(1), ["6", "5", "4", "80.0%"]);
    const line1 = page.locator("#groups-table tbody tr", { hasText: "line 1" });
    assert.deepEqual(await line1.locator("td").allTextContents(),
                     ["line 1", "3514 Lumetta A", "3", "2", "1", "50.0%", "1"]);
    assert.deepEqual(await cells(page, "failures-table", 0), ["3514 Lumetta A", "write-failed", "6", "1"]);
    const day = (await cells(page, "days-table", 0))[0];
    const svg = await (await page.request.get(new URL(await page.locator("#yield-plot").getAttribute("src"), url).href)).text();
    const bar = new RegExp(`data-day="${day}" data-yield="80.0" x="[\\d.]+" y="([\\d.]+)" width="40.0" height="([\\d.]+)"`).exec(svg);
    assert.ok(bar, svg);
    assert.equal(Number(bar[2]), 144);  // 80 % of 180
    assert.match(svg, /<svg [^>]*role="img"/);
    const pareto = await page.locator("#pareto-plots img").first().getAttribute("src");
    assert.match(await (await page.request.get(new URL(pareto, url).href)).text(),
                 /data-label="write-failed at block 6" data-count="1" x="200.0" y="31.0" width="300.0"/);
    await page.close();
  }],
  ["serial search shows every attempt of the unit with its image", async ({ browser, url }) => {
    const page = await browser.newPage();
    await page.goto(url + "?unit=0a1b2c01");
    await page.locator("#unit-table tbody tr").nth(1).waitFor(wait);
    assert.equal(await page.locator("#unit-table tbody tr").count(), 2);
    const [newest, oldest] = [await cells(page, "unit-table", 0), await cells(page, "unit-table", 1)];
    assert.deepEqual([newest[1], newest[4], newest[6], newest[7], newest[9]],
                     ["line 1", "0A1B2C01", "ok", lumettaSha, "1"]);
    assert.equal(oldest[6], "write-failed");
    assert.match(newest[8], /examples\/lumetta-a\.bin$/);
    await page.close();
  }],
  ["hostile text shows as text and runs nothing", async ({ browser, url }) => {
    const page = await browser.newPage();
    const dialogs = [];
    page.on("dialog", (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
    await page.goto(url + "?unit=" + encodeURIComponent(hostile));
    await page.locator("#unit-note", { hasText: hostile }).waitFor(wait);
    await page.locator("#attempts-table td", { hasText: hostile }).first().waitFor(wait);
    await page.locator("#groups-table td", { hasText: hostile }).waitFor(wait);
    assert.equal(await page.locator('img[src="x"]').count(), 0);
    assert.deepEqual(dialogs, []);
    await page.close();
  }],
  ["a new update shows on an open page by itself", async ({ browser, url, flashOne }) => {
    const page = await livePage(browser, url);
    assert.equal(await page.locator("body").getAttribute("data-live"), "stream");
    await page.locator("#attempts-table tbody td.passed").first().waitFor(wait);
    await flashOne("live one");
    await page.locator("#attempts-table tbody tr").first().locator("td", { hasText: "live one" }).waitFor(wait);
    // The summaries, kept between changes, are made afresh too.
    await page.locator("#groups-table td", { hasText: "live one" }).waitFor(wait);
    await page.close();
  }],
  ["past --max-live a page asks every 5 s, and a closed page frees its slot", async ({ browser, url, flashOne }) => {
    const probe = await browser.newPage();
    await liveStreams(probe, url, 0);
    const first = await livePage(browser, url);
    const second = await livePage(browser, url);
    const third = await livePage(browser, url);
    assert.deepEqual(await Promise.all([first, second, third].map(
      (page) => page.locator("body").getAttribute("data-live"))), ["stream", "stream", "polling"]);
    assert.match(await third.locator("#live").textContent(), /every 5 s/);
    await flashOne("polled one");
    await third.locator("#attempts-table td", { hasText: "polled one" }).waitFor({ timeout: 20000 });
    await first.close();
    await liveStreams(probe, url, 1);
    const fourth = await livePage(browser, url);
    assert.equal(await fourth.locator("body").getAttribute("data-live"), "stream");
    await Promise.all([second.close(), third.close(), fourth.close(), probe.close()]);
  }],
  ["kiosk mode: large type, no filter bar, live", async ({ browser, url }) => {
    const page = await livePage(browser, url + "?kiosk");
    await page.locator("body.kiosk #attempts-table tbody td.passed").first().waitFor(wait);
    assert.equal(await page.locator("#filters").isVisible(), false);
    assert.equal(await page.locator("body").getAttribute("data-live"), "stream");
    await page.close();
  }],
  ["only GET and HEAD, only its own Host", async ({ browser, url }) => {
    const page = await browser.newPage();
    assert.equal((await page.request.post(url, { data: "x" })).status(), 405);
    assert.equal((await page.request.head(url)).status(), 200);
    assert.equal(await askWithHost(url, "rebound.example:" + new URL(url).port), 421);
    await page.close();
  }],
];

const backends = [
  { name: "station store", local: true },
  { name: "records server", local: false },
];

for (const backend of backends) {
  describe(backend.name, () => {
    const env = {};
    let work;
    let server;
    before(async () => {
      const station = process.env.LUMAFLASH_PG_STATION_URI;
      const reader = process.env.LUMAFLASH_PG_READER_URI;
      if (!backend.local && !(station && reader)) {
        throw new Error("the server cases need scripts/with_postgres.sh around them (bash scripts/test_web.sh)");
      }
      work = mkdtempSync(path.join(tmpdir(), "lumaflash-web-"));
      const store = path.join(work, "records.sqlite");
      const forward = backend.local ? [] : ["--records-server", station];
      const flashEnv = { ...process.env, XDG_STATE_HOME: work, LUMAFLASH_RECORDS_SERVER: "" };
      await run("bash", [fill, build, store, ...forward], { env: flashEnv });
      env.flashOne = (name) => run("bash", [fill, build, store, ...forward],
                                   { env: { ...flashEnv, LUMAFLASH_DEMO_ONE: name } });
      const source = backend.local ? ["--records", store] : ["--server", "--records-server", reader];
      server = await serve([...source, "--max-live", "2"], { XDG_STATE_HOME: work });
      env.url = server.url;
      env.browser = await chromium.launch({
        executablePath: process.env.LUMAFLASH_CHROMIUM || "/usr/bin/chromium-headless-shell",
        args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
               "--disable-component-update", "--disable-sync", "--no-first-run"],
      });
    });
    after(async () => {
      const screenshot = process.env.LUMAFLASH_WEB_SCREENSHOT;
      if (backend.local && screenshot && env.browser) {
        const page = await env.browser.newPage({ viewport: { width: 1280, height: 900 } });
        await page.goto(env.url);
        await page.locator("#attempts-table tbody td.passed").first().waitFor(wait);
        await page.locator("#yield-plot").evaluate((img) => img.decode());
        await page.screenshot({ path: screenshot, fullPage: true });
      }
      await env.browser?.close();
      server?.child.kill("SIGTERM");
      if (work) rmSync(work, { recursive: true, force: true });
    });
    for (const [name, check] of cases) it(name, () => check(env));
  });
}

describe("the access token", () => {
  it("is required beyond loopback, then asked once and kept in an HttpOnly cookie", async () => {
    await assert.rejects(run(cli, ["records", "serve", "--records", "/nonexistent", "--listen", "0.0.0.0:0"]),
                         (error) => error.code === 2 && /--token-file/.test(error.stderr));
    const work = mkdtempSync(path.join(tmpdir(), "lumaflash-token-"));
    const token = "a-token-of-24-characters";
    writeFileSync(path.join(work, "token"), token + "\n");
    await run("bash", [fill, build, path.join(work, "r.sqlite")],
              { env: { ...process.env, XDG_STATE_HOME: work, LUMAFLASH_DEMO_ONE: "tokened" } });
    const server = await serve(["--records", path.join(work, "r.sqlite"), "--token-file",
                                path.join(work, "token")], { XDG_STATE_HOME: work });
    const browser = await chromium.launch({ executablePath: process.env.LUMAFLASH_CHROMIUM || "/usr/bin/chromium-headless-shell",
                                            args: ["--no-sandbox", "--disable-gpu"] });
    try {
      const page = await browser.newPage();
      assert.equal((await page.goto(server.url)).status(), 401);
      await page.goto(server.url + "?kiosk&token=" + token);
      assert.equal(page.url(), server.url + "?kiosk");
      await page.locator("#attempts-table td", { hasText: "tokened" }).waitFor(wait);
      assert.equal(await page.evaluate(() => document.cookie), "");
    } finally {
      await browser.close();
      server.child.kill("SIGTERM");
      rmSync(work, { recursive: true, force: true });
    }
  });
});
