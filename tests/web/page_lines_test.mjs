// The page's reading of a line, over generated lines: the terminal's styles against a plain
// model of them, and levels found at the line's start and never in its message.
// Usage: node --test page_lines_test.mjs
import assert from "node:assert/strict";
import { createRequire } from "node:module";
import { test } from "node:test";

const lines = createRequire(import.meta.url)("../../src/web/page_lines.js");

// A small deterministic generator, so that a failure names a case that can be run again.
function random(seed) {
  let s = seed >>> 0;
  return (n) => {  // mulberry32
    s = (s + 0x6d2b79f5) >>> 0;
    let t = Math.imul(s ^ (s >>> 15), 1 | s);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) % n;
  };
}

// Each attribute with the codes that set it and the codes that clear it, and the value a run
// should then have.
const ATTRIBUTES = [
  ["bold", ["1"], ["22", "0", ""]], ["dim", ["2"], ["22", "0"]], ["italic", ["3"], ["23", "0"]],
  ["underline", ["4", "21", "4:3"], ["24", "4:0", "0"]], ["reverse", ["7"], ["27", "0"]],
  ["strike", ["9"], ["29", "0"]],
];

function randomColor(pick, base) {
  switch (pick(4)) {
    case 0: { const n = pick(8); return [String(base + n), n]; }
    case 1: { const n = pick(8); return [String(base + 60 + n), n + 8]; }
    case 2: { const n = pick(256); return [`${base + 8};5;${n}`, lines.color256(n)]; }
    default: {
      const rgb = [pick(256), pick(256), pick(256)];
      return [pick(2) ? `${base + 8};2;${rgb.join(";")}` : `${base + 8}:2::${rgb.join(":")}`, rgb];
    }
  }
}

