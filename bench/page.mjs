// The page in headless Chromium, beside another build's page in the same run.
//
// Usage: node bench/page.mjs BUILD_FOLDER [--baseline OTHER_BUILD] [--lines N] [--opens N]
//
// 1. Opening: a log longer than the relay's ring (4 MiB), the relay's ring full; the page
//    opened again and again: the time from the start of the navigation to the first line
//    drawn, median and most, and the elements in the document once the ring's recent lines
//    are in. The baseline build's page beside it, opened alternately.
// 2. Scrolling back: from the live end up to the file's first byte through N lines (1,000,000
//    by default): the most elements the document held, the tab's JS heap after a garbage
//    collection every quarter of the way, and the time each page of earlier lines took to be
//    drawn, p50 / p99. The baseline page cannot scroll back past what it holds.
// Loopback only; everything stops by itself.
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, openSync, rmSync, writeFileSync, writeSync, closeSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { freePort } from "../tests/web/harness.mjs";
import puppeteer from "../tests/web/node_modules/puppeteer-core/lib/esm/puppeteer/puppeteer-core.js";

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? args[at + 1] : fallback;
};
const build = args[0];
const baseline = option("--baseline", null);
const LINES = Number(option("--lines", 1000000));
const OPENS = Number(option("--opens", 7));
const dir = mkdtempSync(join(tmpdir(), "vantrel-page-bench-"));
const children = [];
const lineText = (n) => `line ${String(n).padStart(7, "0")} ${"abcdefghij".repeat(1 + n % 6)}`;

function start(program, argv, ready) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, argv, { cwd: dir, stdio: ["ignore", "pipe", "pipe"] });
    children.push(child);
    let seen = "";
    const look = (chunk) => { seen += chunk; if (seen.includes(ready)) resolve(child); };
    child.stdout.on("data", look);
    child.stderr.on("data", look);
    child.on("exit", () => reject(new Error(`${program} ended: ${seen}`)));
  });
}

const percentile = (values, p) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
};
const median = (values) => percentile(values, 0.5);
const ms = (value) => `${value.toFixed(1)} ms`;

// The time from the navigation's start to the first line in the log's element.
async function openOnce(browser, url) {
  const page = await browser.newPage();
  await page.evaluateOnNewDocument(() => {
    new MutationObserver((changes, observer) => {
      const log = document.getElementById("log");
      if (log && log.querySelector("div:not(.edge)") && log.innerText.includes("line ")) {
        window.firstDrawn = performance.now();
        observer.disconnect();
      }
    }).observe(document, { childList: true, subtree: true, characterData: true });
  });
  await page.goto(url);
  await page.waitForFunction(() => window.firstDrawn !== undefined, { timeout: 20000 });
  const first = await page.evaluate(() => window.firstDrawn);
  // The ring's recent lines are all in once the last line is.
  await page.waitForFunction((text) => document.getElementById("log").innerText.includes(text),
                             { timeout: 20000 }, lineText(LINES - 1));
  await new Promise((resolve) => setTimeout(resolve, 500));
  const elements = await page.evaluate(() => document.getElementsByTagName("*").length);
  await page.close();
  return { first, elements };
}

async function heapAfterCollection(page) {
  const session = await page.createCDPSession();
  await session.send("HeapProfiler.collectGarbage");
  const { usedSize } = await session.send("Runtime.getHeapUsage");
  await session.detach();
  return usedSize;
}

const firstNumber = (page) => page.$eval("#log", (log) => {
  const m = /line (\d+)/.exec(log.innerText);
  return m ? Number(m[1]) : -1;
});

