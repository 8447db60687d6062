// What the browser tests share: a temporary folder, free ports, programs started and awaited,
// Debian's Chromium through puppeteer-core, and the checks' tally.
import { spawn } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { connect, createServer } from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import puppeteer from "puppeteer-core";

const CHROMIUM = "/usr/bin/chromium";

export function harness(name) {
  if (!existsSync(CHROMIUM)) {
    console.log("skipped: the browser test needs Chromium (apt-get install chromium)");
    process.exit(77);
  }
  const dir = mkdtempSync(join(tmpdir(), `vantrel-${name}-`));
  const children = [];
  let passed = 0;
  let failed = 0;
  let browser;

  function check(what, holds) {
    if (holds) passed++;
    else failed++;
    console.log(`${holds ? "ok" : "FAILED"}: ${what}`);
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
      child.said = () => seen;  // all it has said, from its first byte on
      child.on("exit", () => reject(new Error(`${program} ended: ${seen}`)));
      setTimeout(() => reject(new Error(`${program} not ready: ${seen}`)), 10000);
    });
  }

  // Starts a program that says nothing and resolves once it accepts connections on `port`.
  async function startListening(program, args, port) {
    const child = spawn(program, args, { cwd: dir, stdio: "ignore" });
    children.push(child);
    for (let tries = 0; tries < 200; tries++) {
      const up = await new Promise((resolve) => {
        const socket = connect(port, "127.0.0.1", () => { socket.destroy(); resolve(true); });
        socket.on("error", () => resolve(false));
      });
      if (up) return child;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    throw new Error(`${program} does not listen on ${port}`);
  }

  async function launch() {
    browser = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run",
             "--ignore-certificate-errors"],
      userDataDir: join(dir, "chromium"),
    });
    return browser;
  }

  // Runs the checks, then ends everything and exits with the tally.
  async function run(checks) {
    try {
      await checks();
    } catch (error) {
      check(`the run went through (${error.message})`, false);
    } finally {
      // What the programs said tells why a check failed.
      if (failed > 0) {
        for (const child of children.filter((c) => c.said)) {
          console.log(`--- ${child.spawnargs.join(" ")}:\n${child.said().slice(-3000)}`);
        }
      }
      if (browser) await browser.close();
      for (const child of children) child.kill("SIGTERM");
      rmSync(dir, { recursive: true, force: true });
    }
    console.log(`${passed} passed, ${failed} failed`);
    process.exit(failed === 0 ? 0 : 1);
  }

  return { dir, check, start, startListening, launch, run };
}

// A port free now. A port handed out earlier may still be free until its program binds it, and
// the system may offer it again: no port is handed out twice in one run.
const handedOut = new Set();
export async function freePort() {
  for (;;) {
    const port = await new Promise((resolve) => {
      const server = createServer().listen(0, "127.0.0.1", () => {
        const { port: offered } = server.address();
        server.close(() => resolve(offered));
      });
    });
    if (!handedOut.has(port)) {
      handedOut.add(port);
      return port;
    }
  }
}

// Whether the page's log shows `text` within `timeout` ms.
export const shows = (page, text, timeout = 1000) =>
  page.waitForFunction((t) => document.getElementById("log").innerText.includes(t), { timeout },
                       text).then(() => true, () => false);

// A configuration of its own in `dir` for Debian's nginx, listening on 127.0.0.1:`port` with
// `upstream` and the server's `locations` in its http block; returns nginx's arguments for it.
export function nginxIn(dir, port, { upstream = "", locations }) {
  mkdirSync(join(dir, "nginx"), { recursive: true });
  writeFileSync(join(dir, "nginx.conf"), `
user root;
worker_processes 1;
daemon off;
pid ${dir}/nginx.pid;
error_log ${dir}/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path ${dir}/nginx; proxy_temp_path ${dir}/nginx;
  fastcgi_temp_path ${dir}/nginx; uwsgi_temp_path ${dir}/nginx; scgi_temp_path ${dir}/nginx;
  ${upstream}
  server {
    listen 127.0.0.1:${port};
    ${locations}
  }
}
`);
  return ["-p", dir, "-c", join(dir, "nginx.conf"), "-e", join(dir, "nginx", "error.log")];
}
