// More browsers than one viewer serves: two `vantrel-view --web` relays following one daemon,
// behind an nginx upstream. The relay a browser reads from is stopped; the browser goes on
// through the other with every line once, in order, and no gap.
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
const log = join(dir, "test.log");
const [daemonPort, proxyPort, ...relayPorts] =
  [await freePort(), await freePort(), await freePort(), await freePort()];

writeFileSync(join(dir, "vantrel.cfg"), 'password = "secret"\nkey = "3e07b1d4"\n');
writeFileSync(log, "");
const nginxArgs = nginxIn(dir, proxyPort, {
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

let number = 0;
const written = [];
function append(count) {
  const lines = [];
  for (let i = 0; i < count; i++) lines.push(`line ${number++} ${"x".repeat(number % 50)}`);
  written.push(...lines);
  appendFileSync(log, lines.join("\n") + "\n");
}

await run(async () => {
  await start(join(build, "vantrel"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-f", log, "-q"],
              "Waiting for clients connection");
  // More log than a relay's ring holds, so that each relay, filling its ring from the log's end
  // when it starts, numbers the bytes in its ring from another place.
  appendFileSync(log, `${"older line\n".repeat(500000)}`);
  append(100);
  const relays = [];
  const says = ["", ""];
  for (const [i, port] of relayPorts.entries()) {
    if (i > 0) append(5000);
    relays.push(await start(join(build, "vantrel-view"),
                            ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-r", "--web", `${port}`],
                            "logged in"));
    relays[i].stderr.on("data", (chunk) => { says[i] += chunk; });
  }
  await startListening(NGINX, nginxArgs, proxyPort);
  const page = await (await launch()).newPage();
  await page.goto(`http://127.0.0.1:${proxyPort}/`);
  await page.waitForFunction(() => document.getElementById("state").className === "up");
  append(100);
  check("the page shows the log through nginx", await shows(page, written.at(-1), 5000));

  // The relay the browser's stream runs through is stopped while the log goes on.
  const serving = says.findIndex((text) => text.includes("browser"));
  const stopped = new Promise((resolve) => relays[serving].on("exit", resolve));
  relays[serving].kill("SIGTERM");
  await stopped;
  for (let round = 0; round < 10; round++) {
    append(20);
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  check("the browser goes on through the other relay",
        await shows(page, written.at(-1), 20000) && says[1 - serving].includes("browser"));
  const text = await page.$eval("#log", (element) => element.innerText);
  const shown = text.split("\n").filter((line) => line.startsWith("line "));
  const first = written.indexOf(shown[0]);
  check(`every line from the first shown on arrives once, in order (${shown.length} lines)`,
        first >= 0 && shown.join("\n") === written.slice(first).join("\n"));
  check("no gap is shown", !text.includes("missed here"));
});
