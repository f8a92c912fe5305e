// "Download all": a ZIP of the results, each deflated by the browser's own
// CompressionStream("deflate-raw") as a stream, so that only the compressed
// parts are held beside the results. Names are UTF-8; each entry carries its
// date in local time (DOS fields) and in UTC (the extended timestamp field).
"use strict";

window.quorvelpbmZip = (function () {
  const encoder = new TextEncoder();

  function dosTime(date) {
    return (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1);
  }

  function dosDate(date) {
    const year = Math.min(Math.max(date.getFullYear(), 1980), 2107);
    return ((year - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate();
  }

  // The extended timestamp field: the modification time in UTC seconds.
  function timestamp(date) {
    const field = new DataView(new ArrayBuffer(9));
    field.setUint16(0, 0x5455, true);
    field.setUint16(2, 5, true);
    field.setUint8(4, 1);
    field.setUint32(5, Math.max(0, Math.floor(date.getTime() / 1000)), true);
    return field;
  }

  async function deflate(blob) {
    return new Response(blob.stream().pipeThrough(new CompressionStream("deflate-raw"))).blob();
  }

  // files: [{name, blob, crc, date}], crc the CRC-32 of the blob's bytes.
  // Resolves to a Blob of the archive. Sizes and offsets must fit in 32 bits
  // (no ZIP64): a larger set is refused with an Error.
  async function zip(files, onProgress) {
    const parts = [];
    const central = [];
    let offset = 0;
    for (let i = 0; i < files.length; ++i) {
      const file = files[i];
      if (onProgress) onProgress(i, files.length);
      const name = encoder.encode(file.name);
      const data = await deflate(file.blob);
      const extra = timestamp(file.date);
      if (file.blob.size > 0xfffffffe || offset + data.size > 0xfffffffe)
        throw new Error("the results are over 4 GB, more than a ZIP without extensions holds");
      const time = dosTime(file.date);
      const day = dosDate(file.date);
      const local = new DataView(new ArrayBuffer(30));
      local.setUint32(0, 0x04034b50, true);
      local.setUint16(4, 20, true);
      local.setUint16(6, 0x0800, true);  // UTF-8 names
      local.setUint16(8, 8, true);       // deflated
      local.setUint16(10, time, true);
      local.setUint16(12, day, true);
      local.setUint32(14, file.crc, true);
      local.setUint32(18, data.size, true);
      local.setUint32(22, file.blob.size, true);
      local.setUint16(26, name.length, true);
      local.setUint16(28, extra.byteLength, true);
      parts.push(local, name, extra, data);
      const entry = new DataView(new ArrayBuffer(46));
      entry.setUint32(0, 0x02014b50, true);
      entry.setUint16(4, (3 << 8) | 20, true);  // made on Unix, so that the attributes below count
      entry.setUint16(6, 20, true);
      entry.setUint16(8, 0x0800, true);
      entry.setUint16(10, 8, true);
      entry.setUint16(12, time, true);
      entry.setUint16(14, day, true);
      entry.setUint32(16, file.crc, true);
      entry.setUint32(20, data.size, true);
      entry.setUint32(24, file.blob.size, true);
      entry.setUint16(28, name.length, true);
      entry.setUint16(30, extra.byteLength, true);
      entry.setUint32(38, 0o100644 * 0x10000, true);  // a regular file, rw-r--r--
      entry.setUint32(42, offset, true);
      central.push(entry, name, extra);
      offset += 30 + name.length + extra.byteLength + data.size;
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

  return {zip};
})();
