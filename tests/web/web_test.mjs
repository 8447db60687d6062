// The browser viewer in a real browser: the real daemon, the real vantrel-view --web, and
// Debian's Chromium driven by puppeteer-core. Usage: node web_test.mjs BUILD_DIR [SCREENSHOT]
// Exit status 0 when every check held, 1 when one did not, 77 when no browser is installed.
import { spawn } from "node:child_process";
import { appendFileSync, existsSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import puppeteer from "puppeteer-core";

const CHROMIUM = "/usr/bin/chromium";
const [build, screenshot] = process.argv.slice(2);
if (!existsSync(CHROMIUM)) {
  console.log("skipped: the browser test needs Chromium (apt-get install chromium)");
  process.exit(77);
}

const dir = mkdtempSync(join(tmpdir(), "vantrel-web-"));
const log = join(dir, "test.log");
let passed = 0;
let failed = 0;
const children = [];

function check(what, holds) {
  if (holds) passed++;
  else failed++;
  console.log(`${holds ? "ok" : "FAILED"}: ${what}`);
}

async function freePort() {
  return new Promise((resolve) => {
    const server = createServer().listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Starts a program and resolves once its standard error or output shows `ready`.
function start(program, args, ready) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { cwd: dir, stdio: ["ignore", "pipe", "pipe"] });
    children.push(child);
    let seen = "";
    const look = (chunk) => {
      seen += chunk;
      if (seen.includes(ready)) resolve(child);
    };
    child.stdout.on("data", look);
    child.stderr.on("data", look);
    child.on("exit", () => reject(new Error(`${program} ended: ${seen}`)));
    setTimeout(() => reject(new Error(`${program} not ready: ${seen}`)), 10000);
  });
}

const daemonPort = await freePort();
const webPort = await freePort();
writeFileSync(join(dir, "vantrel.cfg"), 'password = "secret"\nkey = "3e07b1d4"\n');
writeFileSync(log, "");
const startDaemon = () =>
  start(join(build, "vantrel"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-f", log, "-q"],
        "Waiting for clients connection");

let browser;
try {
  let daemon = await startDaemon();
  await start(join(build, "vantrel-view"),
              ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-r", "--web", `${webPort}`],
              "logged in");
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--no-first-run"],
    userDataDir: join(dir, "chromium"),
  });
  const url = `http://127.0.0.1:${webPort}/`;
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 520 });
  page.on("pageerror", (e) => check(`the page runs without errors (${e.message})`, false));
  await page.goto(url);
  const shows = (p, text, timeout = 1000) =>
    p.waitForFunction((t) => document.getElementById("log").innerText.includes(t), { timeout }, text)
      .then(() => true, () => false);

  await page.waitForFunction(() => document.getElementById("state").className === "up");
  appendFileSync(log, "12:00:01 INFO server started\n12:00:02 ERROR disk is full\n");
  check("lines appended to the log appear in the page within a second",
        await shows(page, "ERROR disk is full"));

  const later = await browser.newPage();
  await later.goto(url);
  check("a page opened later shows the recent lines", await shows(later, "INFO server started"));
  await later.close();

  const visible = () => page.$$eval("#log > div", (lines) =>
    lines.filter((line) => !line.hidden).map((line) => line.innerText));
  await page.type("#filter", "ERROR");
  let shown = await visible();
  check("the filter shows the matching lines only",
        shown.length === 1 && shown[0].includes("ERROR disk is full"));
  await page.click("#invert");
  shown = await visible();
  check("the invert toggle shows the others", shown.length === 1 && shown[0].includes("INFO"));
  await page.click("#invert");
  await page.$eval("#filter", (box) => { box.value = "/^12:00:0[12]/"; });
  await page.type("#filter", " ");  // an input event; the trailing blank makes the regex fail
  await page.keyboard.press("Backspace");
  check("a /regex/ filter matches", (await visible()).length === 2);
  await page.$eval("#filter", (box) => { box.value = ""; box.dispatchEvent(new Event("input")); });

  appendFileSync(log, "\x1b[31mred alert\x1b[0m plain\n" +
                      "<script>window.pwned = 1</script><img src=x onerror=\"window.pwned = 2\">\n");
  check("a coloured line arrives", await shows(page, "red alert"));
  const red = await page.$$eval("#log span.f1", (spans) =>
    spans.map((span) => [span.textContent, getComputedStyle(span).color]));
  check("a coloured line is styled", red.some(([text, color]) =>
    text === "red alert" && color !== "rgb(29, 31, 33)" && color !== "rgb(216, 218, 220)"));
  check("a <script> line is shown as text", await shows(page, "<script>window.pwned = 1</script>"));
  check("it runs nothing and adds no element",
        (await page.evaluate(() => window.pwned)) === undefined &&
        (await page.$$("#log script, #log img")).length === 0);

  const gone = new Promise((resolve) => daemon.on("exit", resolve));
  daemon.kill("SIGTERM");
  await gone;  // its port is free once it has ended
  await page.waitForFunction(() => document.getElementById("state").className === "down",
                             { timeout: 5000 }).catch(() => {});
  check("the page shows that the daemon went away",
        (await page.$eval("#state", (s) => s.className)) === "down");
  daemon = await startDaemon();
  const back = await page.waitForFunction(
    () => document.getElementById("state").className === "up", { timeout: 15000 })
    .then(() => true, () => false);
  check("after the daemon is restarted the page shows the reconnection", back);
  appendFileSync(log, "12:00:09 INFO back after the restart\n");
  check("and then the new lines, without a reload", await shows(page, "back after the restart", 3000));

  if (screenshot) {
    await page.type("#highlight", "ERROR");
    await page.screenshot({ path: screenshot });
  }
} catch (error) {
  check(`the run went through (${error.message})`, false);
} finally {
  if (browser) await browser.close();
  for (const child of children) child.kill("SIGTERM");
  rmSync(dir, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
