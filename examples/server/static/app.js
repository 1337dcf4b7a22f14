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
