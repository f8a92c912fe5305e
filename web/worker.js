// The converter's worker: owns the WebAssembly module, so that no conversion
// runs on the page's thread. build.sh puts this after the module's own code,
// inside one function that the page starts as a worker from a blob: URL
// (a page opened from file:// may not load a worker script by its path).
//
// Messages in:  {type: "convert", id, input, options}
//   input:   {kind: "file", file}: a File or Blob; the library reads BMP,
//            PBM, PGM, PPM and PAM files, the browser decodes other pictures.
//   options: {method, threshold, window, invert, raw, bpp}, named, so that
//            a new option is one more field here and in page_convert.
//   {type: "document", id, files, to, options}: every page of the files, in
//            order, as one document of format `to` (PDF or TIFF).
// Messages out: {type: "ready", version} or {type: "failed", message};
//   {type: "progress", id, phase, done, total} (total 0: no measure yet);
//   {type: "done", id, result}: the library's status, message, format,
//   direction and size, and decodedBy (the format's name) when the browser
//   decoded the picture; on success the output as bytes (transferred) and as
//   a Blob, its CRC-32, and the previews of the result and of the original,
//   or with originalFollows, then {type: "original", id, job, original}
//   (an ImageBitmap, or null) once the browser has decoded the file again.
"use strict";

const OK = 0;
const DETECT = 0;
const BMP_TO_PBM = 1;
// More pixels than allowed, an RLE picture too large for the method, a BMP
// over 4 GiB.
const TOO_LARGE = [13, 25, 42];
// qpbm_method: the input's own default is auto for a picture the browser
// decodes (PNG, JPEG, ...), as the tool's is for those formats.
const AUTO = 7;
const DEFAULT_METHOD = 8;
const CHANNELS = 0;
const PBM = 1;  // qpbm_format
const CHUNK = 8 << 20;
// Previews hold at most this many pixels, whatever the picture's size.
const PREVIEW_PIXELS = 2 << 20;
// Past this many pixels the browser is not asked to decode the original.
const ORIGINAL_PIXELS = 64e6;
// Nor a picture to convert: its RGBA pixels take 4 bytes each on the
// canvas, again in the script and again in the module's memory.
const DECODE_PIXELS = 64e6;
// qpbm_status of a page whose file no longer reads as it did.
const UNREADABLE = -1;
// The bytes read to tell a file's format: the library looks at 16, a PNG's
// size is at 16 to 23.
const HEAD = 32;

let library = null;

// id null: a part of a larger task that reports its own progress.
function progress(id, phase, done, total) {
  if (id !== null) self.postMessage({type: "progress", id, phase, done, total});
}

// The preview's size: the picture shrunk by a whole factor until it holds at
// most PREVIEW_PIXELS.
function previewSize(width, height) {
  let factor = 1;
  while (Math.ceil(width / factor) * Math.ceil(height / factor) > PREVIEW_PIXELS) ++factor;
  return {factor, width: Math.ceil(width / factor), height: Math.ceil(height / factor)};
}

// A raw PBM's size and where its rows begin.
function pbmHeader(bytes) {
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
  return {width, height, at: at + 1};
}

