// The converter's worker: owns the WebAssembly module, so that no conversion
// runs on the page's thread. build.sh puts this after the module's own code,
// inside one function that the page starts as a worker from a blob: URL
// (a page opened from file:// may not load a worker script by its path).
//
// Messages in:  {type: "convert", id, input, options}
//   input:   {kind: "file", file} (a File or Blob of BMP or PBM bytes);
//            other kinds (e.g. decoded pixels) can be added beside it.
//   options: {method, threshold, window, invert, raw, bpp}, named, so that
//            a new option is one more field here and in page_convert.
// Messages out: {type: "ready", version} or {type: "failed", message};
//   {type: "progress", id, phase, done, total} (total 0: no measure yet);
//   {type: "done", id, result}: the library's status, message, format,
//   direction and size; on success the output as bytes (transferred) and as
//   a Blob, its CRC-32, and the previews of the result and of the original.
"use strict";

const OK = 0;
const DETECT = 0;
const BMP_TO_PBM = 1;
// More pixels than allowed, an RLE picture too large for the method, a BMP
// over 4 GiB.
const TOO_LARGE = [13, 25, 42];
const CHUNK = 8 << 20;
// Previews hold at most this many pixels, whatever the picture's size.
const PREVIEW_PIXELS = 2 << 20;
// Past this many pixels the browser is not asked to decode the original.
const ORIGINAL_PIXELS = 64e6;

let library = null;

function progress(id, phase, done, total) {
  self.postMessage({type: "progress", id, phase, done, total});
}

// The preview's size: the picture shrunk by a whole factor until it holds at
// most PREVIEW_PIXELS.
function previewSize(width, height) {
  let factor = 1;
  while (Math.ceil(width / factor) * Math.ceil(height / factor) > PREVIEW_PIXELS) ++factor;
  return {factor, width: Math.ceil(width / factor), height: Math.ceil(height / factor)};
}

// Calls row(y, white) for each row, top first; white[x] is 1 for a white
// pixel. bytes is a black-and-white BMP (1 or 24 bits, the library's
// output) or a PBM ("P1" or "P4").
function eachRow(bytes, row) {
  return bytes[0] === 0x42 ? eachBmpRow(bytes, row) : eachPbmRow(bytes, row);
}

function eachPbmRow(bytes, row) {
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
  const white = new Uint8Array(width);
  if (bytes[1] === 0x34) {
    const stride = Math.ceil(width / 8);
    for (let y = 0; y < height; ++y, at += stride) {
      for (let x = 0; x < width; ++x) white[x] = (bytes[at + (x >> 3)] >> (7 - (x & 7))) & 1 ? 0 : 1;
      row(y, white);
    }
  } else {
    for (let y = 0; y < height; ++y) {
      for (let x = 0; x < width && at < bytes.length; ++at) {
        const c = bytes[at];
        if (!isSpace(c)) white[x++] = c === 0x30 ? 1 : 0;
      }
      row(y, white);
    }
  }
  return {width, height};
}

function eachBmpRow(bytes, row) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const offset = view.getUint32(10, true);
  const width = view.getInt32(18, true);
  const height = view.getInt32(22, true);
  const bits = view.getUint16(28, true);
  const stride = Math.ceil((width * bits) / 32) * 4;
  const whiteIndex = bytes[54] === 0xff ? 0 : 1;  // from the palette
  const white = new Uint8Array(width);
  for (let y = 0; y < height; ++y) {
    const at = offset + (height - 1 - y) * stride;
    if (bits === 1)
      for (let x = 0; x < width; ++x) white[x] = ((bytes[at + (x >> 3)] >> (7 - (x & 7))) & 1) === whiteIndex ? 1 : 0;
    else
      for (let x = 0; x < width; ++x) white[x] = bytes[at + 3 * x] !== 0 ? 1 : 0;
    row(y, white);
  }
  return {width, height};
}

// A black-and-white picture as RGBA pixels of its preview size: each
// preview pixel the mean of the factor x factor pixels it covers, so that a
// shrunk dither reads as grey rather than as noise.
function preview(bytes, width, height, id, phase) {
  const size = previewSize(width, height);
  const sums = new Uint32Array(size.width * size.height);
  const step = Math.max(1, Math.floor(height / 50));
  eachRow(bytes, (y, white) => {
    const base = Math.floor(y / size.factor) * size.width;
    for (let x = 0; x < white.length; ++x) sums[base + Math.floor(x / size.factor)] += white[x];
    if (y % step === 0) progress(id, phase, y, height);
  });
  const pixels = new Uint8ClampedArray(sums.length * 4);
  const rgba = new Uint32Array(pixels.buffer);
  for (let py = 0; py < size.height; ++py) {
    const rows = Math.min(size.factor, height - py * size.factor);
    for (let px = 0; px < size.width; ++px) {
      const count = rows * Math.min(size.factor, width - px * size.factor);
      const grey = Math.round((255 * sums[py * size.width + px]) / count);
      rgba[py * size.width + px] = 0xff000000 | (grey << 16) | (grey << 8) | grey;
    }
  }
  return {width: size.width, height: size.height, pixels: pixels.buffer};
}

