// The whole log in the page: a log longer than the relay sends a new browser, two relays behind
// nginx. The page scrolls up to the file's first byte drawing a bounded number of elements, with
// every line once and in order; a search over the whole file lists its matches, one opens its
// line among its neighbours, one action follows live again; a line's link opens the same line
// through the other relay; the downloads are the file's bytes.
// Usage: node whole_test.mjs BUILD_DIR [SCREENSHOT_PREFIX]. Exit status 0, 1, or 77.
import { createHash } from "node:crypto";
import { appendFileSync, existsSync, readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { freePort, harness, nginxIn, shows } from "./harness.mjs";

const NGINX = "/usr/sbin/nginx";
if (!existsSync(NGINX)) {
  console.log("skipped: the whole-log test needs nginx (apt-get install nginx-light)");
  process.exit(77);
}
const [build, screenshots] = process.argv.slice(2);
const { dir, check, start, startListening, launch, run } = harness("whole");
const log = join(dir, "test.log");
const LINES = 30000;
const NEEDLE_EVERY = 3000;
const lineText = (n) => `line ${String(n).padStart(6, "0")} ${n % NEEDLE_EVERY === 7 ? "needle " : ""}` +
  "lorem ipsum ".repeat(n % 11);
const sha = (bytes) => createHash("sha256").update(bytes).digest("hex");

// The numbers of the lines drawn, in the order drawn.
const drawnNumbers = (page) => page.$$eval("#log .line", (rows) =>
  rows.map((row) => /^line (\d+)/.exec(row.querySelector(".text").textContent)).filter(Boolean).map((m) => Number(m[1])));
const consecutive = (numbers) => numbers.every((n, i) => i === 0 || n === numbers[i - 1] + 1);
const elements = (page) => page.evaluate(() => document.getElementsByTagName("*").length);

await run(async () => {
  const all = [];
  for (let n = 0; n < LINES; n++) all.push(lineText(n));
  writeFileSync(log, all.join("\n") + "\n");
  writeFileSync(join(dir, "vantrel.cfg"), 'password = "secret"\nkey = "3e07b1d4"\n');
  const [daemonPort, proxyPort, portA, portB] =
    [await freePort(), await freePort(), await freePort(), await freePort()];
  await start(join(build, "vantrel"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-f", log, "-q"],
              "Waiting for clients connection");
  for (const [port, base] of [[portA, "/a/"], [portB, "/b/"]]) {
    await start(join(build, "vantrel-view"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-r",
                                              "--web", `${port}`, "--web-base", base], "logged in");
  }
  const relay = (port) => `location /${port === portA ? "a" : "b"}/ {
      proxy_pass http://127.0.0.1:${port};
      proxy_http_version 1.1;
      proxy_set_header Connection "";
    }`;
  await startListening(NGINX, nginxIn(dir, proxyPort, { locations: relay(portA) + relay(portB) }),
                       proxyPort);
  const browser = await launch();
  const page = await browser.newPage();
  page.on("pageerror", (e) => check(`the page runs without errors (${e.message})`, false));
  await page.setViewport({ width: 1280, height: 720 });
  await page.goto(`http://127.0.0.1:${proxyPort}/a/`);
  check("the page shows the log's last line", await shows(page, lineText(LINES - 1), 10000));
  check("and not its first: the relay sends a new browser only the log's end",
        !(await page.$eval("#log", (e) => e.innerText.includes("line 000000"))));

  // Up to the first byte, a screen at a time.
  let mostElements = 0, inOrder = true, steps = 0;
  for (; steps < 2000; steps++) {
    const numbers = await drawnNumbers(page);
    inOrder &&= consecutive(numbers);
    mostElements = Math.max(mostElements, await elements(page));
    if (numbers[0] === 0) break;
    await page.$eval("#log", (e) => { e.scrollTop = 0; });
    await page.waitForFunction(() => new Promise((resolve) => requestAnimationFrame(() => resolve(true))));
  }
  check(`scrolling up reaches the file's first line (${steps} steps)`,
        (await drawnNumbers(page))[0] === 0 &&
        await shows(page, "the log's first byte", 5000));
  check("every step draws consecutive lines, none twice, none skipped", inOrder);
  check(`the document stays small however far it scrolls (at most ${mostElements} elements)`,
        mostElements < 2000);
  if (screenshots) await page.screenshot({ path: `${screenshots}-start-1280.png` });

  // A search over the whole file, newest first.
  const needles = all.filter((text) => text.includes("needle")).reverse();
  await page.type("#search", "needle\n");
  await page.waitForFunction(() => /matches?$/.test(document.getElementById("progress").textContent) &&
                             !document.getElementById("progress").textContent.includes(" of "),
                             { timeout: 10000 }).catch(() => {});
  const listed = await page.$$eval("#matches button", (buttons) => buttons.map((b) => b.textContent));
  check(`the search lists every match of the whole file, newest first (${listed.length})`,
        JSON.stringify(listed) === JSON.stringify(needles));
  check("and says how many", (await page.$eval("#progress", (e) => e.textContent)) ===
        `${needles.length} matches`);

  await (await page.$$("#matches button"))[3].click();
  const wanted = Number(/^line (\d+)/.exec(needles[3])[1]);
  await page.waitForFunction((text) => {
    const target = document.querySelector("#log .line.target .text");
    return target && target.textContent === text;
  }, { timeout: 5000 }, needles[3]).catch(() => {});
  const around = await drawnNumbers(page);
  check("a match opens its line among its neighbours",
        (await page.$eval("#log .line.target .text", (e) => e.textContent).catch(() => "")) === needles[3] &&
        around.includes(wanted - 1) && around.includes(wanted + 1) && consecutive(around));
  if (screenshots) await page.screenshot({ path: `${screenshots}-match-1280.png` });
  const link = await page.$eval("#log .line.target a.at", (a) => a.getAttribute("href"));

  appendFileSync(log, "appended while reading the past\n");
  await page.click("#live");
  check("one action follows live again", await shows(page, "appended while reading the past", 5000));

  const other = await browser.newPage();
  await other.setViewport({ width: 390, height: 800 });
  await other.goto(`http://127.0.0.1:${proxyPort}/b/${link}`);
  await other.waitForFunction(() => document.querySelector("#log .line.target"), { timeout: 5000 })
    .catch(() => {});
  check(`a line's link (${link}) opens the same line through the other relay`,
        (await other.$eval("#log .line.target .text", (e) => e.textContent).catch(() => "")) === needles[3]);
  if (screenshots) await other.screenshot({ path: `${screenshots}-link-390.png` });

  const fetched = (href) => other.evaluate(async (url) => {
    const response = await fetch(url);
    return [...new Uint8Array(await response.arrayBuffer())];
  }, href);
  const file = readFileSync(log);
  check("the whole log downloads byte for byte",
        sha(Buffer.from(await fetched(await other.$eval("#downloadAll", (a) => a.href)))) === sha(file));
  const viewHref = await other.$eval("#downloadView", (a) => a.href);
  const [from, to] = [...viewHref.matchAll(/:(\d+)(&|$)/g)].map((m) => Number(m[1]));
  const view = Buffer.from(await fetched(viewHref));
  check("the lines in view download byte for byte",
        to > from && sha(view) === sha(file.subarray(from, to)) && file[from - 1] === 10 &&
        view.toString().includes(needles[3]));
});
