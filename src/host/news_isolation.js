// Runs in every document of the news view before the site's own scripts and
// reduces the page to the one region matched by the configured selector.
// The native side replaces the placeholder below with the selector verbatim;
// a selector holding a double quote therefore breaks this script's syntax,
// and the page is then shown unmodified, which is the intended fallback.
(function () {
  "use strict";
  var selector = "%SELECTOR%";
  var hideId = "__vr_isolate_hide";
  var applied = false;

  function reveal() {
    try {
      var el = document.getElementById(hideId);
      if (el && el.parentNode) {
        el.parentNode.removeChild(el);
      }
    } catch (e) {
      // Nothing useful to do: the failsafe tries again.
    }
  }

  function isolate() {
    var target = document.querySelector(selector);
    if (!target) {
      return false;
    }
    var current = target;
    while (current.parentElement && current !== document.body) {
      var siblings = current.parentElement.children;
      for (var i = 0; i < siblings.length; i++) {
        var sibling = siblings[i];
        if (sibling === current) {
          continue;
        }
        var tag = sibling.tagName;
        // Leave the site's styles and scripts alone so the kept region
        // still looks and behaves as the site intends.
        if (tag === "SCRIPT" || tag === "STYLE" || tag === "LINK") {
          continue;
        }
        sibling.style.display = "none";
      }
      if (current !== target) {
        // The site's columns would keep the region squeezed into a width
        // meant for two; collapse every wrapper around it.
        var s = current.style;
        s.display = "block";
        s.width = "auto";
        s.maxWidth = "none";
        s.margin = "0";
        s.padding = "0";
      }
      current = current.parentElement;
    }
    return true;
  }

  function apply() {
    applied = true;
    try {
      isolate();
    } catch (e) {
      // A hostile or odd document must never leave the panel hidden.
    }
    reveal();
  }

  function watchBody() {
    var body = document.body;
    if (!body || typeof MutationObserver !== "function") {
      return;
    }
    // Banners and overlays the site adds right after loading land directly
    // in the body; deeper changes are the site's own content and stay.
    var observer = new MutationObserver(function () {
      try {
        isolate();
      } catch (e) {
        // Ignored like the first pass.
      }
    });
    observer.observe(body, { childList: true });
    setTimeout(function () {
      observer.disconnect();
    }, 5000);
  }

  // Registered before anything touches the tree: at this point even the
  // document element may be missing, and an exception here would cost the
  // whole reduction.
  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", apply);
    document.addEventListener("DOMContentLoaded", watchBody);
  } else {
    apply();
    watchBody();
  }

  function hide() {
    if (applied || document.getElementById(hideId)) {
      return true;
    }
    var parent = document.head || document.documentElement;
    if (!parent) {
      return false;
    }
    var style = document.createElement("style");
    style.id = hideId;
    style.textContent = "html{visibility:hidden!important}";
    parent.appendChild(style);
    return true;
  }
  if (!hide() && typeof MutationObserver === "function") {
    // The document has no element yet. An observer hears of the first one in
    // the microtask checkpoint right after the parser inserts it: before any
    // site script runs and before anything can be painted (a timer could
    // fire only after both).
    var early = new MutationObserver(function () {
      if (hide()) {
        early.disconnect();
      }
    });
    early.observe(document, { childList: true, subtree: true });
    setTimeout(function () {
      early.disconnect();
    }, 2500);
  }

  // Whatever happens above, the panel must not stay blank.
  setTimeout(reveal, 2500);
})();
