// The browser viewer behind Debian's nginx, as on an open network: the page under a base path,
// a quiet spell longer than nginx's read timeout and the viewer's write limit, and nginx
// restarted while the log grows.
// Usage: node proxy_test.mjs BUILD_DIR. Exit status 0, 1, or 77 without nginx or Chromium.
import { appendFileSync, existsSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { freePort, harness, nginxIn, shows } from "./harness.mjs";

const NGINX = "/usr/sbin/nginx";
if (!existsSync(NGINX)) {
  console.log("skipped: the proxy test needs nginx (apt-get install nginx-light)");
  process.exit(77);
}
const [build] = process.argv.slice(2);
const { dir, check, start, startListening, launch, run } = harness("proxy");
const log = join(dir, "test.log");
const [daemonPort, webPort, proxyPort] = [await freePort(), await freePort(), await freePort()];
const READ_TIMEOUT_SECONDS = 18;  // beyond the viewer's 15-second comments on a quiet stream
// A quiet spell past nginx's read timeout, and past the viewer's 60-second limit on a write
// that the browser does not take, which must not end a stream whose browser reads.
const QUIET_SECONDS = 64;

writeFileSync(join(dir, "vantrel.cfg"), 'password = "secret"\nkey = "3e07b1d4"\n');
writeFileSync(log, "");
const nginxArgs = nginxIn(dir, proxyPort, { locations: `
    location /vantrel/ {
      proxy_pass http://127.0.0.1:${webPort};
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_read_timeout ${READ_TIMEOUT_SECONDS}s;
    }` });
const startNginx = () => startListening(NGINX, nginxArgs, proxyPort);

await run(async () => {
  await start(join(build, "vantrel"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-f", log, "-q"],
              "Waiting for clients connection");
  const viewer = await start(join(build, "vantrel-view"),
                             ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "--web", `${webPort}`,
                              "--web-base", "/vantrel/"], "logged in");
  let viewerSays = "";
  viewer.stderr.on("data", (chunk) => { viewerSays += chunk; });
  let nginx = await startNginx();
  const page = await (await launch()).newPage();
  await page.goto(`http://127.0.0.1:${proxyPort}/vantrel/`);
  await page.waitForFunction(() => document.getElementById("state").className === "up");
  appendFileSync(log, "through the proxy\n");
  check("the page loads under its base path and lines stream through nginx",
        await shows(page, "through the proxy"));

  const streamsBefore = viewerSays.split("connected\n").length;
  await new Promise((resolve) => setTimeout(resolve, QUIET_SECONDS * 1000));
  appendFileSync(log, "after a quiet spell\n");
  check("a quiet minute, past nginx's read timeout and the viewer's write limit, leaves the " +
        "stream open",
        (await shows(page, "after a quiet spell")) &&
        viewerSays.split("connected\n").length === streamsBefore);

  const stopped = new Promise((resolve) => nginx.on("exit", resolve));
  nginx.kill("SIGTERM");
  await stopped;
  const during = [];
  for (let i = 0; i < 50; i++) during.push(`written while nginx was down ${i}`);
  appendFileSync(log, during.join("\n") + "\n");
  nginx = await startNginx();
  const resumed = await shows(page, during[during.length - 1], 15000);
  const text = await page.$eval("#log", (element) => element.innerText);
  check("after nginx restarts the stream resumes with every line once, in order",
        resumed && during.every((line) => text.split(line + "\n").length === 2 ||
                                          text.split(line).length === 2) &&
        during.every((line, i) => i === 0 || text.indexOf(line) > text.indexOf(during[i - 1])));
});