test("every SGR style a terminal shows, and no escape sequence left in the text", () => {
  for (let seed = 1; seed <= 400; seed++) {
    const pick = random(seed);
    let model = { ...lines.plainStyle }, text = "", plain = "";
    const expected = [];
    for (let run = 0; run < 1 + pick(8); run++) {
      const codes = [];
      for (let k = 0; k < 1 + pick(3); k++) {
        const what = pick(10);
        if (what < 6) {
          const [name, on, off] = ATTRIBUTES[what];
          const set = pick(2) === 0;
          const code = (set ? on : off)[pick((set ? on : off).length)];
          if (code === "0" || code === "") model = { ...lines.plainStyle };
          else if (code === "22") { model.bold = false; model.dim = false; }
          else model[name] = set;
          codes.push(code);
        } else if (what < 8) {
          const [code, color] = randomColor(pick, what === 6 ? 30 : 40);
          model[what === 6 ? "fg" : "bg"] = color; codes.push(code);
        } else {
          codes.push(what === 8 ? "39" : "49"); model[what === 8 ? "fg" : "bg"] = null;
        }
      }
      // Sequences a terminal reads and shows nothing of: cursor moves, a title, a charset.
      const noise = ["\x1b[2K", "\x1b[?25h", "\x1b]0;title\x07", "\x1b(B", "\x1b[1;2H", ""][pick(6)];
      const words = "run" + run + (pick(2) ? " <b>&amp;</b>" : "");
      text += noise + "\x1b[" + codes.join(";") + "m" + words;
      plain += words;
      expected.push({ text: words, style: { ...model } });
    }
    const got = lines.parseStyles(text);
    assert.equal(got.text, plain, `seed ${seed}: ${JSON.stringify(text)}`);
    assert.deepEqual(got.parts.map((part) => ({ text: part.text, style: { ...part.style } })),
                     expected, `seed ${seed}: ${JSON.stringify(text)}`);
  }
  // Other control bytes are shown escaped, and an escape cut off at the line's end is dropped.
  assert.equal(lines.parseStyles("a\x07b\x00\tc\x1b[31").text, "a\\x07b\\x00\tc");
  assert.equal(lines.parseStyles("\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\").text, "link");
});

test("any colours the log asks for read at 4.5:1 on their background", () => {
  const theme = { fg: [29, 31, 33], bg: [253, 253, 252], colors: Array.from({ length: 16 }, (_, i) =>
    [i * 16, 255 - i * 16, (i * 80) % 256]) };
  const hexRgb = (h) => [1, 3, 5].map((i) => parseInt(h.slice(i, i + 2), 16));
  for (let seed = 1; seed <= 300; seed++) {
    const pick = random(seed);
    const style = { ...lines.plainStyle, fg: randomColor(pick, 30)[1], bg: pick(3) ? randomColor(pick, 40)[1] : null,
                    reverse: pick(4) === 0, dim: pick(4) === 0 };
    const { color, background } = lines.runColors(style, theme);
    const rgb = (c, or) => (c === null ? or : typeof c === "number" ? theme.colors[c] : c);
    const bg = background ? hexRgb(background) : style.reverse ? rgb(style.fg, theme.fg) : rgb(style.bg, theme.bg);
    assert.ok(lines.contrast(hexRgb(color), bg) >= 4.5, `seed ${seed}: ${color} on ${bg}`);
  }
});

test("a line's level comes from its JSON or its first words, never from its message", () => {
  const spellings = { fatal: ["FATAL", "critical", "CRIT", "panic"], error: ["ERROR", "err", "Error"],
    warn: ["WARN", "warning", "wrn"], info: ["INFO", "info", "notice"], debug: ["DEBUG", "dbg"],
    trace: ["TRACE", "trc"] };
  const before = ["", "2026-12-10T12:00:00.123Z ", "Dec 10 12:00:01 ", "[12345] ", "12:00:00.5 [main] ",
                  "\x1b[2m2026-12-10\x1b[0m "];
  const forms = [(w) => w, (w) => `[${w}]`, (w) => `${w}:`, (w) => `<${w}>`, (w) => `level=${w}`];
  for (let seed = 1; seed <= 500; seed++) {
    const pick = random(seed);
    const level = lines.LEVELS[pick(6)];
    const word = spellings[level][pick(spellings[level].length)];
    // A message that names other levels, as an INFO line reporting an error does.
    const message = ` request failed: error in handler, warn the debug user ${seed}`;
    const colour = pick(3) === 0;
    const shown = forms[pick(forms.length)](word);
    const text = before[pick(before.length)] + (colour ? `\x1b[31m${shown}\x1b[0m` : shown) + message;
    assert.equal(lines.readLine(text).level, level, JSON.stringify(text));
    assert.equal(lines.readLine("user said" + message).level, null);
    const json = JSON.stringify({ time: "12:00", [["level", "severity", "@l", "lvl"][pick(4)]]: word, msg: message });
    assert.equal(lines.readLine(json).level, level, json);
  }
  assert.equal(lines.readLine('{"log": {"level": "warning"}, "message": "error"}').level, "warn");
  assert.equal(lines.readLine('{"level": 50, "msg": "x"}').level, "error");
  assert.equal(lines.readLine('{"severity": 4, "msg": "x"}').level, "warn");
});

test("JSON fields, and a filter of text, fields and levels in smart case", () => {
  const line = lines.readLine('{"ts": 1, "level": "error", "msg": "upstream gone", "http": {"status": 500}, "user": "Ann Lee"}');
  assert.equal(line.json.message, "upstream gone");
  assert.deepEqual(line.json.fields, [["http.status", "500"], ["user", '"Ann Lee"']]);
  assert.equal(lines.readLine('{"a": 1').json, null);
  assert.equal(lines.readLine("[1, 2]").json, null);

  const text = lines.readLine("12:00 INFO Connection refused by http://host:80/x");
  const cases = [
    ["", true, true], ["connection REFUSED", false, false], ["connection refused", false, true],
    ["Connection", false, true], ["connection", false, true], ["CONNECTION", false, false],
    ["level:error", true, false], ["level:err", true, false], ["level:info", false, true],
    ["http.status:500", true, false], ["http.status:404", false, false], ["user:ann lee", false, false],
    ["user:\"Ann", false, false], ["level:error upstream", true, false], ["http://host:80/x", false, true],
    ["/Conn.*by/", false, true], ["/conn.*by/", false, false], ["/UPSTREAM/i", true, false],
  ];
  for (const [filter, json, plain] of cases) {
    const test = lines.filterOf(filter);
    assert.equal(test(line), json, `${filter} on the JSON line`);
    assert.equal(test(text), plain, `${filter} on the text line`);
  }
  assert.equal(lines.filterOf("/(/"), null);
  assert.deepEqual("an Error, an error".match(lines.highlightOf("error")), ["Error", "error"]);
  assert.deepEqual("an Error, an error".match(lines.highlightOf("Error")), ["Error"]);
});
