// The plug-in manager's page: uploads with a progress bar, removals, and a listing that is
// fetched again after every action, whether it worked or not. Every request that changes the
// store carries the page's anti-forgery token in a header (never in the URL).
(function () {
  "use strict";
  var root = document.body.dataset.root || "";
  var token = document.querySelector('meta[name="csrf-token"]').content;
  var status = document.getElementById("status");
  var form = document.getElementById("upload-form");
  var kindSelect = document.getElementById("kind");
  var fileInput = document.getElementById("file");
  var button = document.getElementById("upload-button");
  var progress = document.getElementById("progress");
  var bar = document.getElementById("progress-bar");
  var barText = document.getElementById("progress-text");
  var maxBytes = parseInt(form.dataset.maxBytes, 10) || 0;

  function show(text, ok) {
    status.textContent = text;
    status.className = ok ? "ok" : "error";
    status.hidden = false;
  }

  function sizeText(bytes) {
    var units = [["GiB", 1 << 30], ["MiB", 1 << 20], ["KiB", 1 << 10]];
    for (var i = 0; i < units.length; i++) {
      if (bytes >= units[i][1]) {
        return (bytes / units[i][1]).toFixed(1).replace(/\.0$/, "") + " " + units[i][0];
      }
    }
    return bytes + " bytes";
  }

  // The reason a JSON error answer gives, or the HTTP status line.
  function reason(status, statusText, body) {
    try { return JSON.parse(body).error || status + " " + statusText; } catch (e) { /* not JSON */ }
    return status + " " + statusText;
  }

  // Replaces the listing with the server's current one. A failed action may still have
  // changed the store (or someone else did), so this runs after every action.
  function refreshListing() {
    return fetch(window.location.pathname, { credentials: "same-origin",
                                             headers: { "Accept": "text/html" } })
      .then(function (response) {
        if (!response.ok) { throw new Error(response.status + " " + response.statusText); }
        return response.text();
      })
      .then(function (html) {
        var fresh = new DOMParser().parseFromString(html, "text/html");
        var area = fresh.getElementById("listing-area");
        // No listing in the answer: the session ended and the sign-in page came instead.
        if (!area) { throw new Error("you are signed out"); }
        document.getElementById("listing-area").replaceWith(area);
      })
      .catch(function (error) {
        show(status.textContent + "\nThe listing could not be refreshed: " + error.message +
             "; reload the page.", false);
      });
  }

  function suffixOfKind() {
    return kindSelect.options[kindSelect.selectedIndex].dataset.suffix;
  }
  kindSelect.addEventListener("change", function () { fileInput.accept = suffixOfKind(); });
  fileInput.accept = suffixOfKind();

  function showProgress(sent, total) {
    progress.hidden = false;
    bar.max = total || 1;
    bar.value = sent;
    barText.textContent = sizeText(sent) + " of " + sizeText(total) +
      (total ? " (" + Math.floor(100 * sent / total) + "%)" : "");
  }

  form.addEventListener("submit", function (event) {
    event.preventDefault();
    var file = fileInput.files[0];
    var kind = kindSelect.value;
    if (!file) { show("Choose a file to upload.", false); return; }
    if (maxBytes && file.size > maxBytes) {
      show("Upload of " + file.name + " refused before sending: it is " + sizeText(file.size) +
           ", over the limit of " + sizeText(maxBytes) + ".", false);
      refreshListing();
      return;
    }
    button.disabled = true;
    button.textContent = "Uploading…";
    showProgress(0, file.size);
    var xhr = new XMLHttpRequest();
    xhr.open("POST", form.action);
    xhr.setRequestHeader("X-CSRF-Token", token);
    xhr.setRequestHeader("Accept", "application/json");
    xhr.upload.addEventListener("progress", function (e) {
      showProgress(e.loaded, e.lengthComputable ? e.total : file.size);
    });
    function done(ok, text) {
      show(text, ok);
      button.disabled = false;
      button.textContent = "Upload";
      progress.hidden = true;
      if (ok) { form.reset(); kindSelect.value = kind; fileInput.accept = suffixOfKind(); }
      refreshListing();
    }
    xhr.addEventListener("load", function () {
      if (xhr.status === 200) {
        done(true, "Uploaded " + file.name + (kind === "plugin" ? " and installed it." : "."));
      } else {
        done(false, "Upload of " + file.name + " failed: " +
             reason(xhr.status, xhr.statusText, xhr.responseText));
      }
    });
    xhr.addEventListener("error", function () {
      done(false, "Upload of " + file.name + " failed: the connection broke off.");
    });
    xhr.send(new FormData(form));
  });

  // Delegated, so buttons of a refreshed listing work too. The server gives each entry its
  // URL part (data-path: the name's bytes, percent-encoded), so every listed name is reachable.
  function act(btn, method, url, question, done, failed) {
    var name = btn.dataset.name;
    if (!window.confirm(question)) { return; }
    btn.disabled = true;
    fetch(url, { method: method, credentials: "same-origin",
                 headers: { "X-CSRF-Token": token, "Accept": "application/json" } })
      .then(function (response) {
        return response.text().then(function (body) {
          if (response.ok) { show(done, true); }
          else { show(failed + reason(response.status, response.statusText, body), false); }
        });
      }, function (error) { show(failed + error.message, false); })
      .then(refreshListing);
  }

  document.addEventListener("click", function (event) {
    var btn = event.target.closest("button.remove, button.rollback");
    if (!btn) { return; }
    var name = btn.dataset.name;
    var part = btn.dataset.path || encodeURIComponent(name);
    if (btn.classList.contains("rollback")) {
      act(btn, "POST", root + "/rollback/plugin/" + part,
          "Roll " + name + " back to its previous version?",
          "Rolled " + name + " back.", "Could not roll back " + name + ": ");
      return;
    }
    act(btn, "GET", root + "/remove/" + encodeURIComponent(btn.dataset.kind) + "/" + part,
        "Remove " + name + "? This deletes it from the server.",
        "Removed " + name + ".", "Could not remove " + name + ": ");
  });
})();