// The original as the browser shows it, at the preview's size; null when
// it cannot (a kind of BMP it does not read, or too large). picture: a File
// or an ImageBitmap.
async function original(picture, width, height) {
  if (!picture || width * height > ORIGINAL_PIXELS || typeof createImageBitmap !== "function") return null;
  const size = previewSize(width, height);
  try {
    return await createImageBitmap(picture, {resizeWidth: size.width, resizeHeight: size.height,
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

// The library's result of the last page_convert or page_convert_pixels.
function outcome(code) {
  const m = library;
  return {
    status: code,
    kind: code === OK ? "" : m._page_too_large() || TOO_LARGE.includes(code) ? "too-large" : "refused",
    message: m.UTF8ToString(m._page_message()),
    format: m.UTF8ToString(m._page_format()),
    direction: m._page_direction(),
    width: m._page_width(),
    height: m._page_height(),
    bytes: null,
  };
}

// The output of a successful call, its previews and checksum, into result.
// before: makes the input's own black-and-white preview (it may convert, so
// it runs once the output is taken), or null; picture: what the browser may
// draw the original from.
async function finish(id, result, before, picture, view) {
  const m = library;
  const out = m._page_output() >>> 0;
  const bytes = m.HEAPU8.slice(out, out + m._page_output_size());
  m._page_release();
  Object.assign(result, resultPreview(bytes, view));
  // A preview of the result's own pixels is made here too as a bitmap, which
  // the page's thread draws pixel for pixel without copying its pixels.
  if (result.preview.width > 0 && !result.preview.bits && typeof createImageBitmap === "function") {
    const {width, height, pixels} = result.preview;
    result.previewBitmap = await createImageBitmap(new ImageData(new Uint8ClampedArray(pixels), width, height));
  }
  // A bitmap the browser decoded shrinks at once; a file is decoded again,
  // which may take longer than the conversion: its original follows.
  const mine = before ? before() : null;
  if (mine || !(picture instanceof Blob)) result.original = mine || (await original(picture, result.width, result.height));
  else result.originalLater = original(picture, result.width, result.height);
  result.crc = crc32(bytes);
  // Made here: a Blob of a large output takes the page's thread a while.
  result.blob = new Blob([bytes], {type: "application/octet-stream"});
  result.bytes = bytes.buffer;
  return result;
}

// The size, orientation and resolution for the next conversion (none for
// messages from before these options).
function setLayout(o) {
  library._page_layout(o.width || 0, o.height || 0, o.fit || 0, o.rotate || 0, o.flip || 0, o.mirror || 0,
                       o.noAutoOrient || 0, o.dpi || 0);
}

// Whether the result lies as the original does, so that the original can be
// drawn under it for the before/after split.
function keepsLayout(o) {
  return !o.rotate && !o.flip && !o.mirror && !o.noAutoOrient;
}

// The output's rows as a raw PBM: a raw PBM as it is, any other output read
// back by the library, its bits unchanged.
function rawRows(bytes) {
  if (bytes[0] === 0x50 && bytes[1] === 0x34) return bytes;
  const m = library;
  const at = m._malloc(bytes.length) >>> 0;
  if (at === 0) throw new Error("no memory to draw the preview");
  try {
    m.HEAPU8.set(bytes, at);
    const code = m._page_convert(at, bytes.length, DETECT, 1, 24, CHANNELS, -1, 0, 0, PBM);
    if (code !== OK) throw new Error("the output could not be read back: " + m.UTF8ToString(m._page_message()));
    const pbm = m._page_output() >>> 0;
    return m.HEAPU8.slice(pbm, pbm + m._page_output_size());
  } finally {
    m._page_release();
    m._free(at);
  }
}

// The result's previews, made by the library from its rows: `preview`, at
// most PREVIEW_PIXELS, and when that is shrunk, the rows themselves as bits
// ({width, height, stride, data}: rows of ceil(width / 8) bytes, 1 for
// black, first pixel in the high bit), which the page draws pixel for pixel
// a part at a time; and `fitPreview`, averaged by a whole factor to about
// the box `view` the page shows it in (device pixels), when that is at most
// half the result's size.
function resultPreview(bytes, view) {
  const m = library;
  const pbm = rawRows(bytes);
  const {width, height, at: raster} = pbmHeader(pbm);
  const size = previewSize(width, height);
  if (size.width * size.height === 0) return {preview: {width: 0, height: 0, pixels: new ArrayBuffer(0), bits: null}};
  const scale = view ? Math.min(view.width / width, view.height / height) : 1;
  const at = m._malloc(pbm.length) >>> 0;
  if (at === 0) throw new Error("no memory to draw the preview");
  try {
    m.HEAPU8.set(pbm, at);
    const preview = averaged(at + raster, width, height, size.factor);
    if (size.factor > 1) preview.bits = {width, height, stride: Math.ceil(width / 8), data: pbm.slice(raster).buffer};
    return {preview, fitPreview: scale < 0.5 ? averaged(at + raster, width, height, Math.floor(1 / scale)) : null};
  } finally {
    m._free(at);
  }
}

// Rows of bits in the module's memory at `raster` (a raw PBM's), each
// factor x factor pixels averaged into one grey RGBA pixel, so that a shrunk
// dither reads as grey rather than as noise.
function averaged(raster, width, height, factor) {
  const m = library;
  const w = Math.ceil(width / factor), h = Math.ceil(height / factor);
  const out = m._malloc(4 * w * h) >>> 0;
  try {
    if (out === 0 || m._page_preview(raster, width, height, factor, out) !== 0)
      throw new Error("no memory to draw the preview");
    return {width: w, height: h, pixels: m.HEAPU8.slice(out, out + 4 * w * h).buffer};
  } finally {
    if (out !== 0) m._free(out);
  }
}

// The preview of a black-and-white input (a PBM, `size` bytes at `at` in
// the module's memory), as the result's is made: a whole raw PBM's rows
// where they lie, any other read by the library. null when there is no
// memory for it: the browser is then asked for the original, as for any file.
function inputPreview(at, size) {
  const m = library;
  const head = pbmHeader(m.HEAPU8.subarray(at, at + size));
  const whole = m.HEAPU8[at + 1] === 0x34 && head.at + Math.ceil(head.width / 8) * head.height <= size;
  try {
    if (whole) return averaged(at + head.at, head.width, head.height, previewSize(head.width, head.height).factor);
    const {width, height, pixels} = resultPreview(m.HEAPU8.slice(at, at + size), null).preview;
    return {width, height, pixels};
  } catch (error) {
    return null;
  }
}

// Whether the library has a reader for a file beginning with head.
function libraryReads(head) {
  const m = library;
  const at = m._malloc(head.length) >>> 0;
  if (at === 0) return true;  // the library's own path reports the memory
  try {
    m.HEAPU8.set(head, at);
    return m._qpbm_detect_format(at, head.length, 0) !== 0;
  } finally {
    m._free(at);
  }
}

// The file's bytes in the module's memory, or 0 when they do not fit; the
// caller frees them.
async function copyIn(id, file) {
  const m = library;
  // Addresses past 2 GiB come back negative.
  const at = m._malloc(file.size) >>> 0;
  if (at === 0) return 0;
  for (let done = 0; done < file.size; done += CHUNK) {
    progress(id, "reading", done, file.size);
    const chunk = new Uint8Array(await file.slice(done, done + CHUNK).arrayBuffer());
    m.HEAPU8.set(chunk, at + done);
  }
  return at;
}

// A file through the library's readers (BMP, PBM, PGM, PPM, PAM).
async function fromLibrary(id, file, options) {
  const m = library;
  const size = file.size;
  const at = await copyIn(id, file);
  if (at === 0) return failure("memory", `the file (${size.toLocaleString("en")} bytes) does not fit in the page's memory`);
  try {
    progress(id, "converting", 0, 0);
    setLayout(options);
    m.onProgress = (done, total) => progress(id, "converting", done, total);
    const code = m._page_convert(at, size, DETECT, options.raw, options.bpp, options.method, options.threshold,
                                 options.window, options.invert, options.to || 0);
    m.onProgress = null;
    const result = outcome(code);
    // PGM, PPM and PAM name no direction; their options are a BMP's.
    if (result.direction === DETECT && result.format !== "") result.direction = BMP_TO_PBM;
    if (code !== OK) return result;
    // The input's pixels, when they are black and white too, while they are
    // still in memory.
    const blackAndWhite = m.UTF8ToString(m._page_format()).startsWith("PBM");
    const sameGrid = keepsLayout(options) && !options.width && !options.height;
    const before = blackAndWhite && sameGrid ? () => inputPreview(at, size) : null;
    return await finish(id, result, before, keepsLayout(options) ? file : null, options.view);
  } finally {
    m._page_release();
    m._free(at);
  }
}

// What a picture the library has no reader for is, from its first bytes;
// "" when they name no format the page knows.
function pictureFormat(head) {
  const text = (at, ascii) => Array.from(ascii).every((c, i) => head[at + i] === c.charCodeAt(0));
  if (head[0] === 0x89 && text(1, "PNG")) return "PNG";
  if (head[0] === 0xff && head[1] === 0xd8) return "JPEG";
  if (text(0, "GIF8")) return "GIF";
  if (text(0, "RIFF") && text(8, "WEBP")) return "WebP";
  if (text(4, "ftypavi")) return "AVIF";
  if (text(4, "ftypheic") || text(4, "ftypheix") || text(4, "ftypmif1")) return "HEIC";
  if (text(0, "II*\0") || text(0, "MM\0*")) return "TIFF";
  if (text(0, "<svg") || text(0, "<?xml")) return "SVG";
  return "";
}

// The size a PNG or GIF header declares, so that a picture too large is
// refused before the browser decodes it; null for other formats.
function declaredSize(format, head) {
  const view = new DataView(head.buffer, head.byteOffset, head.byteLength);
  if (format === "PNG" && head.length >= 24) return {width: view.getUint32(16), height: view.getUint32(20)};
  if (format === "GIF" && head.length >= 10) return {width: view.getUint16(6, true), height: view.getUint16(8, true)};
  return null;
}

function tooMany(width, height, decodedBy) {
  const result = failure("too-large", `${width} x ${height} is more pixels than the page decodes ` +
                                      `(${DECODE_PIXELS.toLocaleString("en")})`);
  return Object.assign(result, {width, height, decodedBy, decoded: true});
}

// The bitmap's RGBA rows copied into the module's memory, or 0 when they
// do not fit. The canvas and the script's copy are garbage once it returns.
function pixelsOf(bitmap) {
  const m = library;
  const context = new OffscreenCanvas(bitmap.width, bitmap.height).getContext("2d", {willReadFrequently: true});
  if (!context) return 0;
  context.drawImage(bitmap, 0, 0);
  const pixels = context.getImageData(0, 0, bitmap.width, bitmap.height).data;
  const at = m._malloc(pixels.length) >>> 0;
  if (at !== 0) m.HEAPU8.set(pixels, at);
  return at;
}

// The file decoded by the browser, or null when it cannot. The file's own
// samples: no colour management, alpha not multiplied in; upright by its
// EXIF orientation, as the tool and the library make it.
async function bitmapOf(file) {
  try {
    return await createImageBitmap(file,
                                   {colorSpaceConversion: "none", premultiplyAlpha: "none", imageOrientation: "from-image"});
  } catch (error) {
    return null;
  }
}

// A picture decoded by the browser, its RGBA pixels converted by the
// library; null when the browser cannot decode it either and its first
// bytes name no picture format (the library then says what it is not).
async function fromBrowser(id, file, head, options) {
  const m = library;
  const format = pictureFormat(head);
  const decodedBy = format || file.type || "a picture";
  const declared = declaredSize(format, head);
  if (declared && declared.width * declared.height > DECODE_PIXELS)
    return tooMany(declared.width, declared.height, decodedBy);
  const undecodable = () => format ? Object.assign(failure("undecodable", ""), {decodedBy, decoded: true}) : null;
  if (typeof createImageBitmap !== "function" || typeof OffscreenCanvas !== "function") return undecodable();
  progress(id, "decoding", 0, 0);
  const bitmap = await bitmapOf(file);
  if (!bitmap) return undecodable();
  let at = 0;
  try {
    const {width, height} = bitmap;
    if (width * height > DECODE_PIXELS) return tooMany(width, height, decodedBy);
    at = pixelsOf(bitmap);
    if (at === 0) {
      const bytes = (4 * width * height).toLocaleString("en");
      return failure("memory", `the picture's pixels (${bytes} bytes) do not fit in the page's memory`);
    }
    progress(id, "converting", 0, 0);
    const method = options.method === DEFAULT_METHOD ? AUTO : options.method;
    setLayout(options);
    m.onProgress = (done, total) => progress(id, "converting", done, total);
    const code = m._page_convert_pixels(at, width, height, options.raw, options.bpp, method, options.threshold,
                                        options.window, options.invert, options.to || 0);
    m.onProgress = null;
    // A picture's options are those of a BMP's.
    const result = Object.assign(outcome(code), {decodedBy, decoded: true, direction: BMP_TO_PBM});
    if (code !== OK) return result;
    return await finish(id, result, null, keepsLayout(options) ? bitmap : null, options.view);
  } finally {
    m._page_release();
    if (at !== 0) m._free(at);
    bitmap.close();
  }
}

// One file's pages into the open document: a qpbm_status, or UNREADABLE
// when the browser can no longer decode what it decoded before.
async function addPages(file, options) {
  const m = library;
  const reads = libraryReads(new Uint8Array(await file.slice(0, HEAD).arrayBuffer()));
  // A picture's default is auto, as in fromBrowser.
  const method = options.method === DEFAULT_METHOD && !reads ? AUTO : options.method;
  const bitmap = reads ? null : await bitmapOf(file);
  const at = bitmap ? pixelsOf(bitmap) : await copyIn(null, file);
  try {
    if (at === 0) return UNREADABLE;
    setLayout(options);
    const rest = [options.raw, options.bpp, method, options.threshold, options.window, options.invert];
    return bitmap ? m._page_document_add_pixels(at, bitmap.width, bitmap.height, ...rest)
                  : m._page_document_add(at, file.size, ...rest);
  } finally {
    if (at !== 0) m._free(at);
    if (bitmap) bitmap.close();
  }
}

// Every page of the files, in order, as one document: its bytes and Blob,
// or the refusal, naming the file that was refused.
async function makeDocument(id, files, to, options) {
  const m = library;
  let code = m._page_document_open(to);
  let refused = "";
  for (let i = 0; code === OK && i < files.length; ++i) {
    progress(id, "page", i, files.length);
    code = await addPages(files[i], options);
    if (code !== OK) refused = files[i].name;
  }
  if (code === OK) code = m._page_document_close();
  else m._page_document_discard();
  const result = code === UNREADABLE ? failure("refused", "the browser could not read it again") : outcome(code);
  if (refused) result.message = `${refused}: ${result.message}`;
  if (code === OK) {
    const out = m._page_output() >>> 0;
    result.blob = new Blob([m.HEAPU8.subarray(out, out + m._page_output_size())], {type: "application/octet-stream"});
  }
  m._page_release();
  return result;
}

async function convert(id, input, options) {
  const file = input.file;
  if (file.size === 0) return failure("empty", "the file is empty (0 bytes)");
  const head = new Uint8Array(await file.slice(0, HEAD).arrayBuffer());
  // BMP and netpbm files stay with the library, so that their bytes are the
  // tool's; the browser decodes the rest.
  if (!libraryReads(head)) {
    const decoded = await fromBrowser(id, file, head, options);
    if (decoded) return decoded;
  }
  return await fromLibrary(id, file, options);
}

function transfers(result) {
  const list = [];
  if (result.bytes) list.push(result.bytes);
  if (result.preview) list.push(result.preview.pixels);
  if (result.preview && result.preview.bits) list.push(result.preview.bits.data);
  if (result.fitPreview) list.push(result.fitPreview.pixels);
  if (result.previewBitmap) list.push(result.previewBitmap);
  if (result.original instanceof ImageBitmap) list.push(result.original);
  else if (result.original) list.push(result.original.pixels);
  return list;
}

self.onmessage = async (event) => {
  const message = event.data;
  // The rows' progress is told only while a file's own conversion runs.
  library.onProgress = null;
  if (message.type !== "convert" && message.type !== "document") return;
  let result;
  try {
    result = message.type === "convert" ? await convert(message.id, message.input, message.options)
                                        : await makeDocument(message.id, message.files, message.to, message.options);
  } catch (error) {
    // Out of wasm or JavaScript memory; the module may be unusable now, so
    // the page starts a new worker.
    result = failure("memory", "the page ran out of memory (" + String(error.message || error) + ")");
    result.restart = true;
  }
  const later = result.originalLater;
  delete result.originalLater;
  result.originalFollows = Boolean(later);
  self.postMessage({type: "done", id: message.id, result}, transfers(result));
  if (later) {
    const picture = await later;
    self.postMessage({type: "original", id: message.id, job: message.job, original: picture}, picture ? [picture] : []);
  }
};

QuorvelPBM().then((module) => {
  library = module;
  self.postMessage({type: "ready", version: module.UTF8ToString(module._qpbm_version())});
}, (error) => self.postMessage({type: "failed", message: String(error)}));