async function scrollBack(browser, url) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  await page.goto(url);
  await page.waitForFunction((text) => document.getElementById("log").innerText.includes(text),
                             { timeout: 20000 }, lineText(LINES - 1));
  const heaps = [[LINES - (await firstNumber(page)), await heapAfterCollection(page)]];
  const pageTimes = [];
  let mostElements = 0;
  let quarter = 1;
  for (;;) {
    const before = await firstNumber(page);
    if (before === 0) break;
    const started = performance.now();
    await page.$eval("#log", (log) => { log.scrollTop = 0; });
    await page.waitForFunction((n) => {
      const m = /line (\d+)/.exec(document.getElementById("log").innerText);
      return m && Number(m[1]) < n;
    }, { timeout: 20000, polling: "raf" }, before);
    pageTimes.push(performance.now() - started);
    mostElements = Math.max(mostElements,
                            await page.evaluate(() => document.getElementsByTagName("*").length));
    const through = LINES - (await firstNumber(page));
    if (through >= quarter * LINES / 4) {
      heaps.push([through, await heapAfterCollection(page)]);
      quarter++;
    }
  }
  await page.close();
  return { heaps, pageTimes, mostElements };
}

try {
  const log = join(dir, "bench.log");
  const fd = openSync(log, "w");
  const CHUNK = 10000;
  for (let n = 0; n < LINES; n += CHUNK) {
    const lines = [];
    for (let i = n; i < Math.min(LINES, n + CHUNK); i++) lines.push(lineText(i));
    writeSync(fd, lines.join("\n") + "\n");
  }
  closeSync(fd);
  writeFileSync(join(dir, "vantrel.cfg"), 'password = "secret"\nkey = "3e07b1d4"\n');
  const daemonPort = await freePort();
  await start(join(build, "vantrel"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-f", log, "-q"],
              "Waiting for clients connection");
  for (const folder of [build, baseline].filter(Boolean)) {
    if (!existsSync(join(folder, "vantrel-view"))) throw new Error(`no vantrel-view in ${folder}`);
  }
  const builds = [["this build", build], ...(baseline ? [["baseline", baseline]] : [])];
  const urls = {};
  for (const [name, folder] of builds) {
    const child = spawn(join(folder, "vantrel-view"),
                        ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "--web", `${await freePort()}`],
                        { cwd: dir, stdio: ["ignore", "ignore", "pipe"] });
    children.push(child);
    let said = "";
    child.stderr.on("data", (chunk) => { said += chunk; });
    child.on("exit", (code) => {
      if (code !== null) { console.error(`${folder}/vantrel-view ended: ${said}`); process.exit(1); }
    });
    urls[name] = await new Promise((resolve) => {
      const look = () => {
        const m = /the page is at (\S+)/.exec(said);
        if (m && said.includes("logged in")) resolve(m[1]); else setTimeout(look, 50);
      };
      look();
    });
  }
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium", headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"],
    userDataDir: join(dir, "chromium"),
  });
  // The relays fill their rings from the log's end; a first opening waits for that.
  for (const [name] of builds) await openOnce(browser, urls[name]);
  const opened = Object.fromEntries(builds.map(([name]) => [name, []]));
  for (let round = 0; round < OPENS; round++) {
    for (const [name] of round % 2 ? [...builds].reverse() : builds) {
      opened[name].push(await openOnce(browser, urls[name]));
    }
  }
  console.log(`Opening the page with a full ring (${OPENS} times each, alternating):`);
  for (const [name] of builds) {
    const firsts = opened[name].map((o) => o.first);
    console.log(`  ${name.padEnd(10)} first line drawn: median ${ms(median(firsts))}, ` +
                `most ${ms(Math.max(...firsts))}; elements once the ring's lines are in: ` +
                `${median(opened[name].map((o) => o.elements))}`);
  }
  const back = await scrollBack(browser, urls["this build"]);
  console.log(`Scrolling back through ${LINES.toLocaleString("en")} lines to the first byte ` +
              `(this build): ${back.pageTimes.length} pages of earlier lines`);
  console.log(`  most elements in the document: ${back.mostElements}`);
  console.log(`  each page drawn after scrolling to the top: p50 ${ms(percentile(back.pageTimes, 0.5))}, ` +
              `p99 ${ms(percentile(back.pageTimes, 0.99))}, most ${ms(Math.max(...back.pageTimes))}`);
  console.log("  JS heap after a garbage collection, by lines scrolled through: " +
              back.heaps.map(([through, heap]) => `${through.toLocaleString("en")}: ` +
                             `${(heap / 1048576).toFixed(1)} MiB`).join(", "));
  await browser.close();
} finally {
  for (const child of children) child.kill("SIGTERM");
  rmSync(dir, { recursive: true, force: true });
}
