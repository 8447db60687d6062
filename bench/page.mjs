// The page in headless Chromium, beside another build's page in the same run.
//
// Usage: node bench/page.mjs BUILD_FOLDER [--baseline OTHER_BUILD] [--lines N] [--opens N]
//                             [--rate LINES_PER_SECOND] [--rate-seconds N]
//
// 1. Opening: a log longer than the relay's ring (4 MiB), the relay's ring full; the page
//    opened again and again: the time from the start of the navigation to the first line
//    drawn, median and most, and the elements in the document once the ring's recent lines
//    are in. The baseline build's page beside it, opened alternately.
// 2. Scrolling back: from the live end up to the file's first byte through N lines (1,000,000
//    by default): the most elements the document held, the tab's JS heap after a garbage
//    collection every quarter of the way, and the time each page of earlier lines took to be
//    drawn, p50 / p99. The baseline page cannot scroll back past what it holds.
// 3. A fast stream: 2,000 lines a second for 60 s of a mixed log (levels, JSON lines, colours,
//    long lines) into a page following live, each build's page in turn: lines lost, the most
//    elements in the document, the JS heap (after a collection before and after, and as used
//    every 15 s), the longest task of the page's main thread in Chromium's trace, and whether
//    each of the last 5,000 lines is drawn, in order, once scrolled to.
// Loopback only; everything stops by itself.
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, openSync, readFileSync, rmSync, writeFileSync, writeSync, closeSync } from "node:fs";
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
const RATE = Number(option("--rate", 2000));
const RATE_SECONDS = Number(option("--rate-seconds", 60));
const LEVEL_WORDS = ["info", "warn", "error", "debug"];
// A log as applications write it; every line carries "seq N".
const rateLine = (n) => {
  switch (n % 5) {
    case 0: return `2026-12-10T12:00:00.000Z INFO \x1b[32mseq ${n}\x1b[0m request served in ${n % 97} ms`;
    case 1: return JSON.stringify({ time: "2026-12-10T12:00:00Z", level: LEVEL_WORDS[n % 4],
                                    msg: `seq ${n} handled`, status: 200 + (n % 300), user: { id: n % 1000 } });
    case 2: return `2026-12-10 12:00:00 WARN seq ${n} slow upstream ${"x".repeat(n % 200)}`;
    case 3: return `[ERROR] seq ${n} \x1b[1;31mfailed\x1b[0m key=value path=/a/b/${n}`;
    default: return `debug seq ${n} ${"lorem ipsum ".repeat(n % 30)}`;
  }
};

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

// The numbers of the "seq N" lines drawn, in the order drawn.
const drawnSeqs = (page) => page.$$eval("#log .line", (rows) =>
  rows.map((row) => /seq (\d+)/.exec(row.textContent)).filter(Boolean).map((m) => Number(m[1])));

// The longest task on the page's main thread in a trace.
function longestTask(trace) {
  const events = JSON.parse(trace).traceEvents;
  const main = new Set(events.filter((e) => e.name === "thread_name" && e.args.name === "CrRendererMain")
    .map((e) => `${e.pid}:${e.tid}`));
  let longest = 0;
  for (const e of events) {
    if (e.ph === "X" && /RunTask$/.test(e.name) && main.has(`${e.pid}:${e.tid}`)) longest = Math.max(longest, e.dur / 1000);
  }
  return longest;
}

