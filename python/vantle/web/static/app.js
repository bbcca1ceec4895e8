// The live page: polls /api/streams once a second and fetches each tile's newest frame as a JPEG
// a few times a second. Pictures come one request at a time rather than as one MJPEG connection
// per tile, because a browser opens at most six connections to one host: with more tiles than
// that, long-lived connections would leave some tiles blank. A tile asks for a picture only while
// its stats say there is one to show, so a stream without frames costs no requests.
"use strict";

const STATS_INTERVAL_MS = 1000;
const PICTURE_FPS = 5;
const CLIP_SECONDS = 10; // what a tile's clip button saves
const STALE_AFTER_S = 3; // a streaming tile whose newest frame is older than this says so

const tilesElement = document.getElementById("tiles");
const summary = document.getElementById("summary");
const link = document.getElementById("link");
const details = document.getElementById("details");
const tiles = new Map();
let shownDetails = null;
let connected = true;

const NOTICES = {
  initializing: "Initializing: waiting for the first frame",
  halted: "Halted: the stream is being rebuilt",
  closed: "Closed",
};

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function number(value, digits) {
  return typeof value === "number" && isFinite(value) ? value.toFixed(digits) : "–";
}

function sourceText(stats) {
  const source = stats.source;
  if (!source) return "–";
  let rate = source.framerate;
  if (typeof rate === "number") rate = rate === 0 ? "dynamic" : `${+rate.toFixed(2)} fps`;
  rate = rate || "–";
  return stats.limited ? `${rate} · limited` : rate;
}

function sizeText(stats) {
  const source = stats.source;
  return source && source.width ? `${source.width}×${source.height}` : "–";
}

function decoderText(stats) {
  if (!stats.decoder) return "–";
  return `${stats.decoder} · ${stats.hardware ? "hardware" : "software"}`;
}

function makeTile(stats) {
  const tile = {
    index: stats.index, number: 0, status: stats.status, stats,
    root: element("article", "tile"), facts: {},
  };
  tile.root.dataset.index = stats.index;
  const picture = element("div", "picture");
  tile.img = element("img");
  tile.img.alt = stats.name;
  tile.notice = element("div", "notice");
  tile.noticeTitle = element("span");
  tile.noticeDetail = element("small");
  tile.notice.append(tile.noticeTitle, tile.noticeDetail);
  picture.append(tile.img, tile.notice);

  const head = element("div", "head");
  tile.badge = element("span", "badge");
  head.append(element("span", "name", stats.name), tile.badge);
  // The last CLIP_SECONDS of the stream's own video, downloaded as MP4 (streams that keep it).
  const save = element("a", "save-clip", "⤓ clip");
  save.href = `/streams/${stats.index}/clip.mp4?seconds=${CLIP_SECONDS}`;
  save.download = "";
  save.title = `Save the last ${CLIP_SECONDS} s as MP4`;
  save.addEventListener("click", (event) => event.stopPropagation());
  head.append(save);
  tile.url = element("div", "url");

  const facts = element("dl", "facts");
  for (const [key, label] of [["fps", "fps"], ["age", "age"], ["delay", "delay"], ["halts", "halts"], ["rebuilds", "rebuilds"],
                              ["size", "size"], ["source", "source"], ["decoder", "decoder"]]) {
    const cell = element("div", key === "source" || key === "decoder" ? key : "");
    tile.facts[key] = element("dd");
    tile.facts[key].dataset.fact = key;
    cell.append(element("dt", "", label), tile.facts[key]);
    facts.append(cell);
  }
  tile.root.append(picture, head, tile.url, facts);
  tile.root.addEventListener("click", () => openDetails(tile.index));
  tilesElement.append(tile.root);
  pump(tile);
  return tile;
}

function durationText(seconds) {
  const whole = Math.max(0, Math.floor(seconds));
  if (whole < 60) return `${whole} s`;
  if (whole < 3600) return `${Math.floor(whole / 60)} min ${whole % 60} s`;
  return `${Math.floor(whole / 3600)} h ${Math.floor((whole % 3600) / 60)} min`;
}

// How long the stream has failed, when it is tried next and the failure's root cause, as far as
// its stats say.
function failureText(stats) {
  const parts = [];
  const failing = typeof stats.failing_for === "number";
  if (failing) parts.push(`Failing for ${durationText(stats.failing_for)}`);
  if (typeof stats.next_retry_in === "number") parts.push(`next try in ${stats.next_retry_in.toFixed(1)} s`);
  if (stats.last_error && (failing || stats.status !== "streaming")) parts.push(stats.last_error);
  return parts.join(" · ");
}

