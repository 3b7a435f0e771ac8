#!/usr/bin/env bash
# Prints how long the test cases are against the product, and the share of
# the two against the goal of at most a third, and the size of the
# machinery the tests share (support) and the doubles they run (fakes).
#
#   test cases: tests/ without tests/fakes and tests/support (the doubles and
#               the shared machinery), plus tools/publish/tests
#   product:    src/, web/, tools/ without tools/publish/tests
#
# What counts: code files tracked by git, by extension .cpp .h .js .mjs .css
# .html .py .sh; non-blank lines only (comments count: they are part of what
# a reader has to get through). Not counted: CMake files (build
# description), resource scripts and manifests, Markdown, fixtures and
# binary assets (images, video, icons), anything untracked such as build/.
# Never fails: it reports, it does not judge.
cd "$(dirname "$0")/.." || exit 0

count() {
  git ls-files -z -- "$@" 2>/dev/null |
    grep -zE '\.(cpp|h|js|mjs|css|html|py|sh)$' |
    xargs -0 -r cat -- 2>/dev/null |
    grep -cv '^[[:space:]]*$'
}

tests=$(count tests ':!tests/fakes' ':!tests/support' tools/publish/tests)
product=$(count src web tools ':!tools/publish/tests')
support=$(count tests/support)
fakes=$(count tests/fakes)
tests=${tests:-0}
product=${product:-0}
if [ "$product" -gt 0 ]; then
  share=$(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.1f", 100 * t / p }')
else
  share="?"
fi
echo "== Line count (non-blank lines of code files) =="
echo "test cases: $tests lines; product: $product lines"
echo "support: ${support:-0} lines; fakes: ${fakes:-0} lines"
echo "tests are $share % of the product (goal: at most a third, 33.3 %)"
exit 0
