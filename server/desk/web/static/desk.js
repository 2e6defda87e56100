// The desk's one script: times in the reader's zone, the module filter box.
// The pages work without it.
"use strict";

(function () {
  function pad(n) {
    return (n < 10 ? "0" : "") + n;
  }

  // <time datetime="…Z"> to the reader's local time, unless the server
  // fixed a zone for the page.
  function localTimes() {
    if (document.documentElement.hasAttribute("data-zone")) return;
    var times = document.querySelectorAll("time[datetime]");
    for (var i = 0; i < times.length; i++) {
      var t = times[i];
      var d = new Date(t.getAttribute("datetime"));
      if (isNaN(d.getTime())) continue;
      var minutes = -d.getTimezoneOffset();
      var sign = minutes < 0 ? "-" : "+";
      minutes = Math.abs(minutes);
      t.title = t.textContent;
      t.textContent =
        d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + " " +
        pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds()) + " " +
        sign + pad(Math.floor(minutes / 60)) + ":" + pad(minutes % 60);
    }
  }

  // The filter box over the module inventory: hides files and directories
  // whose path does not hold the typed text, opens those that do.
  function moduleFilter() {
    var box = document.getElementById("module-filter");
    if (!box) return;
    var groups = document.querySelectorAll("details.directory");
    function apply() {
      var needle = box.value.trim().toLowerCase();
      for (var g = 0; g < groups.length; g++) {
        var group = groups[g];
        var dir = group.querySelector("summary .path");
        var dirText = dir ? dir.textContent.toLowerCase() : "";
        var dirMatches = needle !== "" && dirText.indexOf(needle) >= 0;
        var items = group.querySelectorAll("li");
        var shown = 0;
        for (var i = 0; i < items.length; i++) {
          var match = needle === "" || dirMatches || items[i].textContent.toLowerCase().indexOf(needle) >= 0;
          items[i].classList.toggle("hidden", !match);
          if (match) shown++;
        }
        group.classList.toggle("hidden", shown === 0);
        if (needle !== "") group.open = shown > 0;
      }
    }
    box.addEventListener("input", apply);
    apply();
  }

  function start() {
    localTimes();
    moduleFilter();
  }
  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