// The original as the browser shows it, at the preview's size; null when
// it cannot (a PBM, a kind of BMP it does not read, or too large).
async function original(file, width, height) {
  if (width * height > ORIGINAL_PIXELS || typeof createImageBitmap !== "function") return null;
  const size = previewSize(width, height);
  try {
    return await createImageBitmap(file, {resizeWidth: size.width, resizeHeight: size.height,
                                          resizeQuality: size.factor === 1 ? "pixelated" : "medium"});
  } catch (error) {
    return null;
  }
}

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

function failure(kind, message) {
  return {status: -1, kind, message, format: "", direction: DETECT, width: 0, height: 0, bytes: null};
}

async function convert(id, input, options) {
  const m = library;
  const file = input.file;
  const size = file.size;
  if (size === 0) return failure("empty", "the file is empty (0 bytes)");
  // Addresses past 2 GiB come back negative.
  const at = m._malloc(size) >>> 0;
  if (at === 0) return failure("memory", `the file (${size.toLocaleString("en")} bytes) does not fit in the page's memory`);
  try {
    for (let done = 0; done < size; done += CHUNK) {
      progress(id, "reading", done, size);
      const chunk = new Uint8Array(await file.slice(done, done + CHUNK).arrayBuffer());
      m.HEAPU8.set(chunk, at + done);
    }
    const head = m.HEAPU8.slice(at, at + Math.min(size, 8));
    progress(id, "converting", 0, 0);
    const code = m._page_convert(at, size, DETECT, options.raw, options.bpp, options.method, options.threshold,
                                 options.window, options.invert, options.to || 0);
    const result = {
      status: code,
      kind: code === OK ? "" : "refused",
      message: m.UTF8ToString(m._page_message()),
      format: m.UTF8ToString(m._page_format()),
      direction: m._page_direction(),
      width: m._page_width(),
      height: m._page_height(),
      bytes: null,
    };
    if (code !== OK) {
      if (m._page_too_large() || TOO_LARGE.includes(code)) result.kind = "too-large";
      // A PNG, JPEG or GIF named .bmp is common; say what it is.
      const png = head[0] === 0x89 && head[1] === 0x50 && head[2] === 0x4e && head[3] === 0x47;
      const jpeg = head[0] === 0xff && head[1] === 0xd8;
      const gif = head[0] === 0x47 && head[1] === 0x49 && head[2] === 0x46;
      if (png || jpeg || gif) {
        result.kind = "other-format";
        result.otherFormat = png ? "PNG" : jpeg ? "JPEG" : "GIF";
      }
      return result;
    }
    const out = m._page_output() >>> 0;
    const bytes = m.HEAPU8.slice(out, out + m._page_output_size());
    m._page_release();
    // The input's pixels, when they are black and white too, while they are
    // still in memory.
    let before = null;
    if (result.direction !== BMP_TO_PBM)
      before = preview(m.HEAPU8.subarray(at, at + size), result.width, result.height, id, "drawing");
    result.preview = preview(bytes, result.width, result.height, id, "drawing");
    result.original = before || (await original(file, result.width, result.height));
    result.crc = crc32(bytes);
    // Made here: a Blob of a large output takes the page's thread a while.
    result.blob = new Blob([bytes], {type: "application/octet-stream"});
    result.bytes = bytes.buffer;
    return result;
  } finally {
    m._page_release();
    m._free(at);
  }
}

function transfers(result) {
  const list = [];
  if (result.bytes) list.push(result.bytes);
  if (result.preview) list.push(result.preview.pixels);
  if (result.original instanceof ImageBitmap) list.push(result.original);
  else if (result.original) list.push(result.original.pixels);
  return list;
}

self.onmessage = async (event) => {
  const message = event.data;
  if (message.type !== "convert") return;
  let result;
  try {
    result = await convert(message.id, message.input, message.options);
  } catch (error) {
    // Out of wasm or JavaScript memory; the module may be unusable now, so
    // the page starts a new worker.
    result = failure("memory", "the page ran out of memory (" + String(error.message || error) + ")");
    result.restart = true;
  }
  self.postMessage({type: "done", id: message.id, result}, transfers(result));
};

QuorvelPBM().then((module) => {
  library = module;
  self.postMessage({type: "ready", version: module.UTF8ToString(module._qpbm_version())});
}, (error) => self.postMessage({type: "failed", message: String(error)}));
