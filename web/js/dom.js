// Small DOM and number helpers shared by the page's modules. Writes skip
// unchanged values, since progress redraws the same nodes every frame.

export function $(id) { return document.getElementById(id); }

export function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}

export function setHidden(node, hidden) {
  if (node.hidden !== hidden) node.hidden = hidden;
}

export function num(v, fallback) {
  var n = Number(v);
  return isFinite(n) ? n : fallback;
}

export function fixed(v, digits) {
  return num(v, 0).toFixed(digits);
}
