// The converter page: files in, the library's in-memory conversion, results
// out as previews and downloads. Nothing is sent anywhere; the page makes no
// request once loaded.
"use strict";

(function () {
  const DETECT = 0;
  const BMP_TO_PBM = 1;
  const OK = 0;
  const CHANNELS = 0;
  const LUMA = 1;
  const SAUVOLA = 6;

  const $ = (id) => document.getElementById(id);
  const status = $("status");
  const list = $("results");
  let library = null;
  let inputs = [];   // {name, bytes}
  let results = [];  // what each input became, in the same order
  let urls = [];     // object URLs to revoke when the results change

  // ---- Options ---------------------------------------------------------

  // The options as the library takes them, or a message for a bad value.
  function readOptions() {
    const method = Number($("method").value);
    const thresholded = method === CHANNELS || method === LUMA;
    const options = {
      method,
      threshold: -1,
      window: 0,
      invert: $("invert").checked ? 1 : 0,
      raw: $("raw").checked ? 1 : 0,
      bpp: Number($("bpp").value),
    };
    const threshold = $("threshold").value.trim();
    if (thresholded && threshold !== "") {
      const most = method === CHANNELS ? 255 : 256;
      const value = Number(threshold);
      if (!Number.isInteger(value) || value < 0 || value > most) return {error: `The threshold is 0 to ${most}.`};
      options.threshold = value;
    }
    const window = $("window").value.trim();
    if (method === SAUVOLA && window !== "") {
      const value = Number(window);
      if (!Number.isInteger(value) || value < 3 || value > 255 || value % 2 === 0)
        return {error: "The window is an odd number from 3 to 255."};
      options.window = value;
    }
    return options;
  }

  // Only the fields that apply to the method are enabled.
  function updateFields() {
    const method = Number($("method").value);
    const threshold = $("threshold");
    threshold.disabled = !(method === CHANNELS || method === LUMA);
    threshold.max = method === CHANNELS ? "255" : "256";
    threshold.placeholder = method === LUMA ? "128" : "100";
    $("window").disabled = method !== SAUVOLA;
  }

  // ---- Conversion ------------------------------------------------------

  function outputName(name, direction) {
    const base = name.replace(/\.(bmp|pbm|dib)$/i, "");
    return base + (direction === BMP_TO_PBM ? ".pbm" : ".bmp");
  }

  // One input through qpbm_output_size and qpbm_convert_memory.
  function convertOne(input, options) {
    const m = library;
    const start = performance.now();
    const at = m._malloc(Math.max(input.bytes.length, 1));
    if (at === 0)
      return {name: input.name, status: -1, message: "the file does not fit in the page's memory", bytes: null};
    m.HEAPU8.set(input.bytes, at);
    const code = m._page_convert(at, input.bytes.length, DETECT, options.raw, options.bpp, options.method,
                                 options.threshold, options.window, options.invert, options.to || 0);
    const result = {
      name: input.name,
      status: code,
      message: m.UTF8ToString(m._page_message()),
      format: m.UTF8ToString(m._page_format()),
      direction: m._page_direction(),
      width: m._page_width(),
      height: m._page_height(),
      bytes: null,
    };
    if (code === OK) {
      const out = m._page_output();
      result.bytes = m.HEAPU8.slice(out, out + m._page_output_size());
      result.outputName = outputName(input.name, result.direction);
    }
    result.milliseconds = performance.now() - start;
    m._page_release();
    m._free(at);
    return result;
  }

  function convertAll() {
    if (library === null || (inputs.length === 0 && results.length === 0)) return;
    const options = readOptions();
    if (options.error) {
      status.textContent = options.error;
      return;
    }
    results = inputs.map((input) => convertOne(input, options));
    render();
  }

  // ---- Previews --------------------------------------------------------

  // The pixels of one of the library's outputs as a canvas, black and white.
  // Each reader gives one byte a pixel, top row first: 1 for white.
  function drawPicture(bytes) {
    const picture = bytes[0] === 0x42 ? readBmp(bytes) : readPbm(bytes);
    const canvas = document.createElement("canvas");
    canvas.width = picture.width;
    canvas.height = picture.height;
    if (picture.width === 0 || picture.height === 0) return canvas;
    const context = canvas.getContext("2d");
    const image = context.createImageData(picture.width, picture.height);
    const rgba = new Uint32Array(image.data.buffer);
    const white = picture.white;
    for (let i = 0; i < white.length; ++i) rgba[i] = white[i] ? 0xffffffff : 0xff000000;
    context.putImageData(image, 0, 0);
    return canvas;
  }

  // Rows of bits, most significant first: `set` is the value of a white bit.
  function unpackBits(bytes, start, stride, width, height, rowAt, set) {
    const white = new Uint8Array(width * height);
    for (let y = 0; y < height; ++y) {
      const row = start + rowAt(y) * stride;
      for (let x = 0, i = y * width; x < width; ++x, ++i)
        white[i] = ((bytes[row + (x >> 3)] >> (7 - (x & 7))) & 1) === set ? 1 : 0;
    }
    return white;
  }

  function readPbm(bytes) {
    let at = 2;
    const isSpace = (c) => c === 32 || (c >= 9 && c <= 13);
    const number = () => {
      for (;;) {
        while (isSpace(bytes[at])) ++at;
        if (bytes[at] !== 0x23) break;
        while (at < bytes.length && bytes[at] !== 10 && bytes[at] !== 13) ++at;
      }
      let n = 0;
      while (bytes[at] >= 0x30 && bytes[at] <= 0x39) n = n * 10 + bytes[at++] - 0x30;
      return n;
    };
    const width = number();
    const height = number();
    ++at;
    if (bytes[1] === 0x34)
      return {width, height, white: unpackBits(bytes, at, Math.ceil(width / 8), width, height, (y) => y, 0)};
    // Plain: one character a pixel, skipping white space.
    const white = new Uint8Array(width * height);
    for (let i = 0; i < white.length && at < bytes.length; ++at) {
      const c = bytes[at];
      if (!isSpace(c)) white[i++] = c === 0x30 ? 1 : 0;
    }
    return {width, height, white};
  }

  function readBmp(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const offset = view.getUint32(10, true);
    const width = view.getInt32(18, true);
    const height = view.getInt32(22, true);
    const bits = view.getUint16(28, true);
    const stride = Math.ceil((width * bits) / 32) * 4;
    const bottomUp = (y) => height - 1 - y;
    if (bits === 1) {
      const whiteIndex = bytes[54] === 0xff ? 0 : 1;  // from the palette
      return {width, height, white: unpackBits(bytes, offset, stride, width, height, bottomUp, whiteIndex)};
    }
    const white = new Uint8Array(width * height);
    for (let y = 0; y < height; ++y) {
      const row = offset + bottomUp(y) * stride;
      for (let x = 0, i = y * width; x < width; ++x, ++i) white[i] = bytes[row + 3 * x] !== 0 ? 1 : 0;
    }
    return {width, height, white};
  }

  // ---- Results ---------------------------------------------------------

  function download(name, blob) {
    const link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

  function renderResult(result) {
    const item = document.createElement("li");
    item.dataset.status = String(result.status);
    item.dataset.name = result.name;
    const title = document.createElement("h3");
    title.textContent = result.name;
    item.appendChild(title);
    const facts = document.createElement("p");
    if (result.status !== OK) {
      facts.className = "refused";
      facts.textContent = "Refused: " + result.message;
      item.appendChild(facts);
      return item;
    }
    facts.className = "facts";
    facts.textContent = `${result.format}, ${result.width} x ${result.height} -> ${result.outputName}, ` +
                        `${result.bytes.length.toLocaleString()} bytes, ${result.milliseconds.toFixed(1)} ms`;
    item.appendChild(facts);

    const actions = document.createElement("p");
    const link = document.createElement("a");
    const url = URL.createObjectURL(new Blob([result.bytes], {type: "application/octet-stream"}));
    urls.push(url);
    link.href = url;
    link.download = result.outputName;
    link.className = "download";
    link.textContent = "Download " + result.outputName;
    actions.appendChild(link);
    actions.appendChild(document.createTextNode(" "));
    const scale = document.createElement("button");
    scale.type = "button";
    scale.textContent = "Actual size";
    scale.setAttribute("aria-pressed", "false");
    actions.appendChild(scale);
    item.appendChild(actions);

    const preview = document.createElement("div");
    preview.className = "preview fit";
    const canvas = drawPicture(result.bytes);
    canvas.setAttribute("role", "img");
    canvas.setAttribute("aria-label", `Preview of ${result.outputName}, ${result.width} by ${result.height} pixels`);
    preview.appendChild(canvas);
    item.appendChild(preview);
    scale.addEventListener("click", () => {
      const actual = preview.classList.toggle("fit") === false;
      scale.setAttribute("aria-pressed", String(actual));
      scale.textContent = actual ? "Fit" : "Actual size";
    });
    return item;
  }

  function render() {
    urls.forEach((url) => URL.revokeObjectURL(url));
    urls = [];
    list.replaceChildren(...results.map(renderResult));
    const converted = results.filter((r) => r.status === OK).length;
    $("download-all").disabled = converted === 0;
    $("clear").disabled = results.length === 0;
    status.textContent = results.length === 0 ? "No files yet."
                                              : `Converted ${converted} of ${results.length} file(s).`;
  }

  // ---- ZIP (stored, no compression) for "download all" -----------------

  const crcTable = new Uint32Array(256).map((_, n) => {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
  });

  function crc32(bytes) {
    let c = 0xffffffff;
    for (let i = 0; i < bytes.length; ++i) c = crcTable[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    return (c ^ 0xffffffff) >>> 0;
  }

  function zip(files) {
    const parts = [];
    const central = [];
    let offset = 0;
    const encoder = new TextEncoder();
    for (const file of files) {
      const name = encoder.encode(file.name);
      const crc = crc32(file.bytes);
      const local = new DataView(new ArrayBuffer(30));
      local.setUint32(0, 0x04034b50, true);
      local.setUint16(4, 20, true);
      local.setUint16(6, 0x0800, true);  // UTF-8 names
      local.setUint32(14, crc, true);
      local.setUint32(18, file.bytes.length, true);
      local.setUint32(22, file.bytes.length, true);
      local.setUint16(26, name.length, true);
      parts.push(local, name, file.bytes);
      const entry = new DataView(new ArrayBuffer(46));
      entry.setUint32(0, 0x02014b50, true);
      entry.setUint16(4, 20, true);
      entry.setUint16(6, 20, true);
      entry.setUint16(8, 0x0800, true);
      entry.setUint32(16, crc, true);
      entry.setUint32(20, file.bytes.length, true);
      entry.setUint32(24, file.bytes.length, true);
      entry.setUint16(28, name.length, true);
      entry.setUint32(42, offset, true);
      central.push(entry, name);
      offset += 30 + name.length + file.bytes.length;
    }
    const size = central.reduce((n, part) => n + part.byteLength, 0);
    const end = new DataView(new ArrayBuffer(22));
    end.setUint32(0, 0x06054b50, true);
    end.setUint16(8, files.length, true);
    end.setUint16(10, files.length, true);
    end.setUint32(12, size, true);
    end.setUint32(16, offset, true);
    return new Blob([...parts, ...central, end], {type: "application/zip"});
  }

  function downloadAll() {
    const taken = new Map();
    const files = results.filter((r) => r.status === OK).map((r) => {
      // Two inputs of the same name get distinct entries.
      const count = (taken.get(r.outputName) || 0) + 1;
      taken.set(r.outputName, count);
      const name = count === 1 ? r.outputName : r.outputName.replace(/(\.\w+)$/, ` (${count})$1`);
      return {name, bytes: r.bytes};
    });
    download("quorvelpbm.zip", zip(files));
  }

  // ---- Input -----------------------------------------------------------

  async function addFiles(fileList) {
    const added = await Promise.all(Array.from(fileList, async (file) => ({
      name: file.name,
      bytes: new Uint8Array(await file.arrayBuffer()),
    })));
    inputs = inputs.concat(added);
    convertAll();
  }

  $("files").addEventListener("change", (event) => {
    addFiles(event.target.files).then(() => { event.target.value = ""; });
  });
  const drop = $("drop");
  drop.addEventListener("dragover", (event) => {
    event.preventDefault();
    drop.classList.add("over");
  });
  drop.addEventListener("dragleave", () => drop.classList.remove("over"));
  drop.addEventListener("drop", (event) => {
    event.preventDefault();
    drop.classList.remove("over");
    addFiles(event.dataTransfer.files);
  });
  $("options").addEventListener("change", () => {
    updateFields();
    convertAll();
  });
  $("options").addEventListener("submit", (event) => event.preventDefault());
  $("download-all").addEventListener("click", downloadAll);
  $("clear").addEventListener("click", () => {
    inputs = [];
    results = [];
    render();
  });
  updateFields();

  // For tests and scripts: the results of the last conversion, and a
  // promise that settles once the converter has loaded.
  window.quorvelpbm = {
    results: () => results,
    ready: QuorvelPBM().then((module) => {
      library = module;
      $("version").textContent = module.UTF8ToString(module._qpbm_version());
      status.textContent = "Ready: choose or drop files.";
      convertAll();
    }, (error) => {
      status.textContent = "The converter could not load: " + error;
    }),
  };
})();
