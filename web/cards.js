// One card a file: its state and progress, what went wrong and what to do,
// the download, and the preview with a before/after split and a zoom that
// keeps pixels square. app.js owns the cards' data; this draws them.
"use strict";

window.quorvelpbmCards = (function () {
  const OK = 0;
  const UNKNOWN_FORMAT = 10;
  const INVALID_ARGUMENT = 12;
  const TOO_MANY_PIXELS = 13;
  const TOO_WIDE = 14;
  const BMP_UNSUPPORTED = 22;
  const PHASES = {reading: "reading the file", decoding: "decoding the picture", converting: "converting"};

  function element(tag, properties, ...children) {
    const node = document.createElement(tag);
    Object.assign(node, properties);
    node.append(...children);
    return node;
  }

  // What went wrong, in the user's words, and what they can do about it.
  function problem(card) {
    const r = card.result;
    if (card.state === "cancelled")
      return {title: "Cancelled.", advice: "Choose \u201cConvert again\u201d to convert it."};
    switch (r.kind) {
      case "empty":
        return {title: "Refused: the file is empty (0 bytes).",
                advice: "It may not have been saved or copied completely: choose the original again."};
      case "undecodable":
        return {title: `Refused: ${r.decodedBy}: this browser cannot decode it.`,
                advice: "It may be damaged, cut short or of a kind this browser does not read: open it in an " +
                        "image editor, save it as PNG or BMP, and add that file."};
      case "too-large":
        return {title: "Too large: " + r.message + ".",
                advice: r.decoded && r.status === -1
                  ? "Convert it with the quorvelpbm command-line tool, e.g. " +
                    "pngtopnm picture.png | quorvelpbm - picture.pbm."
                  : "Choose \u201cRaw PBM\u201d or 1 bit per pixel for a smaller output, " +
                    "or convert it with the quorvelpbm command-line tool."};
      case "memory":
        return {title: "Out of memory: " + r.message + ".",
                advice: "Remove other files or close other tabs, then choose \u201cConvert again\u201d; " +
                        "or convert it with the quorvelpbm command-line tool."};
      default:
        break;
    }
    const advice = {
      [UNKNOWN_FORMAT]: "Neither the library nor this browser reads it: save the picture as PNG or BMP in an image editor.",
      [INVALID_ARGUMENT]: "Check the options above.",
      [TOO_MANY_PIXELS]: "Convert it with the quorvelpbm command-line tool.",
      [TOO_WIDE]: "Choose the channels, luma, otsu or bayer method, which take rows of any width.",
      [BMP_UNSUPPORTED]: "Save it as an uncompressed BMP in an image editor, and add that file.",
    }[r.status] || "Check that the file is a whole picture, not one cut short.";
    return {title: "Refused: " + r.message, advice};
  }

  // Which reader took the file.
  function reader(r) {
    return r.decoded ? "decoded by the browser: " + r.decodedBy : "read by the library: " + r.format;
  }

  function seconds(ms) {
    return ms < 1000 ? `${Math.max(1, Math.round(ms))} ms` : `${(ms / 1000).toFixed(1)} s`;
  }

  function drawInto(canvas, picture) {
    canvas.width = picture.width;
    canvas.height = picture.height;
    const context = canvas.getContext("2d");
    if (picture instanceof ImageBitmap) context.drawImage(picture, 0, 0);
    else context.putImageData(new ImageData(new Uint8ClampedArray(picture.pixels), picture.width), 0, 0);
  }

  // The box the fit view draws a card's result in, in device pixels (the
  // card's width, 18rem high): the worker averages the result down to it,
  // so that a dither shown small reads as its grey, never as the browser's
  // smoothing of it (moire).
  function fitBox(card) {
    const rem = parseFloat(getComputedStyle(document.documentElement).fontSize) || 16;
    const scale = window.devicePixelRatio || 1;
    return {width: Math.max(1, card.element.clientWidth - 2 * rem) * scale, height: 18 * rem * scale};
  }

  const BLACK = 0xff000000;
  const WHITE = 0xffffffff;

  // A result larger than its preview, pixel for pixel: a scrolling view the
  // size of the result times the zoom, whose canvas (the view's size, kept
  // in view) is drawn from the result's bits for the part in view only, on
  // each scroll. Focusable, so that the arrow keys pan it.
  function bitView(bits, label) {
    const canvas = element("canvas");
    canvas.setAttribute("role", "img");
    canvas.setAttribute("aria-label", label);
    const room = element("div", {className: "room"});
    const view = element("div", {className: "bits", tabIndex: 0}, canvas, room);
    view.setAttribute("role", "region");
    view.setAttribute("aria-label", label + ", pixel for pixel: the arrow keys move it");
    const data = new Uint8Array(bits.data);
    let zoom = 1;
    let pending = false;
    const draw = () => {
      pending = false;
      const width = view.clientWidth;
      const height = view.clientHeight;
      if (width === 0 || height === 0) return;
      canvas.width = width;
      canvas.height = height;
      canvas.style.width = `${width}px`;
      canvas.style.height = `${height}px`;
      const image = new ImageData(width, height);
      const out = new Uint32Array(image.data.buffer);
      const left = view.scrollLeft;
      const top = view.scrollTop;
      for (let cy = 0; cy < height; ++cy) {
        const y = Math.floor((top + cy) / zoom);
        if (y >= bits.height) break;
        const row = y * bits.stride;
        for (let cx = 0, at = cy * width; cx < width; ++cx) {
          const x = Math.floor((left + cx) / zoom);
          if (x >= bits.width) break;
          out[at + cx] = data[row + (x >> 3)] & (0x80 >> (x & 7)) ? BLACK : WHITE;
        }
      }
      canvas.getContext("2d").putImageData(image, 0, 0);
    };
    const later = () => {
      if (pending) return;
      pending = true;
      requestAnimationFrame(draw);
    };
    view.addEventListener("scroll", later);
    new ResizeObserver(later).observe(view);
    // A new zoom, keeping the point at (fx, fy) of the picture (shares of
    // its width and height) at the view's centre.
    const show = (step, fx, fy) => {
      zoom = step;
      room.style.width = `${bits.width * zoom}px`;
      room.style.height = `${bits.height * zoom}px`;
      view.scrollLeft = fx * bits.width * zoom - view.clientWidth / 2;
      view.scrollTop = fy * bits.height * zoom - view.clientHeight / 2;
      later();
    };
    const centre = () => ({x: (view.scrollLeft + view.clientWidth / 2) / (bits.width * zoom),
                           y: (view.scrollTop + view.clientHeight / 2) / (bits.height * zoom)});
    return {view, show, centre};
  }

  // The preview: the result, with the original over its left part up to the
  // split, and a zoom of whole steps so that each pixel stays a square.
  function preview(card) {
    const r = card.result;
    const after = element("canvas");
    const full = r.previewBitmap || r.preview;
    const small = r.fitPreview || full;
    drawInto(after, small);
    after.setAttribute("role", "img");
    after.setAttribute("aria-label", `${r.outputName}, ${r.width} by ${r.height} pixels`);
    const stack = element("div", {className: "stack"}, after);
    // A small picture is enlarged to fit: its pixels stay square then too.
    const box = element("div", {className: "preview fit" + (r.preview.width < 400 ? " small" : "")}, stack);
    const controls = element("p", {className: "view"});
    const pixels = element("button", {type: "button", textContent: "Pixel for pixel"});
    pixels.setAttribute("aria-pressed", "false");
    pixels.setAttribute("aria-label", "Pixel for pixel: " + card.title);
    const zoom = element("select", {disabled: true});
    for (const step of [1, 2, 4, 8, 16]) zoom.append(element("option", {value: String(step), textContent: `${step}\u00d7`}));
    zoom.setAttribute("aria-label", "Zoom of " + card.title);
    // A result shrunk for its preview is shown pixel for pixel from its bits.
    const bits = r.preview.bits ? bitView(r.preview.bits, `${r.outputName}, ${r.width} by ${r.height} pixels`) : null;
    if (bits) box.append(bits.view);
    let focus = {x: 0.5, y: 0.5};  // where pixel for pixel opens, as shares of the picture
    const apply = () => {
      const on = pixels.getAttribute("aria-pressed") === "true";
      box.classList.toggle("fit", !on);
      box.classList.toggle("tiled", on && bits !== null);
      zoom.disabled = !on;
      if (bits && on) {
        bits.show(Number(zoom.value), focus.x, focus.y);
        return;
      }
      // Pixel for pixel shows the preview's own pixels, in a box that scrolls
      // and so takes the keyboard's focus; fit its average.
      if (on) {
        box.tabIndex = 0;
        box.setAttribute("role", "region");
        box.setAttribute("aria-label", `${r.outputName}, pixel for pixel: the arrow keys move it`);
      } else {
        box.removeAttribute("tabindex");
        box.removeAttribute("role");
        box.removeAttribute("aria-label");
      }
      const picture = on ? full : small;
      if (after.width !== picture.width) drawInto(after, picture);
      after.style.width = on ? `${r.preview.width * Number(zoom.value)}px` : "";
    };
    pixels.addEventListener("click", () => {
      pixels.setAttribute("aria-pressed", String(pixels.getAttribute("aria-pressed") !== "true"));
      focus = {x: 0.5, y: 0.5};
      apply();
    });
    zoom.addEventListener("change", () => {
      if (bits) focus = bits.centre();
      apply();
    });
    // A double click or tap on the fit view opens pixel for pixel there.
    after.addEventListener("dblclick", (event) => {
      const rect = after.getBoundingClientRect();
      const scale = Math.min(rect.width / after.width, rect.height / after.height);
      const x = (event.clientX - rect.left - (rect.width - after.width * scale) / 2) / (after.width * scale);
      const y = (event.clientY - rect.top - (rect.height - after.height * scale) / 2) / (after.height * scale);
      focus = {x: Math.min(1, Math.max(0, x)), y: Math.min(1, Math.max(0, y))};
      pixels.setAttribute("aria-pressed", "true");
      apply();
    });
    controls.append(pixels, " ", zoom);
    if (r.original) {
      const before = element("canvas", {className: "before"});
      drawInto(before, r.original);
      before.setAttribute("aria-hidden", "true");
      stack.append(before);
      // The cut between the original (left) and the result (right), as a
      // share of the picture as drawn, which object-fit may inset in its box.
      const split = element("input", {type: "range", min: "0", max: "100", value: "50", className: "split"});
      split.setAttribute("aria-label", `Cut of ${card.title}: the original left of it, the result right, ` +
                                       "in percent across the picture");
      const drawn = () => {
        const box = after.getBoundingClientRect();
        const scale = Math.min(box.width / after.width, box.height / after.height);
        const width = after.width * scale;
        return {box, left: box.left + (box.width - width) / 2, width};
      };
      const set = () => {
        const {box, left, width} = drawn();
        const cut = left - box.left + (width * Number(split.value)) / 100;
        stack.style.setProperty("--cut", box.width > 0 ? `${box.width - cut}px` : `${100 - Number(split.value)}%`);
      };
      // A finger or a pressed mouse moves the cut to where it is.
      const follow = (event) => {
        if (event.type === "pointermove" && event.buttons === 0) return;
        const {left, width} = drawn();
        if (width <= 0) return;
        split.value = String(Math.round(Math.min(100, Math.max(0, (100 * (event.clientX - left)) / width))));
        set();
      };
      stack.addEventListener("pointerdown", follow);
      stack.addEventListener("pointermove", follow);
      split.addEventListener("input", set);
      new ResizeObserver(set).observe(after);
      set();
      stack.append(element("span", {className: "half-label before-label", textContent: "Before"}),
                   element("span", {className: "half-label after-label", textContent: "After"}));
      controls.append(" ", split);
    } else {
      controls.append(" ", element("span", {className: "help", textContent:
        "No before and after: the browser cannot draw this file's format, or the result is turned or " +
        "flipped, or the picture is over 64 megapixels."}));
    }
    const shrunk = r.preview.width < r.width
      ? element("p", {className: "help", textContent: `Shown shrunk to ${r.preview.width} x ${r.preview.height}; ` +
                                                        "pixel for pixel shows every pixel (double-click or " +
                                                        "double-tap the picture to open it there)."})
      : "";
    return [controls, box, shrunk];
  }

  function download(card, stale) {
    const r = card.result;
    const link = element("a", {className: "download", textContent: "Download " + r.outputName});
    if (stale) {
      link.setAttribute("aria-disabled", "true");
      link.setAttribute("role", "link");
      link.title = "Out of date: convert it again first";
    } else {
      link.href = card.url;
      link.download = r.outputName;
    }
    return link;
  }

  // The card's contents for its current state; actions are callbacks.
  function render(card, actions) {
    const item = card.element;
    const r = card.result;
    item.dataset.name = card.file.name;
    item.dataset.state = card.state;
    item.dataset.status = r ? String(r.status) : "";
    item.classList.toggle("stale", card.stale);
    const parts = [element("h3", {textContent: card.title})];
    if (card.folder) parts.push(element("p", {className: "help", textContent: "From " + card.folder}));
    if (card.state === "queued" || card.state === "converting") {
      const bar = element("progress", {max: 100});
      const line = element("p", {className: "progress-line"});
      if (card.state === "queued") {
        line.textContent = card.waitingFor || "Waiting to be converted";
      } else {
        const p = card.progress || {phase: "reading", done: 0, total: 0};
        if (p.total > 0) bar.value = Math.floor((100 * p.done) / p.total);
        line.textContent = `Now ${PHASES[p.phase]}${p.total > 0 ? `: ${bar.value}%` : ""}`;
        bar.setAttribute("aria-label", "Progress of " + card.title);
        line.append(" ", bar);
      }
      parts.push(line);
    }
    if (card.stale && r)
      parts.push(element("p", {className: "stale-note", textContent:
        "Out of date: the options changed, so this result does not match them. " +
        (card.state === "queued" && !card.waitingFor ? "It will be converted again." : "Its download is off until it is converted again.")}));
    if (card.state === "cancelled" || (r && r.status !== OK)) {
      const {title, advice} = problem(card);
      parts.push(element("p", {className: "refused", textContent: title}), element("p", {className: "advice", textContent: advice}));
      // Which reader took it, when one did and the library refused it.
      if (r && r.status > 0 && (r.decoded || r.format)) parts.push(element("p", {className: "help", textContent: reader(r)}));
    } else if (r) {
      parts.push(element("p", {className: "facts", textContent:
        `${reader(r)}, ${r.width} x ${r.height} -> ${r.outputName}, ${r.bytes.length.toLocaleString("en")} bytes, ` +
        `ready ${seconds(r.readyAfter)} after it was queued`}));
      // What auto chose and why, in the library's words.
      if (r.message && r.message.startsWith("auto chose "))
        parts.push(element("p", {className: "decision", textContent: r.message[0].toUpperCase() + r.message.slice(1)}));
    }
    const buttons = element("p", {className: "actions"});
    if (r && r.status === OK) buttons.append(download(card, card.stale), " ");
    if (card.state === "cancelled" || (r && r.kind === "memory")) {
      const again = element("button", {type: "button", textContent: "Convert again"});
      again.setAttribute("aria-label", "Convert again: " + card.title);
      again.addEventListener("click", () => actions.again(card));
      buttons.append(again, " ");
    }
    // Options of its own: made in the form above, which says whose they are.
    if (r && card.state !== "converting") {
      const own = element("button", {type: "button", className: "own", textContent:
        actions.editing(card) ? "Its options are above" : card.own ? "Change its own options" : "Options for this file only"});
      own.setAttribute("aria-label", own.textContent + ": " + card.title);
      own.disabled = actions.editing(card);
      own.addEventListener("click", () => actions.editOwn(card));
      buttons.append(own, " ");
      if (card.own) {
        const shared = element("button", {type: "button", textContent: "Use the options of all files"});
        shared.setAttribute("aria-label", "Use the options of all files: " + card.title);
        shared.addEventListener("click", () => actions.dropOwn(card));
        buttons.append(shared, " ");
      }
    }
    const remove = element("button", {type: "button", className: "remove", textContent: "Remove"});
    remove.setAttribute("aria-label", "Remove " + card.title);
    remove.addEventListener("click", () => actions.remove(card));
    buttons.append(remove);
    parts.push(buttons);
    if (r && r.status === OK) {
      // A picture with nothing to draw (0 x 0) still ends with its result.
      if (r.width === 0 || r.height === 0)
        parts.push(element("p", {className: "help", textContent: "No preview: the picture has no pixels."}));
      else {
        try {
          parts.push(...preview(card));
        } catch (error) {
          parts.push(element("p", {className: "help", textContent: "No preview: " + String(error.message || error)}));
        }
      }
    }
    item.replaceChildren(...parts);
  }

  // Only the progress line, without redrawing the preview.
  function renderProgress(card) {
    const line = card.element.querySelector(".progress-line");
    const bar = line && line.querySelector("progress");
    if (!bar) return false;
    const p = card.progress;
    if (p.total > 0) bar.value = Math.floor((100 * p.done) / p.total);
    else bar.removeAttribute("value");
    line.firstChild.textContent = `Now ${PHASES[p.phase]}${p.total > 0 ? `: ${bar.value}%` : ""}`;
    return true;
  }

  return {render, renderProgress, problem, fitBox};
})();
