"use strict";

const app = window.SV_APP;
if (app) {
  document.getElementById("about").textContent =
    "Sandvoll " + app.version + " (build " + app.build + ")";
}
// Inside Sandvoll the page can ask the app to look for a newer release.
const checkButton = document.getElementById("check-updates");
const bridge = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.sv;
checkButton.disabled = !bridge;
checkButton.addEventListener("click", () => bridge && bridge.postMessage("checkUpdates"));

// Tell the server what the page read, so its log shows it.
fetch("/api/hello", {
  method: "POST",
  headers: { "Content-Type": "application/json" },
  body: JSON.stringify(app ? { version: app.version, build: app.build } : null),
}).catch(() => {});

// The session cookie is HttpOnly, out of the page's reach: the server says
// who is logged in.
fetch("/api/me", { cache: "no-store" }).then((r) => r.json()).then(({ name }) => {
  document.getElementById("signed-in").textContent = name ? "Logged in as " + name : "";
  document.getElementById("login").hidden = Boolean(name);
  document.getElementById("logout").hidden = !name;
}).catch(() => {});

async function refresh() {
  const list = document.getElementById("jobs");
  try {
    const state = await (await fetch("/api/state", { cache: "no-store" })).json();
    list.replaceChildren(...Object.entries(state.jobs).map(([name, job]) => row(name, job)));
  } catch (e) {
    list.replaceChildren(Object.assign(document.createElement("li"), {
      className: "muted", textContent: "The server is not answering.",
    }));
  }
}

function row(name, job) {
  const li = document.createElement("li");
  const label = Object.assign(document.createElement("span"), { className: "name", textContent: name });
  const state = Object.assign(document.createElement("span"), {
    className: "state",
    textContent: (job.running ? "running" : "stopped") + " · " + job.progress + " s",
  });
  const button = Object.assign(document.createElement("button"), {
    textContent: job.running ? "Stop" : "Start",
  });
  button.addEventListener("click", async () => {
    await fetch("/api/jobs/" + encodeURIComponent(name) + (job.running ? "/stop" : "/start"), { method: "POST" });
    refresh();
  });
  li.append(label, state, button);
  return li;
}

refresh();
setInterval(refresh, 2000);

// The key logger: every key the page receives is listed under the field and
// reported to the server (api/keys), so a person or a test can tell which
// keys reach the page before the app's menu takes them.
(() => {
  const field = document.getElementById("keys-field");
  const keep = document.getElementById("keys-keep");
  const seen = document.getElementById("keys-seen");
  const keys = [];
  // Reports may arrive out of order; the server keeps the latest by this
  // number, which keeps growing across reloads of the page. The engine may
  // give the same time to a key and the edit it makes, so each report's
  // number is above the one before.
  let seq = 0;
  const report = () => {
    seq = Math.max(seq + 0.001, performance.timeOrigin + performance.now());
    fetch("/api/keys", {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ seq, keys: keys.slice(-200), text: field.value }),
    }).catch(() => {});
  };
  addEventListener("keydown", (event) => {
    if (["Control", "Shift", "Alt", "Meta"].includes(event.key)) return;
    const key = event.key === " " ? "Space" : event.key.length === 1 ? event.key.toUpperCase() : event.key;
    const modifiers = [event.ctrlKey && "Ctrl", event.altKey && "Alt", event.shiftKey && "Shift", event.metaKey && "Meta"];
    keys.push([...modifiers.filter(Boolean), key].join("+"));
    // As a page with shortcuts of its own does (an editor, say), it can keep
    // each key for itself; the app's own commands still work.
    if (keep.checked) event.preventDefault();
    seen.textContent = "Keys the page saw: " + keys.slice(-12).join(" ");
    report();
  }, true);
  field.addEventListener("input", report);
})();
// Notes, kept in the page's local storage. An edit not yet saved makes the
// page ask before it goes (reload, quit, closing the window), as a real
// program with unsaved work does; saving lets it go freely again.
{
  const notes = document.getElementById("notes");
  const state = document.getElementById("notes-state");
  const askFirst = (event) => {
    event.preventDefault();
    event.returnValue = "";
  };
  notes.value = localStorage.getItem("sandvoll-example-notes") || "";
  notes.addEventListener("input", () => {
    addEventListener("beforeunload", askFirst);
    state.textContent = "Not saved";
  });
  document.getElementById("save-notes").addEventListener("click", () => {
    localStorage.setItem("sandvoll-example-notes", notes.value);
    removeEventListener("beforeunload", askFirst);
    state.textContent = "Saved";
  });
}