async function streamAtRate(browser, url, log, first) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  // Counts the log's lines as the relay sends them, before the page reads them.
  await page.evaluateOnNewDocument(() => {
    window.received = 0;
    const add = EventSource.prototype.addEventListener;
    EventSource.prototype.addEventListener = function (type, listener, ...rest) {
      if (type !== "log") return add.call(this, type, listener, ...rest);
      return add.call(this, type, (e) => {
        const raw = atob(e.data);
        for (let i = 0; i < raw.length; i++) if (raw.charCodeAt(i) === 10) window.received++;
        listener(e);
      }, ...rest);
    };
  });
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById("state").className === "up", { timeout: 20000 });
  await new Promise((resolve) => setTimeout(resolve, 1000));
  const startReceived = await page.evaluate(() => window.received);
  const heapBefore = await heapAfterCollection(page);
  const tracePath = join(dir, "trace.json");
  await page.tracing.start({ path: tracePath, categories: ["toplevel"] });
  const session = await page.createCDPSession();
  const fd = openSync(log, "a");
  const started = performance.now();
  let written = 0, mostElements = 0;
  const heapsUsed = [];
  while (written < RATE * RATE_SECONDS) {
    await new Promise((resolve) => setTimeout(resolve, 10));
    const due = Math.min(RATE * RATE_SECONDS, Math.floor((performance.now() - started) * RATE / 1000));
    const lines = [];
    for (; written < due; written++) lines.push(rateLine(first + written));
    if (lines.length) writeSync(fd, lines.join("\n") + "\n");
    const second = Math.floor((performance.now() - started) / 1000);
    if (second > heapsUsed.length * 15 - 1 && second % 15 === 0 && second > 0) {
      heapsUsed.push((await session.send("Runtime.getHeapUsage")).usedSize);
    }
    if (written % RATE < RATE / 100) {
      mostElements = Math.max(mostElements, await page.evaluate(() => document.getElementsByTagName("*").length));
    }
  }
  closeSync(fd);
  const arrived = await page.waitForFunction((n) => window.received >= n, { timeout: 20000 },
                                             startReceived + written).then(() => true, () => false);
  const lost = startReceived + written - (await page.evaluate(() => window.received));
  await page.tracing.stop();
  await session.detach();
  const longest = longestTask(readFileSync(tracePath, "utf8"));
  const heapAfter = await heapAfterCollection(page);
  // The last 5,000 lines, a screen at a time from the live end up: each drawn, in order.
  const last = first + written - 1;
  const seen = new Set();
  let inOrder = true;
  for (let steps = 0; steps < 2000; steps++) {
    const seqs = await drawnSeqs(page);
    inOrder &&= seqs.every((n, i) => i === 0 || n === seqs[i - 1] + 1);
    for (const n of seqs) seen.add(n);
    if (seqs.length && seqs[0] <= last - 5000) break;
    await page.$eval("#log", (e) => { e.scrollTop = Math.max(0, e.scrollTop - e.clientHeight); });
    await page.waitForFunction(() => new Promise((resolve) => requestAnimationFrame(() => resolve(true))));
  }
  let missing = 0;
  for (let n = last - 5000; n <= last; n++) if (!seen.has(n)) missing++;
  await page.close();
  return { written, lost: arrived ? lost : `${lost} (still missing after 20 s)`, mostElements,
           heapBefore, heapAfter, heapsUsed, longest, missing, inOrder };
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
  const mib = (bytes) => `${(bytes / 1048576).toFixed(1)} MiB`;
  let first = LINES;
  console.log(`A stream of ${RATE} lines a second for ${RATE_SECONDS} s into a page following live:`);
  for (const [name] of builds) {
    const r = await streamAtRate(browser, urls[name], log, first);
    first += r.written;
    console.log(`  ${name.padEnd(10)} ${r.written} lines written, lost ${r.lost}; most elements ${r.mostElements}; ` +
                `JS heap after a collection ${mib(r.heapBefore)} before, ${mib(r.heapAfter)} after ` +
                `(used every 15 s: ${r.heapsUsed.map(mib).join(", ")}); longest task ${ms(r.longest)}; ` +
                `of the last 5,000 lines scrolled to: ${r.missing} not drawn, ${r.inOrder ? "in order" : "OUT OF ORDER"}`);
  }
  await browser.close();
} finally {
  for (const child of children) child.kill("SIGTERM");
  rmSync(dir, { recursive: true, force: true });
}
