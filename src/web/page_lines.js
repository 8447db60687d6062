// What the page makes of one log line's text: the terminal's styles, the line's level, the
// fields of a JSON line, and the filter's test. Plain functions of their arguments, built into
// the page and run by node's test runner as they are.
"use strict";
const PageLines = (() => {
  // ---- Terminal styles ----

  const plainStyle = Object.freeze({
    fg: null, bg: null, bold: false, dim: false, italic: false, underline: false,
    reverse: false, strike: false,
  });

  // A colour of the 256: the 16 of the theme by index, then the 6x6x6 cube and the grey ramp as
  // [r, g, b].
  function color256(n) {
    if (n < 16) return n;
    if (n < 232) {
      const step = (v) => (v === 0 ? 0 : 55 + 40 * v);
      const c = n - 16;
      return [step(Math.floor(c / 36)), step(Math.floor(c / 6) % 6), step(c % 6)];
    }
    const grey = 8 + 10 * (n - 232);
    return [grey, grey, grey];
  }

  // 38 and 48 take "5;N" or "2;R;G;B", after ";" or as ":" sub-parameters. Returns the colour
  // (undefined where the numbers make none) and how many parameters it used.
  function extendedColor(params, at) {
    const sub = params[at].split(":").slice(1);
    const list = sub.length ? sub : params.slice(at + 1, at + 5);
    const byte = (text) => {
      const v = Number(text || 0);
      return Number.isInteger(v) && v >= 0 && v <= 255 ? v : undefined;
    };
    if (list[0] === "5") {
      const n = byte(list[1]);
      return { color: n === undefined ? undefined : color256(n), used: sub.length ? 0 : 2 };
    }
    if (list[0] === "2") {
      // "38:2::R:G:B" names a colour space first; "38:2:R:G:B" does not.
      const rgb = sub.length > 4 ? list.slice(2, 5) : list.slice(1, 4);
      const parts = rgb.map(byte);
      const ok = rgb.length === 3 && parts.every((v) => v !== undefined);
      return { color: ok ? parts : undefined, used: sub.length ? 0 : 4 };
    }
    return { color: undefined, used: 0 };
  }

  // One SGR sequence's parameters applied to `style`; returns the new style.
  function applySgr(style, text) {
    const params = (text === "" ? "0" : text).split(";");
    let s = { ...style };
    for (let i = 0; i < params.length; i++) {
      const [head, subParam] = params[i].split(":");
      const p = head === "" ? 0 : Number(head);
      if (p === 0) s = { ...plainStyle };
      else if (p === 1) s.bold = true;
      else if (p === 2) s.dim = true;
      else if (p === 3) s.italic = true;
      else if (p === 4) s.underline = subParam !== "0";
      else if (p === 7) s.reverse = true;
      else if (p === 9) s.strike = true;
      else if (p === 21) s.underline = true;  // double underline, shown as one
      else if (p === 22) { s.bold = false; s.dim = false; }
      else if (p === 23) s.italic = false;
      else if (p === 24) s.underline = false;
      else if (p === 27) s.reverse = false;
      else if (p === 29) s.strike = false;
      else if (p >= 30 && p <= 37) s.fg = p - 30;
      else if (p >= 40 && p <= 47) s.bg = p - 40;
      else if (p >= 90 && p <= 97) s.fg = p - 90 + 8;
      else if (p >= 100 && p <= 107) s.bg = p - 100 + 8;
      else if (p === 39) s.fg = null;
      else if (p === 49) s.bg = null;
      else if (p === 38 || p === 48) {
        const { color, used } = extendedColor(params, i);
        if (color !== undefined) s[p === 38 ? "fg" : "bg"] = color;
        i += used;
      }
    }
    return s;
  }

  // The escape sequences a terminal reads and shows nothing of: CSI (ESC [ ... final), OSC
  // (ESC ] ... BEL or ESC \), and ESC with one more byte or an intermediate and a final.
  const csi = /\x1b\[([\x30-\x3f]*)([\x20-\x2f]*)([\x40-\x7e])?/y;
  const osc = /\x1b\][^\x07\x1b]*(?:\x07|\x1b\\|$)/y;
  const other = /\x1b[\x20-\x2f]*[\x30-\x7e]?/y;
  const control = /[\x00-\x08\x0a-\x1f\x7f]/g;

  // The line's text without its escape sequences, and its runs, each with its style; a control
  // byte that is no part of a sequence is kept, shown escaped (\x07), with ctl set.
  function parseStyles(text) {
    const parts = [];
    let style = plainStyle, plain = "", run = "";
    const flush = () => {
      if (run) { parts.push({ text: run, style }); plain += run; run = ""; }
    };
    for (let i = 0; i < text.length;) {
      control.lastIndex = i;
      const next = control.exec(text);
      const stop = next ? next.index : text.length;
      run += text.slice(i, stop);
      if (!next) break;
      i = stop;
      if (text[i] !== "\x1b") {
        flush();
        const shown = "\\x" + text.charCodeAt(i).toString(16).padStart(2, "0");
        parts.push({ text: shown, style, ctl: true }); plain += shown;
        i++;
        continue;
      }
      for (const sequence of [csi, osc, other]) {
        sequence.lastIndex = i;
        const m = sequence.exec(text);
        if (!m) continue;
        if (sequence === csi && m[3] === "m" && m[2] === "" && /^[\d;:]*$/.test(m[1])) {
          flush();
          style = applySgr(style, m[1]);
        }
        i = sequence.lastIndex;
        break;
      }
    }
    flush();
    return { text: plain, parts };
  }

  // ---- Colours a reader can read ----

  const luminance = ([r, g, b]) => {
    const lin = (v) => { const c = v / 255; return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4; };
    return 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b);
  };
  function contrast(a, b) {
    const [x, y] = [luminance(a), luminance(b)].sort((m, n) => n - m);
    return (x + 0.05) / (y + 0.05);
  }
  const mix = (a, b, t) => a.map((v, i) => Math.round(v + (b[i] - v) * t));
  const hex = (rgb) => "#" + rgb.map((v) => v.toString(16).padStart(2, "0")).join("");

  // The least change to `fg` that reads at `ratio` on `bg`: towards black or white, whichever
  // gets there.
  function readable(fg, bg, ratio) {
    if (contrast(fg, bg) >= ratio) return fg;
    const towards = contrast([0, 0, 0], bg) > contrast([255, 255, 255], bg) ? [0, 0, 0] : [255, 255, 255];
    let low = 0, high = 1;
    for (let k = 0; k < 12; k++) {
      const mid = (low + high) / 2;
      if (contrast(mix(fg, towards, mid), bg) >= ratio) high = mid; else low = mid;
    }
    return mix(fg, towards, high);
  }

  // The colours a run is drawn in, as CSS colours, or null where the theme's own will do.
  // `theme` is {fg, bg, under, colors: 16 of [r, g, b]}, `under` the other backgrounds a run of
  // no background of its own may stand on. Any pair the log asks for is made to read at 4.5:1
  // at least, as the theme's own do.
  function runColors(style, theme) {
    const rgb = (c, fallback) => (c === null ? fallback : typeof c === "number" ? theme.colors[c] : c);
    let fg = rgb(style.fg, theme.fg), bg = rgb(style.bg, theme.bg);
    if (style.reverse) [fg, bg] = [bg, fg];
    if (style.dim) fg = mix(fg, bg, 0.3);
    const plainColours = style.fg === null && style.bg === null && !style.reverse && !style.dim;
    if (plainColours) return { color: null, background: null };
    const grounds = style.bg === null && !style.reverse ? [bg, ...(theme.under || [])] : [bg];
    for (const ground of grounds) fg = readable(fg, ground, 4.5);
    return {
      color: hex(fg),
      background: style.bg === null && !style.reverse ? null : hex(bg),
    };
  }

  // ---- Levels ----

  const LEVELS = ["fatal", "error", "warn", "info", "debug", "trace"];
  const WORDS = new Map();
  for (const [level, words] of Object.entries({
    fatal: "fatal critical crit emerg emergency alert panic", error: "error err eror severe",
    warn: "warning warn wrn", info: "info inf information notice informational",
    debug: "debug dbg dbug", trace: "trace trc verbose",
  })) for (const word of words.split(" ")) WORDS.set(word, level);

  // Numbers: 10 to 60 as many JSON loggers count, 0 to 7 as syslog's severities.
  function levelOfNumber(n) {
    if (n >= 10) return n >= 60 ? "fatal" : n >= 50 ? "error" : n >= 40 ? "warn" : n >= 30 ? "info" : n >= 20 ? "debug" : "trace";
    if (Number.isInteger(n) && n >= 0 && n <= 7) return ["fatal", "fatal", "fatal", "error", "warn", "info", "info", "debug"][n];
    return null;
  }
  function levelOfValue(value) {
    if (typeof value === "number") return levelOfNumber(value);
    if (typeof value !== "string") return null;
    return WORDS.get(value.trim().toLowerCase()) || null;
  }

  const LEVEL_KEYS = ["level", "lvl", "severity", "log.level", "@l", "loglevel"];
  // A word that may stand before the level: a date, a time, a number, a month or a day's name,
  // a process or thread in brackets, a key=value that is not the level.
  const stamp = new RegExp([
    /^[[(<]?[\w.:/+,-]*\d[\w.:/+,-]*[\])>]?:?$/, /^[[(][^\])]*[\])]:?$/, /^[a-z_]\w*=\S*$/,
    /^(?:jan|feb|mar|apr|may|jun|jul|aug|sep|oct|nov|dec|mon|tue|wed|thu|fri|sat|sun)[a-z]*,?$/,
  ].map((re) => re.source).join("|"), "i");

  // The line's level from its first words: a level word, bare or in brackets, or followed by
  // ":", after at most four words of the kinds above; "level=" (and "lvl=", "severity=") among
  // them too. A word further on is the message's.
  function levelOfWords(text) {
    const words = /\S+/g;
    for (let count = 0, m; count < 5 && (m = words.exec(text)); count++) {
      const word = m[0];
      const pair = /^(?:level|lvl|severity)=["']?(\w+)/i.exec(word);
      if (pair) return levelOfValue(pair[1]);
      const bare = /^[\[(<|]?([a-z]+)[\])>|]?[:\-|]?$/i.exec(word);
      if (bare && WORDS.has(bare[1].toLowerCase())) return WORDS.get(bare[1].toLowerCase());
      if (!stamp.test(word)) return null;
    }
    return null;
  }

  // ---- JSON lines ----

  const MESSAGE_KEYS = ["msg", "message", "@m", "@mt", "text"];
  const TIME_KEYS = ["time", "timestamp", "ts", "@t", "@timestamp", "t"];

  // Nested objects as dotted names, in the object's order.
  function flatten(object, prefix, into) {
    for (const [key, value] of Object.entries(object)) {
      const name = prefix + key;
      if (value !== null && typeof value === "object" && !Array.isArray(value)) flatten(value, name + ".", into);
      else into.push([name, value]);
    }
    return into;
  }
  const valueText = (value) => (typeof value === "string" ? value : JSON.stringify(value));
  const fieldText = (value) => {
    const text = valueText(value);
    return typeof value === "string" && (text === "" || /[\s"=]/.test(text)) ? JSON.stringify(text) : text;
  };

  // A line that is one JSON object: its message, time and level, and the other fields as
  // [name, text] for "name=text". null for any other line.
  function jsonOf(text) {
    const trimmed = text.trim();
    if (trimmed[0] !== "{" || trimmed.at(-1) !== "}") return null;
    let object;
    try { object = JSON.parse(trimmed); } catch (e) { return null; }
    if (object === null || typeof object !== "object" || Array.isArray(object)) return null;
    const all = flatten(object, "", []);
    const pick = (keys) => all.find(([name]) => keys.includes(name));
    const message = pick(MESSAGE_KEYS), time = pick(TIME_KEYS), level = pick(LEVEL_KEYS);
    const taken = new Set([message, time, level]);
    return {
      object,
      message: message ? valueText(message[1]) : "",
      time: time ? valueText(time[1]) : "",
      level: level ? levelOfValue(level[1]) : null,
      levelText: level ? valueText(level[1]) : "",
      fields: all.filter((field) => !taken.has(field)).map(([name, value]) => [name, fieldText(value)]),
      values: new Map(all.map(([name, value]) => [name, valueText(value)])),
    };
  }

  // What the page needs of a line's text: its styles, its JSON and its level.
  function readLine(text) {
    const line = parseStyles(text);
    line.json = jsonOf(line.text);
    line.level = line.json && line.json.level ? line.json.level : levelOfWords(line.text);
    return line;
  }

  // ---- The filter ----

  // Smart case: a text with an upper-case letter matches as it is, any other whatever its case.
  const hasUpper = (text) => text !== text.toLowerCase();
  function textTest(text) {
    if (hasUpper(text)) return (haystack) => haystack.includes(text);
    return (haystack) => haystack.toLowerCase().includes(text);
  }
  const escapeRegExp = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");

  // "/regex/flags" as a RegExp, `undefined` where it does not compile, null for any other text.
  function regexOf(text, flags) {
    const m = /^\/(.+)\/([a-z]*)$/.exec(text);
    if (!m) return null;
    try { return new RegExp(m[1], m[2].replace("g", "") + flags); } catch (e) { return undefined; }
  }

  // The highlight's RegExp (global): a /regex/, or the text in smart case; null for nothing.
  function highlightOf(text) {
    if (!text) return null;
    const re = regexOf(text, "g");
    if (re !== null) return re || null;
    return new RegExp(escapeRegExp(text), hasUpper(text) ? "g" : "gi");
  }

  // The filter's test of a line ({text, json, level}), or null where the text cannot be one
  // (a /regex/ that does not compile). "NAME:VALUE" words are fields: "level:error" the line's
  // level, other names a JSON line's field (dotted for nested ones), equal in smart case; a
  // line without that field matches where its text holds the word as it is. The rest of the
  // text, as written, must appear in the line.
  function filterOf(text) {
    if (!text) return () => true;
    const re = regexOf(text, "");
    if (re === undefined) return null;
    if (re) return (line) => re.test(line.text);
    const words = text.split(/(\s+)/);
    const fields = [], rest = [];
    for (const word of words) {
      const m = /^([A-Za-z_@][\w.@-]*):([^\s:/][^\s]*)$/.exec(word);
      if (m) fields.push({ word, name: m[1], value: m[2] });
      else rest.push(word);
    }
    const phrase = rest.join("").trim();
    const tests = fields.map(fieldTest);
    if (phrase) tests.push((line) => textTest(phrase)(line.text));
    return (line) => tests.every((test) => test(line));
  }

  function fieldTest({ word, name, value }) {
    const equal = hasUpper(value) ? (v) => v === value : (v) => v.toLowerCase() === value;
    const literal = textTest(word);
    if (name.toLowerCase() === "level") {
      const wanted = WORDS.get(value.toLowerCase()) || value.toLowerCase();
      return (line) => line.level === wanted;
    }
    return (line) => {
      const values = line.json ? line.json.values : null;
      if (values && values.has(name)) return equal(values.get(name));
      return literal(line.text);
    };
  }

  return {
    LEVELS, parseStyles, applySgr, plainStyle, color256, runColors, contrast, levelOfWords,
    levelOfValue, jsonOf, readLine, filterOf, highlightOf, hasUpper,
  };
})();
if (typeof module === "object") module.exports = PageLines;
