// The converter page: files in, conversions in a worker one file at a time,
// results out as cards and downloads. Nothing is sent anywhere; the page
// makes no request once loaded.
"use strict";

(function () {
  const OK = 0;
  // The documents the page makes of all its files (qpbm_format).
  const DOCUMENTS = {"download-pdf": {to: 10, name: "quorvelpbm.pdf", label: "PDF"},
                     "download-tiff": {to: 5, name: "quorvelpbm.tif", label: "TIFF"}};

  const $ = (id) => document.getElementById(id);
  const Cards = window.quorvelpbmCards;
  const {readOptions, formValues, setForm, markFields, updateFields, keyFor} = window.quorvelpbmForm;
  const status = $("status");
  const list = $("results");
  let cards = [];        // in the order they were added
  let serial = 0;
  let worker = null;
  let ready = false;
  let everReady = false;
  let busy = null;       // the card being converted, or {id, document} while one is made
  let documents = 0;     // documents asked for, for their message ids
  let jobs = 0;          // conversions sent, so that a late original finds its own
  let options = null;    // the valid options, or null while a field is invalid
  // A card whose own settings the form shows (card.own: {values, options}),
  // and the form's values for all files meanwhile.
  let editing = null;
  let allValues = null;
  let lastProblem = "";  // the latest failure, for the status line
  let notice = "";       // files not added again, until the next files come
  let run = {total: 0, done: 0};
  let idleWaiters = [];
  let loaded;
  const loadedPromise = new Promise((resolve) => { loaded = resolve; });

  // ---- Options ---------------------------------------------------------

  // The options a card is converted with: its own, or all files'.
  function optionsFor(card) {
    return card.own ? card.own.options : options;
  }

  // ---- The queue -------------------------------------------------------

  function startWorker() {
    ready = false;
    const source = "(" + quorvelpbmWorker.toString() + ")();";
    const url = URL.createObjectURL(new Blob([source], {type: "text/javascript"}));
    worker = new Worker(url);
    URL.revokeObjectURL(url);
    worker.onmessage = (event) => onMessage(event.data);
    worker.onerror = (event) => {
      event.preventDefault();
      const stopped = {status: -1, kind: "memory", message: "the converter stopped (" + event.message + ")"};
      if (busy && busy.document) documentDone(stopped);
      else if (busy) finish(busy, stopped);
      restartWorker();
    };
  }

  function restartWorker() {
    worker.terminate();
    busy = null;
    for (const card of cards) card.awaitingOriginal = false;  // gone with the worker
    startWorker();
  }

  function onMessage(message) {
    if (message.type === "ready") {
      ready = true;
      everReady = true;
      if (!$("version").textContent) $("version").textContent = message.version;
      loaded();
      schedule();
    } else if (message.type === "failed") {
      status.textContent = "The converter could not load: " + message.message;
    } else if (busy && busy.document && busy.id === message.id) {
      if (message.type === "progress") {
        busy.progress = message;
        showStatus();
      } else if (message.type === "done") {
        documentDone(message.result);
      }
    } else if (message.type === "original") {
      // The original, decoded after the result came: drawn under it if the
      // card still shows that result.
      const card = cards.find((c) => c.id === message.id && c.job === message.job);
      if (card && card.awaitingOriginal) {
        card.awaitingOriginal = false;
        card.result.original = message.original;
        if (card.state === "done") Cards.render(card, actions);
      } else if (message.original) {
        message.original.close();
      }
      schedule();
    } else if (message.type === "progress" && busy && busy.id === message.id) {
      busy.progress = message;
      if (!Cards.renderProgress(busy)) Cards.render(busy, actions);
      showStatus();
    } else if (message.type === "done" && busy && busy.id === message.id) {
      const card = busy;
      busy = null;
      // Whatever drawing the card throws, the queue goes on and the card ends.
      try {
        finish(card, message.result);
      } catch (error) {
        card.state = "failed";
        card.result = {status: -1, kind: "", message: "the page could not show the result (" +
                       String(error.message || error) + ")", format: "", direction: 0, width: 0, height: 0};
        Cards.render(card, actions);
      } finally {
        if (message.result.restart) restartWorker();
        else schedule();
      }
    }
  }

  // The input's name with the output's extension, told by its first bytes.
  // Two inputs of one stem (same.png, same.jpg) keep their own extensions
  // (same.png.png, same.jpg.png), so that no two downloads share a name.
  const PICTURE_EXTENSION = /\.(bmp|dib|pbm|pgm|ppm|pam|pnm|png|jpe?g|tiff?|gif|webp|avif)$/i;
  function outputName(card, bytes) {
    const stem = (name) => name.replace(PICTURE_EXTENSION, "");
    const shared = cards.some((c) => c !== card && c.file.name !== card.file.name &&
                                     stem(c.file.name) === stem(card.file.name));
    const base = (shared ? card.file.name : stem(card.file.name)) + (card.number > 1 ? ` (${card.number})` : "");
    const extension = bytes[0] === 0x42 ? ".bmp" : bytes[0] === 0x89 ? ".png" : bytes[0] === 0x25 ? ".pdf"
                    : bytes[0] === 0x49 || bytes[0] === 0x4d ? ".tif" : ".pbm";
    return base + extension;
  }

  function finish(card, result) {
    if (card.url) URL.revokeObjectURL(card.url);
    card.url = null;
    result.readyAfter = performance.now() - card.queuedAt;
    result.date = new Date();
    if (result.status === OK) {
      result.bytes = new Uint8Array(result.bytes);
      result.outputName = outputName(card, result.bytes);
      card.blob = result.blob;
      card.url = URL.createObjectURL(card.blob);
    } else {
      const {title, advice} = Cards.problem({state: "done", result});
      lastProblem = `${card.title}: ${title}${/[.!?]$/.test(title) ? "" : "."} ${advice}`;
    }
    card.result = result;
    card.awaitingOriginal = Boolean(result.originalFollows);
    card.madeWith = keyFor(result.direction, card.sentWith);
    card.state = result.status === OK ? "done" : "failed";
    run.done += 1;
    // Options changed while it ran: once more, with the new ones.
    const now = optionsFor(card);
    card.stale = !now || keyFor(result.direction, now) !== card.madeWith;
    if (card.stale && result.direction !== 0 && now) queue(card, false);
    Cards.render(card, actions);
    showStatus();
  }

  function queue(card, fresh) {
    card.state = "queued";
    card.queuedAt = performance.now();
    card.waitingFor = optionsFor(card) ? "" : "Waiting for valid options (see the marked field above)";
    run.total += 1;
    if (!fresh) card.stale = card.result !== null;
  }

  // The next file: the visible cards first, newest first.
  function schedule() {
    const queued = cards.filter((c) => c.state === "queued");
    const waiting = queued.filter((c) => optionsFor(c));
    if (!ready || busy || waiting.length === 0) {
      if (queued.length === 0 && !busy) run = {total: 0, done: 0};
      showStatus();
      if (!busy && waiting.length === 0 && !cards.some((c) => c.awaitingOriginal))
        idleWaiters.splice(0).forEach((resolve) => resolve());
      return;
    }
    // New files in the order shown; then those converted again after an
    // option changed, the ones in view first.
    const fresh = waiting.filter((c) => !c.result).sort((a, b) => a.serial - b.serial);
    const again = waiting.filter((c) => c.result).sort((a, b) => (b.visible - a.visible) || (a.serial - b.serial));
    const card = fresh.length > 0 ? fresh[0] : again[0];
    busy = card;
    card.state = "converting";
    card.sentWith = optionsFor(card);
    card.progress = {phase: "reading", done: 0, total: 0};
    Cards.render(card, actions);
    card.job = ++jobs;
    worker.postMessage({type: "convert", id: card.id, job: card.job, input: {kind: "file", file: card.file},
                        options: Object.assign({view: Cards.fitBox(card)}, card.sentWith)});
    showStatus();
  }

  function optionsChanged() {
    updateFields();
    const {options: read, errors} = readOptions();
    markFields(errors);
    const invalid = Object.keys(errors).length > 0;
    if (editing) editing.own = {values: formValues(), options: invalid ? null : read};
    else options = invalid ? null : read;
    for (const card of cards) {
      // A change of the form is the edited card's alone, or every other card's.
      if (editing ? card !== editing : card.own) continue;
      const now = optionsFor(card);
      if (card.state === "cancelled" || !card.result && card.state !== "queued") continue;
      if (card.state === "queued") {
        card.waitingFor = invalid ? "Waiting for valid options (see the marked field above)" : "";
      } else if (invalid) {
        card.stale = card.result !== null;
      } else if (card.result && keyFor(card.result.direction, now) !== card.madeWith) {
        if (card.state !== "converting") queue(card, false);
      } else {
        card.stale = false;
      }
      if (card.state !== "converting") Cards.render(card, actions);
    }
    schedule();
  }

  // ---- Status ----------------------------------------------------------

  function plural(n, one, many) {
    return `${n.toLocaleString("en")} ${n === 1 ? one : many}`;
  }

  // The live region: the status line as it stands at a run's start, its end
  // or a refusal, never its percentages, and at most once in ANNOUNCE_MS.
  const ANNOUNCE_MS = 3000;
  let announced = {text: "", at: -Infinity, timer: 0};
  function announce(text) {
    clearTimeout(announced.timer);
    if (text === announced.text) return;
    const wait = announced.at + ANNOUNCE_MS - performance.now();
    if (wait > 0) {
      announced.timer = setTimeout(() => announce(text), wait);
      return;
    }
    announced = {text, at: performance.now(), timer: 0};
    $("announce").textContent = text;
  }

  function showOnlyRefused(on) {
    $("refusals").setAttribute("aria-pressed", String(on));
    list.classList.toggle("only-refused", on);
  }

  function showStatus() {
    const overall = $("overall");
    const pending = cards.filter((c) => c.state === "queued" || c.state === "converting").length;
    $("cancel").disabled = pending === 0;
    $("clear").disabled = cards.length === 0;
    const converted = cards.filter((c) => c.state === "done" && c.result.status === OK);
    const stale = cards.some((c) => c.stale && c.result);
    $("download-all").disabled = converted.length === 0 || stale || pending > 0;
    for (const id of Object.keys(DOCUMENTS)) $(id).disabled = $("download-all").disabled || Boolean(busy);
    const failed = cards.filter((c) => c.state === "failed" || c.state === "cancelled").length;
    if (!everReady) return;
    let text;
    let heard;  // what the live region says of it
    if (cards.length === 0) {
      text = "Ready: choose or drop files.";
    } else if (pending > 0 && !options) {
      text = `The options are not valid: ${plural(pending, "file waits", "files wait")} until the marked field is fixed.`;
    } else if (busy && busy.document) {
      text = `Making the ${busy.document.label}: file ${busy.progress.done + 1} of ${busy.progress.total}.`;
    } else if (busy) {
      const p = busy.progress;
      const percent = p && p.total > 0 ? ` ${Math.floor((100 * p.done) / p.total)}%` : "";
      text = `Converting ${busy.title} (${p ? p.phase : "reading"}${percent}), ` +
             `${plural(Math.min(run.done + 1, run.total), "file", "files")} of ${run.total}.`;
      heard = `Converting ${plural(run.total, "file", "files")}.` + (lastProblem ? " " + lastProblem : "");
    } else {
      text = `Converted ${converted.length} of ${plural(cards.length, "file", "files")}.`;
      if (failed > 0) text += ` ${plural(failed, "file", "files")} not converted: see ${failed === 1 ? "its card" : "their cards"}.`;
      if (failed > 0 && lastProblem) text += " " + lastProblem;
    }
    status.textContent = text + notice;
    announce((heard || text) + notice);
    overall.hidden = !busy;
    if (busy) {
      const p = busy.progress;
      const part = p && p.total > 0 ? p.done / p.total : 0;
      overall.value = Math.floor((100 * (run.done + part)) / Math.max(run.total, 1));
    }
    $("summary-link").hidden = cards.length === 0;
    // Every refusal stays on its card; this shows them alone, with their count.
    const refusals = $("refusals");
    refusals.hidden = failed === 0;
    refusals.textContent = failed === 0 ? "Only the refused" : `Only the refused (${failed})`;
    if (failed === 0) showOnlyRefused(false);
  }

  // A focused control is never under the bar at the window's bottom: the
  // bar's height pads scrolling, and a control the browser left partly
  // under it is scrolled clear.
  const bar = document.querySelector(".bar");
  new ResizeObserver(() => {
    document.documentElement.style.setProperty("--bar-height", `${bar.offsetHeight}px`);
  }).observe(bar);
  document.addEventListener("focusin", (event) => {
    if (bar.contains(event.target)) return;
    const below = event.target.getBoundingClientRect().bottom - bar.getBoundingClientRect().top;
    if (below > 0) window.scrollBy(0, below + 8);
  });

  // ---- Cards -----------------------------------------------------------

  const seen = new IntersectionObserver((entries) => {
    for (const entry of entries) {
      const card = cards.find((c) => c.element === entry.target);
      if (card) card.visible = entry.isIntersecting ? 1 : 0;
    }
  });

  function removeCard(card) {
    cards = cards.filter((c) => c !== card);
    seen.unobserve(card.element);
    if (editing === card) stopEditing();
    card.element.remove();
    if (card.url) URL.revokeObjectURL(card.url);
    if (busy === card) restartWorker();
    schedule();
  }

  // The form shows a card's own settings (its own from now on, starting
  // from the options of all files), or all files' again.
  function editOwn(card) {
    if (editing !== card) stopEditing();
    if (!card.own) card.own = {values: formValues(), options};
    allValues = allValues || formValues();
    editing = card;
    setForm(card.own.values);
    $("editing-text").textContent = `Options of ${card.title} only.`;
    $("editing").hidden = false;
    $("options").classList.add("own");
    Cards.render(card, actions);
    $("options-heading").scrollIntoView();
  }

  function stopEditing() {
    if (!editing) return;
    const card = editing;
    editing = null;
    setForm(allValues);
    allValues = null;
    $("editing").hidden = true;
    $("options").classList.remove("own");
    if (cards.includes(card)) Cards.render(card, actions);
  }

  // Back to the options of all files, converted again if they differ.
  function dropOwn(card) {
    if (editing === card) stopEditing();
    card.own = null;
    if (card.result && card.state !== "queued" && card.state !== "converting" && options &&
        keyFor(card.result.direction, options) !== card.madeWith)
      queue(card, false);
    Cards.render(card, actions);
    schedule();
  }

  const actions = {
    remove: removeCard,
    editOwn,
    dropOwn,
    editing: (card) => editing === card,
    again(card) {
      queue(card, false);
      Cards.render(card, actions);
      schedule();
    },
  };

  function addFiles(files) {
    const skipped = [];
    for (const file of Array.from(files)) {
      const folder = (file.webkitRelativePath || "").replace(/\/[^/]*$/, "");
      const key = [file.name, file.size, file.lastModified, folder].join("\u0000");
      if (cards.some((c) => c.key === key)) {
        skipped.push(file.name);
        continue;
      }
      // Same name, another file: a folder to tell them apart, or a number.
      const number = folder ? 1 : cards.filter((c) => c.file.name === file.name && !c.folder).length + 1;
      const card = {
        id: ++serial, serial, file, key, folder, number, visible: 1,
        title: number > 1 ? `${file.name} (${number})` : file.name,
        element: document.createElement("li"), result: null, stale: false, state: "queued",
      };
      queue(card, true);
      cards.push(card);
      list.append(card.element);
      seen.observe(card.element);
      Cards.render(card, actions);
    }
    notice = skipped.length > 0 ? ` Already in the list, so not added again: ${skipped.join(", ")}.` : "";
    schedule();
  }

  function cancel() {
    for (const card of cards) {
      if (card.state !== "queued" && card.state !== "converting") continue;
      card.state = "cancelled";
      Cards.render(card, actions);
    }
    lastProblem = "Cancelled: choose \u201cConvert again\u201d on a card to convert it.";
    if (busy) restartWorker();
    run = {total: 0, done: 0};
    schedule();
  }

  function clear() {
    stopEditing();
    if (busy) restartWorker();
    for (const card of cards) if (card.url) URL.revokeObjectURL(card.url);
    cards.forEach((card) => seen.unobserve(card.element));
    cards = [];
    lastProblem = "";
    notice = "";
    list.replaceChildren();
    schedule();
  }

  // ---- Downloads -------------------------------------------------------

  // Hands a Blob to the browser's downloads as `name`.
  function save(blob, name) {
    const link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

  async function downloadAll() {
    const button = $("download-all");
    button.disabled = true;
    const files = cards.filter((c) => c.state === "done" && c.result.status === OK)
                       .map((c) => ({name: c.result.outputName, blob: c.blob, crc: c.result.crc, date: c.result.date}));
    try {
      const archive = await window.quorvelpbmZip.zip(files, (i, n) => {
        status.textContent = `Packing the ZIP: ${i + 1} of ${plural(n, "file", "files")}.`;
      });
      save(archive, "quorvelpbm.zip");
      showStatus();
    } catch (error) {
      status.textContent = "The ZIP could not be made: " + error.message + ". Download the files one by one instead.";
    } finally {
      button.disabled = false;
    }
  }

  // Every converted file, in the order shown, as the pages of one document
  // made by the worker with the options as they stand.
  function downloadDocument(event) {
    const kind = DOCUMENTS[event.currentTarget.id];
    const files = cards.filter((c) => c.state === "done" && c.result.status === OK).map((c) => c.file);
    if (busy || !ready || !options || files.length === 0) return;
    busy = {id: `document-${++documents}`, document: kind, progress: {done: 0, total: files.length}};
    showStatus();
    worker.postMessage({type: "document", id: busy.id, files, to: kind.to, options});
  }

  function documentDone(result) {
    const kind = busy.document;
    busy = null;
    notice = result.status === OK ? "" : ` The ${kind.label} could not be made: ${result.message}.`;
    showStatus();
    if (result.status === OK) save(result.blob, kind.name);
    if (result.restart) restartWorker();
    else schedule();
  }

  // ---- Input -----------------------------------------------------------

  $("files").addEventListener("change", (event) => {
    addFiles(event.target.files);
    event.target.value = "";
  });
  // Files dropped anywhere on the page; the box only shows where.
  const drop = $("drop");
  let depth = 0;
  const hasFiles = (event) => event.dataTransfer && Array.from(event.dataTransfer.types || []).includes("Files");
  document.addEventListener("dragenter", (event) => {
    if (!hasFiles(event)) return;
    depth += 1;
    document.body.classList.add("dragging");
  });
  document.addEventListener("dragleave", () => {
    depth = Math.max(0, depth - 1);
    if (depth === 0) document.body.classList.remove("dragging");
  });
  document.addEventListener("dragover", (event) => event.preventDefault());
  // Captured, so that a drop reaches the page from any element.
  document.addEventListener("drop", (event) => {
    event.preventDefault();
    depth = 0;
    document.body.classList.remove("dragging");
    if (event.dataTransfer && event.dataTransfer.files.length > 0) addFiles(event.dataTransfer.files);
  }, true);
  drop.addEventListener("dragover", () => drop.classList.add("over"));
  drop.addEventListener("dragleave", () => drop.classList.remove("over"));
  drop.addEventListener("drop", () => drop.classList.remove("over"));
  $("refusals").addEventListener("click", () => {
    showOnlyRefused($("refusals").getAttribute("aria-pressed") !== "true");
    $("results-heading").scrollIntoView();
  });
  $("options").addEventListener("change", optionsChanged);
  // While typing, only the marks; the files follow on a change.
  $("options").addEventListener("input", () => markFields(readOptions().errors));
  $("options").addEventListener("submit", (event) => event.preventDefault());
  $("download-all").addEventListener("click", downloadAll);
  for (const id of Object.keys(DOCUMENTS)) $(id).addEventListener("click", downloadDocument);
  $("cancel").addEventListener("click", cancel);
  $("editing-done").addEventListener("click", stopEditing);
  $("clear").addEventListener("click", clear);
  updateFields();
  options = readOptions().options;
  startWorker();

  // For tests and scripts: each card's last result, a promise that settles
  // once the converter has loaded, and one that settles when no file waits.
  window.quorvelpbm = {
    results: () => cards.map((c) => Object.assign({name: c.file.name, state: c.state, stale: c.stale},
                                                 c.result || {status: null})),
    ready: loadedPromise,
    idle: () => new Promise((resolve) => {
      const pending = cards.some((c) => c.state === "queued" || c.state === "converting" || c.awaitingOriginal);
      if (!pending || (!options && !busy)) resolve();
      else idleWaiters.push(resolve);
    }),
  };
})();
