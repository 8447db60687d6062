// The browser viewer in a real browser: the real daemon, the real vantrel-view --web, and
// Debian's Chromium driven by puppeteer-core. Usage: node web_test.mjs BUILD_DIR [SCREENSHOT]
// Exit status 0 when every check held, 1 when one did not, 77 when no browser is installed.
import { appendFileSync, writeFileSync } from "node:fs";
import { execFileSync } from "node:child_process";
import { get } from "node:http";
import { join } from "node:path";
import { freePort, harness, shows } from "./harness.mjs";

const [build, screenshot] = process.argv.slice(2);
const { dir, check, start, launch, run } = harness("web");
const log = join(dir, "test.log");

const daemonPort = await freePort();
const webPort = await freePort();
writeFileSync(join(dir, "vantrel.cfg"),
              'password = "secret"\nkey = "3e07b1d4"\nweb_password = "open sesame"\n');
// A self-signed certificate for the page's HTTPS.
execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                         "-subj", "/CN=127.0.0.1", "-keyout", join(dir, "key.pem"),
                         "-out", join(dir, "cert.pem")], { stdio: "ignore" });
writeFileSync(log, "");
const startDaemon = () =>
  start(join(build, "vantrel"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-f", log, "-q"],
        "Waiting for clients connection");

await run(async () => {
  let daemon = await startDaemon();
  const relay = await start(join(build, "vantrel-view"),
                            ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-r", "--web", `${webPort}`,
                             "--tls-cert", "cert.pem", "--tls-key", "key.pem"],
                            "logged in");
  check("the announcement names the user name that goes with the password",
        relay.said().includes(`the page is at https://127.0.0.1:${webPort}/ (user name "vantrel" and the web_password)`));
  const plain = await new Promise((resolve) => {
    get(`http://127.0.0.1:${webPort}/`, (answer) => {
      let body = "";
      answer.on("data", (chunk) => { body += chunk; });
      answer.on("end", () => resolve({ status: answer.statusCode, body }));
    }).on("error", (error) => resolve({ status: 0, body: error.message }));
  });
  check(`plain HTTP on the HTTPS port is told to use https (${plain.status} ${plain.body.trim()})`,
        plain.status === 400 && plain.body.includes("use https://"));
  const browser = await launch();
  const url = `https://127.0.0.1:${webPort}/`;
  appendFileSync(log, "12:00:00 INFO only for those with the password\n");
  const stranger = await browser.newPage();
  const answer = stranger.waitForResponse((response) => response.url() === url, { timeout: 5000 })
    .catch(() => null);
  await stranger.goto(url).catch(() => {});  // Chromium gives up on a challenge it cannot answer
  const response = await answer;
  check("without the password the page answers 401 over HTTPS",
        response !== null && response.status() === 401);
  check("and shows no log", !(await stranger.content()).includes("only for those"));
  await stranger.close();

  const page = await browser.newPage();
  await page.authenticate({ username: "vantrel", password: "open sesame" });
  await page.setViewport({ width: 900, height: 520 });
  page.on("pageerror", (e) => check(`the page runs without errors (${e.message})`, false));
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById("state").className === "up");
  appendFileSync(log, "12:00:01 INFO server started\n12:00:02 ERROR disk is full\n");
  check("lines appended to the log appear in the page within a second",
        await shows(page, "ERROR disk is full"));

  const later = await browser.newPage();
  await later.authenticate({ username: "vantrel", password: "open sesame" });
  await later.goto(url);
  check("a page opened later shows the recent lines", await shows(later, "INFO server started"));
  await later.close();

  // The page draws the lines the filter lets through, and only those.
  const visible = () => page.$$eval("#log .line", (lines) => lines.map((line) => line.innerText));
  await page.type("#filter", "ERROR");
  let shown = await visible();
  check("the filter shows the matching lines only",
        shown.length === 1 && shown[0].includes("ERROR disk is full"));
  await page.click("#invert");
  shown = await visible();
  check("the invert toggle shows the others",
        shown.length === 2 && shown.every((line) => line.includes("INFO")));
  await page.click("#invert");
  await page.$eval("#filter", (box) => { box.value = "/^12:00:0[12]/"; });
  await page.type("#filter", " ");  // an input event; the trailing blank makes the regex fail
  await page.keyboard.press("Backspace");
  check("a /regex/ filter matches", (await visible()).length === 2);
  await page.$eval("#filter", (box) => { box.value = ""; box.dispatchEvent(new Event("input")); });

  let burst = "";
  for (let i = 0; burst.length < 200000; i++) burst += `12:00:03 DEBUG line ${i} of a burst\n`;
  appendFileSync(log, burst);
  check("a burst that takes many writes arrives whole over HTTPS",
        await shows(page, burst.slice(burst.lastIndexOf("line"), -1), 5000));


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
});
