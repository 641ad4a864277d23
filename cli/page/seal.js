
// Seals one WiFi network for the fleet, in this browser, into the envelope the zezi-vidad
// tool writes (format.md in the zezi-vidad package): P-256 ECDH with a fresh key, HKDF-SHA256,
// AES-256-GCM. Nothing is sent anywhere; the page's policy forbids every request.
"use strict";
(() => {
  const FORMAT = "tolvane-wifi-drive/v1";
  const MAX_SSID_OCTETS = 32;
  const SALT_OCTETS = 16;
  const NONCE_OCTETS = 12;
  const encoder = new TextEncoder();
  const domain = encoder.encode(FORMAT);
  const byId = (id) => document.getElementById(id);
  const form = byId("seal-form");
  const ssidInput = byId("ssid");
  const secretInput = byId("secret");
  const sealButton = byId("seal");
  const status = byId("status");
  const result = byId("result");
  const download = byId("download");
  let fleetPoint = null;
  let downloadUrl = null;

  const hexOf = (octets) => Array.from(octets, (o) => o.toString(16).padStart(2, "0")).join("");
  const octetsOfHex = (hex) => Uint8Array.from(hex.match(/../g) || [], (pair) => parseInt(pair, 16));
  const joined = (...parts) => {
    const all = new Uint8Array(parts.reduce((size, part) => size + part.length, 0));
    parts.reduce((offset, part) => (all.set(part, offset), offset + part.length), 0);
    return all;
  };
  // RFC 4648 Base64 with its fill: the canonical text the device's reader requires.
  const base64Of = (octets) => btoa(Array.from(octets, (o) => String.fromCharCode(o)).join(""));

  // The SSID's octets as the payload's JSON string holds them: `"` and `\` escaped, the
  // controls as \t \n \r or \u00xx, every other octet as it is.
  function escapedSsid(octets) {
    const named = { 0x09: "\\t", 0x0a: "\\n", 0x0d: "\\r", 0x22: "\\\"", 0x5c: "\\\\" };
    const out = [];
    for (const octet of octets) {
      if (named[octet] !== undefined) {
        out.push(...encoder.encode(named[octet]));
      } else if (octet < 0x20) {
        out.push(...encoder.encode("\\u00" + octet.toString(16).padStart(2, "0")));
      } else {
        out.push(octet);
      }
    }
    return Uint8Array.from(out);
  }

  // {"networks":[{"ssid":"...","psk":"..."}]} as octets.
  const payloadOf = (ssidOctets, psk) => joined(encoder.encode('{"networks":[{"ssid":"'),
    escapedSsid(ssidOctets), encoder.encode('","psk":"' + psk + '"}]}'));

  // What the password field holds: a PSK (64 hex digits), a passphrase, or why it is neither.
  function readSecret(text) {
    if (/^[0-9a-fA-F]{64}$/.test(text)) {
      return { psk: text.toLowerCase() };
    }
    if (text === "") {
      return { error: "Enter the WiFi password." };
    }
    if (/[^\x20-\x7e]/.test(text)) {
      return { error: "A WiFi passphrase holds only letters A to Z, digits, spaces and the " +
        "punctuation of a plain keyboard: no accented letters, emoji or other characters." };
    }
    if (text.length === 64) {
      return { error: "A password of 64 characters is a key of hex digits (0 to 9, a to f); " +
        "this one has other characters. A passphrase has at most 63." };
    }
    if (text.length < 8 || text.length > 63) {
      return { error: `A WiFi passphrase has 8 to 63 characters; this one has ${text.length}.` };
    }
    return { passphrase: text };
  }

  function ssidError(octets) {
    if (octets.length === 0) {
      return "Enter the network name.";
    }
    if (octets.length > MAX_SSID_OCTETS) {
      return `A network name holds at most ${MAX_SSID_OCTETS} bytes; this one takes ` +
        `${octets.length} (letters outside A to Z can take 2 to 4 bytes each).`;
    }
    return "";
  }

  // WPA's PSK: PBKDF2-HMAC-SHA1(passphrase, salt = SSID, 4096 iterations, 32 octets), in hex.
  async function pskOfPassphrase(passphrase, ssidOctets) {
    const key = await crypto.subtle.importKey("raw", encoder.encode(passphrase), "PBKDF2", false,
      ["deriveBits"]);
    const bits = await crypto.subtle.deriveBits(
      { name: "PBKDF2", hash: "SHA-1", salt: ssidOctets, iterations: 4096 }, key, 256);
    return hexOf(new Uint8Array(bits));
  }

  async function sealedEnvelope(payload) {
    const subtle = crypto.subtle;
    const curve = { name: "ECDH", namedCurve: "P-256" };
    const fleetKey = await subtle.importKey("raw", fleetPoint, curve, false, []);
    const ephemeral = await subtle.generateKey(curve, false, ["deriveBits"]);
    const ephemeralPoint = new Uint8Array(await subtle.exportKey("raw", ephemeral.publicKey));
    // shared = X coordinate of (ephemeral scalar · fleet point)
    const shared = await subtle.deriveBits({ name: "ECDH", public: fleetKey },
      ephemeral.privateKey, 256);
    const salt = crypto.getRandomValues(new Uint8Array(SALT_OCTETS));
    const nonce = crypto.getRandomValues(new Uint8Array(NONCE_OCTETS));
    // key = HKDF-SHA256(shared, salt, info = domain || ephemeral point || fleet point)
    const secret = await subtle.importKey("raw", shared, "HKDF", false, ["deriveKey"]);
    const key = await subtle.deriveKey(
      { name: "HKDF", hash: "SHA-256", salt, info: joined(domain, ephemeralPoint, fleetPoint) },
      secret, { name: "AES-GCM", length: 256 }, false, ["encrypt"]);
    new Uint8Array(shared).fill(0);
    // sealed = AES-256-GCM(key, nonce, additional data = domain, payload) || tag
    const sealed = new Uint8Array(await subtle.encrypt(
      { name: "AES-GCM", iv: nonce, additionalData: domain, tagLength: 128 }, key, payload));
    return "{\n" +
      `  "format": "${FORMAT}",\n` +
      `  "eph_pub": "${base64Of(ephemeralPoint)}",\n` +
      `  "salt": "${base64Of(salt)}",\n` +
      `  "nonce": "${base64Of(nonce)}",\n` +
      `  "sealed": "${base64Of(sealed)}"\n` +
      "}\n";
  }

  // A message beside its field, announced, and the field marked; "" clears both.
  function showFieldError(input, message) {
    byId(input.id + "-error").textContent = message;
    if (message) {
      input.setAttribute("aria-invalid", "true");
    } else {
      input.removeAttribute("aria-invalid");
    }
  }

  function refusePage(message) {
    const error = byId("page-error");
    error.textContent = message;
    error.hidden = false;
    sealButton.disabled = true;
  }

  function forgetEnvelope() {
    result.hidden = true;
    download.removeAttribute("href");
    if (downloadUrl) {
      URL.revokeObjectURL(downloadUrl);
      downloadUrl = null;
    }
  }

  function offerEnvelope(envelope, ssidText, fromPassphrase) {
    downloadUrl = URL.createObjectURL(new Blob([envelope], { type: "application/json" }));
    download.href = downloadUrl;
    byId("result-summary").textContent = `Sealed the network "${ssidText}" with ` +
      (fromPassphrase ? "its passphrase, turned into the network's key."
        : "its key of 64 hex digits.") +
      " Only your devices can open the file; nobody else can read the password from it.";
    result.hidden = false;
    status.textContent = "";
    byId("result-heading").focus();  // read out by screen readers, and Tab reaches the link
  }

  async function onSeal(event) {
    // The form is never sent: a browser that did would put the password in an address.
    event.preventDefault();
    if (!fleetPoint) {
      return;
    }
    forgetEnvelope();
    status.textContent = "";
    const ssidOctets = encoder.encode(ssidInput.value);
    const secret = readSecret(secretInput.value);
    showFieldError(ssidInput, ssidError(ssidOctets));
    showFieldError(secretInput, secret.error || "");
    const invalid = form.querySelector("[aria-invalid=true]");
    if (invalid) {
      invalid.focus();
      return;
    }
    sealButton.disabled = true;
    status.textContent = "Sealing…";
    let payload = null;
    try {
      const psk = secret.psk || await pskOfPassphrase(secret.passphrase, ssidOctets);
      payload = payloadOf(ssidOctets, psk);
      const envelope = await sealedEnvelope(payload);
      secretInput.value = "";
      offerEnvelope(envelope, ssidInput.value, Boolean(secret.passphrase));
    } catch (failure) {
      status.textContent = "This browser could not seal the network, so no file was made. " +
        "Try a current Chrome, Edge, Firefox or Safari.";
    } finally {
      if (payload) {
        payload.fill(0);
      }
      sealButton.disabled = false;
    }
  }

  // The fleet key is checked against the fleet id shown before anything can be sealed.
  async function start() {
    if (!window.isSecureContext || !window.crypto || !crypto.subtle) {
      refusePage("This browser cannot seal here: it offers no Web Cryptography on this page. " +
        "Open the page in a current browser, from a file on this computer or from an https:// " +
        "address.");
      return;
    }
    const keyHex = byId("page").dataset.fleetKey;
    try {
      if (!/^[0-9a-f]{128}$/.test(keyHex)) {
        throw new Error("no fleet key");
      }
      const point = joined(Uint8Array.of(4), octetsOfHex(keyHex));
      const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", point));
      await crypto.subtle.importKey("raw", point, { name: "ECDH", namedCurve: "P-256" }, false, []);
      if (hexOf(digest) !== byId("fleet-id").textContent) {
        throw new Error("fleet id differs");
      }
      fleetPoint = point;
    } catch (failure) {
      refusePage("This page is damaged: its fleet key does not match its fleet id. " +
        "Ask your operator for the page again.");
      return;
    }
    byId("show-secret").addEventListener("change", (event) => {
      secretInput.type = event.target.checked ? "text" : "password";
    });
  }

  form.addEventListener("submit", onSeal);
  start();
})();
