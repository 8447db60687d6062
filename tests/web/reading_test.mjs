// Reading a log in the page: one generated log with every terminal style, every level, JSON
// lines and a long line, checked by what Chromium shows (computed styles and boxes): styles,
// level marks and counts, JSON fields, the filter's count, wrapped lines hanging under their
// first row, numbers, the keys, a line's menu, the tab's title, the phone layout, and axe-core
// in both themes.
// Usage: node reading_test.mjs BUILD_DIR [SCREENSHOT_PREFIX]. Exit status 0, 1, or 77.
import { writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { join } from "node:path";
import { freePort, harness, shows } from "./harness.mjs";

const [build, screenshots] = process.argv.slice(2);
const { dir, check, start, launch, run } = harness("reading");
const log = join(dir, "app.log");
const axe = createRequire(import.meta.url).resolve("axe-core/axe.min.js");

// Each styled run says what it should look like; the checks read these words back.
const ESC = "\x1b[";
const STYLED = [
  ["bold", "1", (s) => Number(s.fontWeight) >= 600],
  ["italic", "3", (s) => s.fontStyle === "italic"],
  ["underlined", "4", (s) => s.textDecorationLine.includes("underline")],
  ["struck", "9", (s) => s.textDecorationLine.includes("line-through")],
  ["truecolour", "38;2;0;90;200", (s) => s.color === "rgb(0, 90, 200)"],
  ["indexed", "38;5;21", (s) => s.color !== "rgb(29, 31, 33)" && s.color.startsWith("rgb(0, 0,")],
  ["on-yellow", "30;43", (s) => s.backgroundColor !== "rgba(0, 0, 0, 0)"],
  ["on-cube", "48;5;196", (s) => s.backgroundColor.startsWith("rgb(255, 0, 0")],
  ["white-on-red", "37;41", (s) => s.backgroundColor === "rgb(196, 48, 43)" && /rgb\(2[0-9]{2}, /.test(s.color)],
  ["reversed", "7", (s) => s.backgroundColor === "rgb(29, 31, 33)"],
  ["dimmed", "2", (s) => s.color !== "rgb(29, 31, 33)"],
];
const LEVELS = [["FATAL", "fatal"], ["[ERROR]", "error"], ["WARN:", "warn"], ["INFO", "info"],
                ["debug", "debug"], ["TRACE", "trace"]];

function makeLog() {
  const lines = [];
  for (const [word, code] of STYLED) lines.push(`12:00:00 INFO ${ESC}2K${ESC}${code}m${word}${ESC}0m plain after`);
  lines.push(`12:00:00 INFO ${ESC}?25h<b>markup stays text</b>${ESC}1;2H`);
  for (let n = 0; n < 30; n++) {
    const [word] = LEVELS[n % LEVELS.length];
    lines.push(`2026-12-10T12:00:${String(n).padStart(2, "0")}Z ${word} worker ${n} did its part`);
  }
  lines.push("12:01:00 INFO the user reported an error, and a warning");
  lines.push("no level on this one");
  lines.push(JSON.stringify({ time: "12:02:00", level: "error", msg: "upstream failed", status: 500, path: "/api/orders" }));
  lines.push(JSON.stringify({ ts: "12:02:01", severity: "info", message: "served", status: 200, http: { method: "GET" } }));
  lines.push("12:03:00 INFO long " + "key=value ".repeat(34));
  return lines;
}

await run(async () => {
  const lines = makeLog();
  writeFileSync(log, lines.join("\n") + "\n");
  writeFileSync(join(dir, "vantrel.cfg"), 'password = "secret"\nkey = "3e07b1d4"\n');
  const [daemonPort, webPort] = [await freePort(), await freePort()];
  await start(join(build, "vantrel"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "-f", log, "-q"],
              "Waiting for clients connection");
  await start(join(build, "vantrel-view"), ["-c", "vantrel.cfg", "-p", `${daemonPort}`, "--web", `${webPort}`],
              "logged in");
  const browser = await launch();
  const url = `http://127.0.0.1:${webPort}/`;
  await browser.defaultBrowserContext().overridePermissions(url, ["clipboard-read", "clipboard-write"]);
  const page = await browser.newPage();
  page.on("pageerror", (e) => check(`the page runs without errors (${e.message})`, false));
  await page.setViewport({ width: 1280, height: 900 });
  await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: "light" }]);
  await page.goto(url);
  check("the page shows the log", await shows(page, "key=value key=value", 10000));

  // What a row shows, by the first word of its text.
  const rowOf = (text) => page.evaluate((t) => {
    const row = [...document.querySelectorAll("#log .line")].find((r) => r.querySelector(".text").textContent.includes(t));
    if (!row) return null;
    const run = [...row.querySelectorAll(".text span")].find((s) => s.textContent === t);
    const style = run ? getComputedStyle(run) : null;
    return {
      number: row.querySelector(".at").textContent, text: row.querySelector(".text").textContent,
      level: [...row.classList].find((c) => c.startsWith("lv-")) || "",
      mark: getComputedStyle(row).borderLeftColor,
      run: style && { fontWeight: style.fontWeight, fontStyle: style.fontStyle, color: style.color,
                      backgroundColor: style.backgroundColor, textDecorationLine: style.textDecorationLine },
    };
  }, text);

  const wrong = [];
  for (const [word, , looks] of STYLED) {
    const row = await rowOf(word);
    if (!row || !row.run || !looks(row.run)) wrong.push(`${word}: ${JSON.stringify(row && row.run)}`);
  }
  check(`every terminal style is shown (${wrong.join("; ") || "all"})`, wrong.length === 0);
  if (screenshots) await page.screenshot({ path: `${screenshots}-styles-1280.png` });
  const text = await page.$eval("#log", (e) => e.innerText);
  check("no escape sequence shows as text", !/\[\d|\x1b|\[\?25h|\[2K/.test(text) && text.includes("<b>markup stays text</b>"));
  check("each line has its number in the file", (await rowOf("bold")).number === "1" &&
        (await rowOf("no level on this one")).number === String(lines.indexOf("no level on this one") + 1));

  // Levels: from the first words, never from the message; a mark and a count each.
  const levelled = await rowOf("worker 1 did");
  check("a level word at the start marks the line", levelled.level === "lv-error" && levelled.mark === "rgb(192, 47, 42)");
  check("a level word in the message does not",
        (await rowOf("the user reported an error")).level === "lv-info" && (await rowOf("no level on this one")).level === "");
  const counts = await page.$$eval("#levels button", (buttons) => buttons.map((b) => b.textContent));
  check(`each level is counted (${counts.join(", ")})`, counts.includes("error 6") && counts.includes("fatal 5") &&
        counts.includes("info " + (5 + STYLED.length + 4)) && counts.includes("none 1"));

  // JSON lines: the message, then the other fields; the whole object on demand; raw.
  const json = await rowOf("upstream failed");
  check("a JSON line shows its message and fields", json.text.startsWith("12:02:00 error upstream failed") &&
        json.text.includes("status=500") && json.text.includes("path=/api/orders") && json.level === "lv-error");
  check("nested fields have dotted names", (await rowOf("served")).text.includes("http.method=GET"));
  await page.$$eval("#log .line", (rows) => rows.find((r) => r.textContent.includes("upstream failed")).querySelector(".expand").click());
  await page.waitForFunction(() => document.getElementById("log").innerText.includes('"status": 500'), { timeout: 2000 }).catch(() => {});
  check("and expands to the whole object", (await page.$eval("#log", (e) => e.innerText)).includes('"status": 500'));
  await page.click("#raw");
  check("the raw toggle shows the line as written", await shows(page, '{"time":"12:02:00","level":"error"'));
  await page.click("#raw");

  // A wrapped line's later rows hang indented under its first.
  const rows = await page.evaluate(() => {
    const row = [...document.querySelectorAll("#log .line .text")].find((t) => t.textContent.includes("long key"));
    const range = document.createRange(); range.selectNodeContents(row);
    const lefts = new Map();  // each row's top: its leftmost box
    for (const box of range.getClientRects()) {
      const top = Math.round(box.top);
      lefts.set(top, Math.min(lefts.get(top) ?? Infinity, box.left));
    }
    return [...lefts.entries()].sort((a, b) => a[0] - b[0]).map(([, left]) => Math.round(left));
  });
  check(`a long line wraps with a hanging indent (${rows.join(", ")})`,
        rows.length >= 2 && rows.slice(1).every((left) => left >= rows[0] + 8));

  // The filter: smart case, fields and levels, and the count.
  const count = () => page.$eval("#count", (e) => e.textContent);
  const filter = async (value) => {
    await page.$eval("#filter", (box, v) => { box.value = v; box.dispatchEvent(new Event("input")); }, value);
    return count();
  };
  const total = lines.length.toLocaleString("en-US");
  check("lowercase finds every case, a JSON level included",
        (await filter("error")) === `7 of ${total} lines`);
  check("an upper-case letter makes it exact", (await filter("ERROR")) === `5 of ${total} lines`);
  check("level: filters by level", (await filter("level:error")) === `6 of ${total} lines`);
  check("a JSON field filters by value", (await filter("status:500")) === `1 of ${total} lines`);
  await filter("");
  check("without a filter the footer counts the lines", (await count()) === `${total} lines`);
  await page.click("#levels [data-level=debug]");
  check("a level's button takes its lines out", (await count()) === `${lines.length - 5} of ${total} lines` &&
        !(await page.$eval("#log", (e) => e.innerText)).includes(" debug worker"));
  await page.click("#levels [data-level=debug]");

  // Keys, in a view too short for the log.
  await page.setViewport({ width: 1280, height: 400 });
  await page.click("#log");
  await page.keyboard.press("/");
  check("/ goes to the filter", await page.evaluate(() => document.activeElement.id === "filter"));
  await page.keyboard.type("worker");
  await page.keyboard.press("Escape");
  check("Esc clears it", (await page.$eval("#filter", (e) => e.value)) === "" && (await count()) === `${total} lines`);
  await page.click("#log");
  await page.keyboard.press(" ");
  const paused = await page.$eval("#pause", (e) => e.textContent);
  await page.keyboard.press(" ");
  check("Space pauses and resumes", paused === "resume" && (await page.$eval("#pause", (e) => e.textContent)) === "pause");
  await page.$eval("#log", (e) => { e.scrollTop = 0; e.dispatchEvent(new Event("scroll")); });
  await page.keyboard.press("End");
  check("End follows live again", await page.waitForFunction(() => {
    const e = document.getElementById("log"); return e.scrollHeight - e.scrollTop - e.clientHeight < 4;
  }, { timeout: 2000 }).then(() => true, () => false));

  // A line's menu copies its text and its link.
  const clip = () => page.evaluate(() => navigator.clipboard.readText());
  const openMenu = () => page.$$eval("#log .line", (rows) => rows.find((r) => r.textContent.includes("no level on this one")).querySelector("a.at").click());
  await openMenu();
  await page.click("#copyLine");
  const copied = await clip();
  await openMenu();
  await page.click("#copyLink");
  const link = await clip();
  check(`a line's menu copies its text and its link (${link})`,
        copied === "no level on this one" && /^http:\/\/127\.0\.0\.1:\d+\/#at=\d+:\d+:\d+$/.test(link));

  // The tab's title, and the new lines counted while it is hidden.
  const title = await page.title();
  await page.evaluate(() => { Object.defineProperty(document, "hidden", { value: true, configurable: true }); });
  writeFileSync(log, "hidden one\nhidden two\n", { flag: "a" });
  await shows(page, "hidden two", 5000);
  check(`the tab is named after the log (${title}), with the lines come while hidden`,
        title.startsWith("app.log") && (await page.title()).startsWith("(2) app.log"));
  await page.evaluate(() => { delete document.hidden; document.dispatchEvent(new Event("visibilitychange")); });

  // axe-core, in both themes.
  await page.addScriptTag({ path: axe });
  for (const scheme of ["light", "dark"]) {
    await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: scheme }]);
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(resolve)));
    const found = await page.evaluate(async () => (await window.axe.run(document)).violations
      .filter((v) => v.impact === "serious" || v.impact === "critical")
      .map((v) => `${v.id} (${v.nodes.length}): ${v.nodes.slice(0, 2).map((n) => n.target.join(" ")).join(", ")}`));
    check(`axe-core finds nothing serious in the ${scheme} theme (${found.join("; ") || "none"})`, found.length === 0);
    if (screenshots) await page.screenshot({ path: `${screenshots}-${scheme}-1280.png` });
  }

  // A phone: the controls in one row, nothing cut, lines the whole width.
  await page.setViewport({ width: 390, height: 800 });
  await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
  const phone = await page.evaluate(() => {
    const shown = [...document.querySelector("header").children].filter((e) => e.getBoundingClientRect().width > 0);
    const tops = new Set(shown.map((e) => Math.round(e.getBoundingClientRect().top)));
    const filter = document.getElementById("filter");
    const measure = document.createElement("span");
    measure.style.font = getComputedStyle(filter).font; measure.style.position = "absolute"; measure.textContent = filter.placeholder;
    document.body.appendChild(measure);
    const hint = measure.getBoundingClientRect().width; measure.remove();
    const line = document.querySelector("#log .line").getBoundingClientRect();
    return { rows: tops.size, wide: document.documentElement.scrollWidth, hint, room: filter.clientWidth - 12, line: line.width };
  });
  check(`at 390 px the controls take one row, nothing is cut (${JSON.stringify(phone)})`,
        phone.rows === 1 && phone.wide <= 390 && phone.hint <= phone.room && phone.line >= 370);
  await page.click("#menuButton");
  const menuShown = await page.$eval("#search", (e) => e.getBoundingClientRect().width > 200);
  check("the rest is behind the menu", menuShown);
  if (screenshots) await page.screenshot({ path: `${screenshots}-dark-390-menu.png` });
  await page.keyboard.press("Escape");
  await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: "light" }]);
  if (screenshots) await page.screenshot({ path: `${screenshots}-light-390.png` });
});
