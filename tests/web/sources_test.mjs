// One page for several logs: three daemons with their own keys and passwords behind one
// vantrel-view. All their lines appear merged, each behind its source's name; picking a source
// shows only its lines and puts it in the address; the filter works across sources.
// Usage: node sources_test.mjs BUILD_DIR. Exit status 0, 1, or 77 without Chromium.
import { appendFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { freePort, harness, shows } from "./harness.mjs";

const [build] = process.argv.slice(2);
const { dir, check, start, launch, run } = harness("sources");
const names = ["alpha", "beta", "gamma"];
const logOf = (name) => join(dir, `${name}.log`);
const visibleLines = (page) => page.evaluate(() =>
  [...document.querySelectorAll("#log .line .text")].map((line) => line.textContent));

await run(async () => {
  const configs = [];
  for (const [i, name] of names.entries()) {
    const port = await freePort();
    const entries = `key = "${(0x3e07b1d4 + i).toString(16)}"\npassword = "pw-${name}"\n` +
                    `port = "${port}"\n`;
    writeFileSync(join(dir, `${name}.cfg`), entries);
    writeFileSync(logOf(name), "");
    await start(join(build, "vantrel"), ["-c", `${name}.cfg`, "-f", logOf(name), "-q"],
                "Waiting for clients connection");
    configs.push("-c", `${name}.cfg`);
  }
  const webPort = await freePort();
  const viewer = await start(join(build, "vantrel-view"), [...configs, "--web", `${webPort}`],
                             "the page is at");
  const page = await (await launch()).newPage();
  await page.goto(`http://127.0.0.1:${webPort}/`);
  await page.waitForFunction(() => document.querySelectorAll("#sources a").length === 4);
  for (const name of names) appendFileSync(logOf(name), `${name} first\nmatch ${name}\n`);
  check("all three sources' lines appear, each behind its name",
        await shows(page, "gamma | match gamma", 5000) &&
        await shows(page, "alpha | alpha first") && await shows(page, "beta  | match beta"));

  await page.click('#sources a[data-source="beta"]');
  await page.waitForFunction(() => document.getElementById("log").innerText.includes("match beta"));
  appendFileSync(logOf("alpha"), "alpha later\n");
  appendFileSync(logOf("beta"), "beta later\n");
  await shows(page, "beta later", 5000);
  const betaOnly = await visibleLines(page);
  check("picking a source shows only its lines, and puts it in the address",
        page.url().endsWith("?source=beta") && betaOnly.includes("beta later") &&
        betaOnly.every((line) => line.startsWith("beta") || line.startsWith("match beta")));

  await page.goto(`http://127.0.0.1:${webPort}/?source=gamma`);
  check("a bookmarked source opens on its own",
        await shows(page, "match gamma", 5000) && !(await shows(page, "alpha", 300)));

  await page.goto(`http://127.0.0.1:${webPort}/`);
  await shows(page, "alpha | alpha later", 5000);
  await page.type("#filter", "match");
  const matching = await visibleLines(page);
  check("the filter works across sources",
        matching.length === 3 && names.every((name) => matching.includes(`${name.padEnd(5)} | match ${name}`)));
  // A merged line's link names its source and its place in that source's log.
  const link = await page.$$eval("#log .line", (rows) => {
    const row = rows.find((r) => r.querySelector(".text").textContent.endsWith("| match beta"));
    return row ? row.querySelector("a.at").getAttribute("href") : "";
  });
  await page.goto(`http://127.0.0.1:${webPort}/${link}`);
  await page.waitForFunction(() => document.querySelector("#log .line.target"), { timeout: 5000 })
    .catch(() => {});
  check(`a merged line's link (${link}) opens that line in its source`,
        link.startsWith("?source=beta#at=") &&
        (await page.$eval("#log .line.target .text", (e) => e.textContent).catch(() => "")) === "match beta");
  check("one connection to each daemon, however many pages were opened",
        (viewer.said().match(/connected to/g) || []).length === 3);
});
