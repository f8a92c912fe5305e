// The options form: its values, checked as the tool checks its options with
// a message beside each bad field; the fields that apply to the method and
// the output enabled; and the key of the options that make a file's result.
// app.js keeps which options each card is converted with.
"use strict";

window.quorvelpbmForm = (function () {
  const BMP_TO_PBM = 1;
  const PBM_TO_BMP = 2;
  const CHANNELS = 0;
  const LUMA = 1;
  const SAUVOLA = 6;
  // qpbm_format: AS_TOOL (0) is the other format than the input's.
  const AS_TOOL = 0;
  const PBM = 1;
  const BMP = 2;
  const $ = (id) => document.getElementById(id);

  const FIELD_MESSAGES = {threshold: "threshold-error", window: "window-error", width: "size-error",
                          height: "size-error", dpi: "dpi-error"};
  const MOST_SIDE = 2147483647;
  const MOST_DPI = 1000000;

  // The options as the library takes them, and a message for each bad field.
  function readOptions() {
    const method = Number($("method").value);
    const read = {
      method, threshold: -1, window: 0,
      invert: $("invert").checked ? 1 : 0, raw: $("raw").checked ? 1 : 0, bpp: Number($("bpp").value),
      to: Number($("to").value),
      width: 0, height: 0, fit: $("fit").checked ? 1 : 0, rotate: Number($("rotate").value),
      flip: $("flip").checked ? 1 : 0, mirror: $("mirror").checked ? 1 : 0,
      noAutoOrient: $("upright").checked ? 0 : 1, dpi: 0,
    };
    const errors = {};
    const threshold = $("threshold").value.trim();
    if ((method === CHANNELS || method === LUMA) && (threshold !== "" || $("threshold").validity.badInput)) {
      const most = method === CHANNELS ? 255 : 256;
      const value = Number(threshold);
      if (threshold === "" || !Number.isInteger(value) || value < 0 || value > most)
        errors.threshold = `The threshold is a whole number from 0 to ${most}.`;
      else read.threshold = value;
    }
    const window = $("window").value.trim();
    if (method === SAUVOLA && (window !== "" || $("window").validity.badInput)) {
      const value = Number(window);
      if (window === "" || !Number.isInteger(value) || value < 3 || value > 255 || value % 2 === 0)
        errors.window = "The window is an odd number from 3 to 255.";
      else read.window = value;
    }
    // A whole number from 1 to most, or empty for none.
    const whole = (id, most, message) => {
      const text = $(id).value.trim();
      if (text === "" && !$(id).validity.badInput) return 0;
      const value = Number(text);
      if (text === "" || !Number.isInteger(value) || value < 1 || value > most) errors[id] = message;
      return errors[id] ? 0 : value;
    };
    read.width = whole("width", MOST_SIDE, "The width and height are whole numbers of pixels, 1 or more.");
    read.height = whole("height", MOST_SIDE, "The width and height are whole numbers of pixels, 1 or more.");
    if (read.fit && !errors.width && !errors.height && (read.width === 0 || read.height === 0))
      errors.width = "Fitting inside a box needs both a width and a height.";
    read.dpi = whole("dpi", MOST_DPI, `The resolution is a whole number of dots per inch, 1 to ${MOST_DPI}.`);
    return {options: read, errors};
  }

  // The form's fields as they stand, and back.
  function formValues() {
    return Array.from($("options").elements).filter((f) => f.id && f.type !== "button")
                .map((f) => [f.id, f.type === "checkbox" ? f.checked : f.value]);
  }
  function setForm(values) {
    for (const [id, value] of values) {
      if ($(id).type === "checkbox") $(id).checked = value;
      else $(id).value = value;
    }
    updateFields();
    markFields(readOptions().errors);
  }

  function markFields(errors) {
    const messages = {};
    for (const [field, messageId] of Object.entries(FIELD_MESSAGES)) {
      const input = $(field);
      const message = errors[field] || "";
      // Two fields may share one message (width and height).
      messages[messageId] = messages[messageId] || message;
      if (message) input.setAttribute("aria-invalid", "true");
      else input.removeAttribute("aria-invalid");
    }
    for (const [messageId, message] of Object.entries(messages)) $(messageId).textContent = message;
  }

  // Only the fields that apply to the method are enabled.
  function updateFields() {
    const method = Number($("method").value);
    const threshold = $("threshold");
    threshold.disabled = !(method === CHANNELS || method === LUMA);
    threshold.max = method === CHANNELS ? "255" : "256";
    threshold.placeholder = method === LUMA ? "128" : "100";
    $("window").disabled = method !== SAUVOLA;
    const to = Number($("to").value);
    $("raw").disabled = to !== PBM && to !== AS_TOOL;
    $("bpp").disabled = to !== BMP && to !== AS_TOOL;
  }

  // The options that matter for a file of this direction, as a key: a new
  // key means a new result.
  function keyFor(direction, o) {
    // The output's own options: raw for a PBM, bits per pixel for a BMP.
    const writes = o.to !== AS_TOOL ? o.to : direction === BMP_TO_PBM ? PBM : BMP;
    const output = `${o.to}/${writes === PBM ? o.raw : ""}/${writes === BMP ? o.bpp : ""}/` +
                   `${o.width}x${o.height}/${o.fit}/${o.rotate}/${o.flip}/${o.mirror}/${o.noAutoOrient}/${o.dpi}`;
    if (direction === BMP_TO_PBM) return `b${o.method}/${o.threshold}/${o.window}/${o.invert}/${output}`;
    if (direction === PBM_TO_BMP) return `p${o.to === AS_TOOL ? "" : o.invert}/${output}`;
    return "any";  // the direction was not known: nothing to redo
  }

  return {readOptions, formValues, setForm, markFields, updateFields, keyFor};
})();
