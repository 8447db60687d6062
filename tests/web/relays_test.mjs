// More browsers than one viewer serves: two `vantrel-view --web` relays following the same
// daemons, behind an nginx upstream. The relay a browser reads from is stopped; the browser goes
// on through the other with every line once, in order, and no gap: with one daemon, and with two,
// whose lines each relay merges in the order they reached it.
// Usage: node relays_test.mjs BUILD_DIR. Exit status 0, 1, or 77 without nginx or Chromium.
import { appendFileSync, existsSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { freePort, harness, nginxIn, shows } from "./harness.mjs";

const NGINX = "/usr/sbin/nginx";
if (!existsSync(NGINX)) {
  console.log("skipped: the relays test needs nginx (apt-get install nginx-light)");
  process.exit(77);
}
const [build] = process.argv.slice(2);
const { dir, check, start, startListening, launch, run } = harness("relays");

// The lines each source wrote, and what the page shows of each: "NAME | line" with several.
const written = {};
function append(name, count) {
  const lines = [];
  for (let i = 0; i < count; i++) {
    const n = written[name].length + lines.length;
    lines.push(`${name} ${n} ${"x".repeat(n % 50)}`);
  }
  written[name].push(...lines);
  appendFileSync(join(dir, `${name}.log`), lines.join("\n") + "\n");
}
const appendAll = (names, count) => names.forEach((name) => append(name, count));

async function relaysOf(names, browser) {
  const [proxyPort, ...relayPorts] = [await freePort(), await freePort(), await freePort()];
  const configs = [];
  for (const [i, name] of names.entries()) {
    writeFileSync(join(dir, `${name}.cfg`), `password = "secret"\nkey = "3e07b1d${i}"\n` +
                  `port = "${await freePort()}"\n`);
    writeFileSync(join(dir, `${name}.log`), "");
    written[name] = [];
    await start(join(build, "vantrel"), ["-c", `${name}.cfg`, "-f", `${name}.log`, "-q"],
                "Waiting for clients connection");
    configs.push("-c", `${name}.cfg`);
    // More log than a relay's ring (4 MiB) holds, so that each relay, filling its ring from the
    // log's end when it starts, numbers the bytes in its ring from another place. Long lines,
    // so they are few: a browser that comes while a relay still fills gets the rest of the fill
    // as it arrives, and 400,000 short ones kept it busy past the checks' time.
    appendFileSync(join(dir, `${name}.log`), `older line ${"-".repeat(99)}\n`.repeat(40000));
    append(name, 100);
  }
  const relays = [];
  for (const [i, port] of relayPorts.entries()) {
    if (i > 0) appendAll(names, 5000);
    relays.push(await start(join(build, "vantrel-view"), [...configs, "-r", "--web", `${port}`],
                            names.length > 1 ? "the page is at" : "logged in"));
  }
  const says = () => relays.map((relay) => relay.said());
  const nginxArgs = nginxIn(join(dir, names.join("-")), proxyPort, {
    upstream: `upstream relays {
      server 127.0.0.1:${relayPorts[0]} max_fails=1 fail_timeout=30s;
      server 127.0.0.1:${relayPorts[1]} max_fails=1 fail_timeout=30s;
    }`,
    locations: `location / {
        proxy_pass http://relays;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_next_upstream error timeout;
      }`,
  });
  await startListening(NGINX, nginxArgs, proxyPort);
  const page = await browser.newPage();
  page.on("pageerror", (e) => check(`the page runs without errors (${e.message})`, false));
  await page.goto(`http://127.0.0.1:${proxyPort}/`);
  const up = await page.waitForFunction(
    () => document.getElementById("state").className === "up", { timeout: 60000 })
    .then(() => true, () => false);
  check(`${names.length} source(s): the page follows every source ` +
        `(${await page.$eval("#state", (state) => state.textContent)})`, up);
  appendAll(names, 100);
  const last = () => written[names.at(-1)].at(-1);
  // Each relay first fills its rings from the logs' ends: slow under the sanitizers, slower
  // still beside other tests.
  check(`${names.length} source(s): the page shows the log through nginx`,
        await shows(page, last(), 90000));

  // The relay the browser's stream runs through is stopped while the logs go on.
  const serving = says().findIndex((text) => text.includes("browser"));
  const stopped = new Promise((resolve) => relays[serving].on("exit", resolve));
  relays[serving].kill("SIGTERM");
  await stopped;
  for (let round = 0; round < 10; round++) {
    appendAll(names, 20);
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  check(`${names.length} source(s): the browser goes on through the other relay`,
        await shows(page, last(), 20000) && says()[1 - serving].includes("browser"));
  const text = await page.$eval("#log", (element) => element.innerText);
  for (const name of names) {
    const shown = text.split("\n").map((line) => line.replace(/^\S+ +\| /, ""))
      .filter((line) => line.startsWith(`${name} `));
    const first = written[name].indexOf(shown[0]);
    check(`${name}: every line from the first shown on arrives once, in order (${shown.length})`,
          first >= 0 && shown.join("\n") === written[name].slice(first).join("\n"));
  }
  check(`${names.length} source(s): no gap is shown`, !text.includes("missed here"));
  await page.close();
}

await run(async () => {
  const browser = await launch();
  await relaysOf(["line"], browser);
  await relaysOf(["alpha", "beta"], browser);
});