function updateTile(tile, stats) {
  tile.stats = stats;
  tile.status = connected ? stats.status : "unknown";
  let notice = NOTICES[tile.status];
  let detail = failureText(stats);
  if (!connected) {
    notice = "No connection to vantle watch";
    detail = "";
  } else if (tile.status === "streaming" && typeof stats.age === "number" && stats.age > STALE_AFTER_S) {
    notice = `No new frame for ${stats.age.toFixed(0)} s`;
  }
  tile.root.className = `tile status-${tile.status}` + (notice ? " stopped" : "");
  tile.root.dataset.status = tile.status;
  tile.badge.textContent = connected ? stats.status : "?";
  tile.noticeTitle.textContent = notice || "";
  tile.noticeDetail.textContent = detail;
  tile.url.textContent = stats.url || "";
  tile.url.title = stats.url || "";
  tile.facts.fps.textContent = number(stats.fps, 1);
  tile.facts.age.textContent = typeof stats.age === "number" ? `${number(stats.age, 2)} s` : "–";
  // Receive minus capture time, once the camera's sender reports tell the capture time.
  tile.facts.delay.textContent =
    typeof stats.capture_offset_ms === "number" ? `${Math.round(stats.capture_offset_ms)} ms` : "–";
  tile.facts.halts.textContent = stats.halts ?? "–";
  tile.facts.rebuilds.textContent = stats.rebuilds ?? "–";
  tile.facts.size.textContent = sizeText(stats);
  tile.facts.source.textContent = sourceText(stats);
  tile.facts.decoder.textContent = decoderText(stats);
  // A closed stream sends nothing more; its last picture stays greyed out under the notice.
  if (tile.status === "closed") tile.closed = true;
}

// Whether the tile's stats promise a picture it has not shown: a newer frame number, or a stream
// that is delivering frames now.
function pictureDue(tile) {
  const stats = tile.stats;
  if (typeof stats.frame_number === "number" && stats.frame_number > tile.number) return true;
  return stats.status === "streaming" && typeof stats.age === "number" && stats.age <= STALE_AFTER_S;
}

// Fetches the tile's newest frame PICTURE_FPS times a second while the page is visible and a
// picture is due.
async function pump(tile) {
  while (!tile.closed) {
    const started = performance.now();
    if (!document.hidden && connected && pictureDue(tile)) {
      try {
        const response = await fetch(`/streams/${tile.index}.jpg?after=${tile.number}`, { cache: "no-store" });
        if (response.status === 200) {
          const blob = await response.blob();
          tile.number = Number(response.headers.get("X-Frame-Number")) || tile.number;
          const previous = tile.img.src;
          tile.img.src = URL.createObjectURL(blob);
          if (previous) URL.revokeObjectURL(previous);
        }
      } catch (error) {
        // The stats poll reports a lost connection; the next round tries again.
      }
    }
    const left = 1000 / PICTURE_FPS - (performance.now() - started);
    await new Promise((resolve) => setTimeout(resolve, Math.max(left, 10)));
  }
}

function flatten(value, prefix, rows) {
  if (value && typeof value === "object" && Object.keys(value).length) {
    // Objects by key, lists (the recent errors) by position.
    for (const [key, inner] of Object.entries(value)) flatten(inner, prefix ? `${prefix}.${key}` : key, rows);
  } else {
    let text = value === null || value === undefined || typeof value === "object" ? "–" : String(value);
    if (typeof value === "number" && /(_at|\.at|_since)$/.test(prefix) && value > 1e9) {
      text = `${new Date(value * 1000).toLocaleString()} (${value.toFixed(3)})`;
    } else if (typeof value === "number" && !Number.isInteger(value)) {
      text = value.toFixed(3);
    }
    rows.push([prefix, text]);
  }
  return rows;
}

function renderDetails() {
  const tile = tiles.get(shownDetails);
  if (!tile) return;
  document.getElementById("details-title").textContent = `${tile.stats.name}  ${tile.stats.url || ""}`;
  const table = document.getElementById("details-table");
  table.replaceChildren();
  for (const [key, text] of flatten(tile.stats, "", [])) {
    const row = element("tr");
    row.dataset.key = key;
    row.append(element("th", "", key), element("td", "", text));
    table.append(row);
  }
}

function openDetails(index) {
  shownDetails = index;
  renderDetails();
  if (!details.open) details.showModal();
}

details.addEventListener("close", () => { shownDetails = null; });

function render(list) {
  for (const stats of list) {
    const tile = tiles.get(stats.index) || makeTile(stats);
    tiles.set(stats.index, tile);
    updateTile(tile, stats);
  }
  const counts = {};
  for (const stats of list) counts[stats.status] = (counts[stats.status] || 0) + 1;
  const parts = Object.entries(counts).map(([status, count]) => `${count} ${status}`);
  summary.textContent = `${list.length} stream${list.length === 1 ? "" : "s"}: ${parts.join(", ")}`;
  if (shownDetails !== null) renderDetails();
}

async function poll() {
  try {
    const response = await fetch("/api/streams", { cache: "no-store" });
    if (!response.ok) throw new Error(response.statusText);
    const list = await response.json();
    connected = true;
    render(list);
  } catch (error) {
    connected = false;
    for (const tile of tiles.values()) updateTile(tile, tile.stats);
  }
  link.textContent = connected ? "live" : "connection lost";
  link.classList.toggle("lost", !connected);
  setTimeout(poll, STATS_INTERVAL_MS);
}

poll();
