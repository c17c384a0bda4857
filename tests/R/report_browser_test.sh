#!/usr/bin/env bash
# The post-processing reports as a browser shows them.
#
# Usage: report_browser_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR
#
# Lets quarnel write a seeded run and a seeded sweep in scratch layouts (the
# programs start the post-processing, which writes the reports), opens each
# report in headless Chromium from its file and checks the rendered page:
# its text holds the seed, the summary's numbers and the plots' file names,
# its tables fit the page with every interval on one line, and every plot is
# drawn at its size with ink and colour in a screenshot of the whole page.
# Prints "N passed, M failed" and exits non-zero on any failure; exits 77
# (skipped) when Chromium, Rscript or python3 is not installed
# (scripts/test.sh installs Chromium).
set -u

program=${1:?usage: report_browser_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR}
source_dir=${2:?usage: report_browser_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR}
seed=20261208
width=1200

for tool in chromium Rscript python3; do
  command -v $tool > /dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/report_browser_test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
source "$source_dir/tests/support/check.sh"

# browse FILE HEIGHT ARGS...: headless Chromium on FILE in a window $width
# by HEIGHT pixels, with a scratch home and profile; it runs in its own
# process group, and whatever of it is left is ended when it returns.
browse() {
  local file=$1 height=$2 pid status
  shift 2
  HOME=$scratch/home setsid -w timeout 120 chromium --headless --no-sandbox --disable-gpu \
    --hide-scrollbars --no-first-run --user-data-dir="$scratch/profile" \
    --window-size=$width,$height "$@" "file://$file" 2>> "$scratch/chromium_err" &
  pid=$!
  wait $pid
  status=$?
  kill -- -$pid 2> /dev/null
  return $status
}

# Appended to a copy of a report, it lays the page out and leaves, in a
# hidden element that --dump-dom shows: the page's height, the box of every
# plot, every table wider than the page, every interval of a table cell
# that is broken across lines, and the page's text as rendered.
probe='<script>
(function () {
  var out = ["page " + document.documentElement.scrollHeight], text = document.body.innerText;
  document.querySelectorAll("figure svg").forEach(function (s) {
    var r = s.getBoundingClientRect();
    out.push("plot " + [r.left, r.top + window.scrollY, r.width, r.height].map(Math.round).join(" "));
  });
  document.querySelectorAll(".scroll").forEach(function (d) {
    if (d.scrollWidth > d.clientWidth) out.push("wide table " + d.scrollWidth);
  });
  document.querySelectorAll("td").forEach(function (td) {
    var node = td.firstChild, at = td.textContent.indexOf("["), range = document.createRange();
    if (!node || at < 0) return;
    range.setStart(node, at);
    range.setEnd(node, node.length);
    if (range.getClientRects().length > 1) out.push("split interval " + td.textContent);
  });
  var pre = document.createElement("pre");
  pre.id = "probe";
  pre.hidden = true;
  pre.textContent = out.join("\n") + "\ntext\n" + text;
  document.body.appendChild(pre);
})();
</script>'

# Reads a PNG (8 bits per channel, RGB or RGBA, not interlaced) and prints
# its size, then for each box "x y w h" given the fractions of its pixels
# that are not white (ink) and that are coloured rather than grey.
pixels() {
  python3 - "$@" << 'EOF'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
pos, idat = 8, []
while pos < len(data):
    n, kind = struct.unpack(">I4s", data[pos:pos + 8])
    if kind == b"IHDR":
        w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", data[pos + 8:pos + 21])
        assert depth == 8 and ctype in (2, 6) and interlace == 0, "unexpected PNG format"
        bpp = 3 if ctype == 2 else 4
    elif kind == b"IDAT":
        idat.append(data[pos + 8:pos + 8 + n])
    pos += 12 + n
raw, stride = zlib.decompress(b"".join(idat)), w * bpp
rows, prev = [], bytearray(stride)
for y in range(h):
    f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    if f == 1:
        for i in range(bpp, stride): line[i] = (line[i] + line[i - bpp]) & 255
    elif f == 2:
        line = bytearray((a + b) & 255 for a, b in zip(line, prev))
    elif f == 3:
        for i in range(stride):
            line[i] = (line[i] + ((line[i - bpp] if i >= bpp else 0) + prev[i]) // 2) & 255
    elif f == 4:
        for i in range(stride):
            a, b = (line[i - bpp], prev[i]) if i >= bpp else (0, prev[i])
            c = prev[i - bpp] if i >= bpp else 0
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    rows.append(line)
    prev = line
print(w, h)
for box in sys.argv[2:]:
    x, y, bw, bh = map(int, box.split())
    ink = colour = 0
    for row in rows[max(y, 0):min(y + bh, h)]:
        for i in range(max(x, 0) * bpp, min(x + bw, w) * bpp, bpp):
            r, g, b = row[i], row[i + 1], row[i + 2]
            ink += min(r, g, b) < 235
            colour += max(r, g, b) - min(r, g, b) > 40
    print(ink / (bw * bh), colour / (bw * bh))
EOF
}

# check_report REPORT PLOTS LABEL LINE...: REPORT, opened in Chromium, has
# PLOTS plots, its tables fit the page with every interval on one line, and
# every LINE starts a line of its rendered text (table cells are separated
# by tabs); each plot is at least 600 by 400 pixels, and in a screenshot of
# the whole page has more ink (6 %) and colour (0.1 %) than its frame,
# titles and legend alone give, while the margin beside the first plot is
# blank.
check_report() {
  local report=$1 plots=$2 label=$3 dir=$scratch/$3
  shift 3
  mkdir -p "$dir"
  { cat "$report"; echo "$probe"; } > "$dir/probe.html"
  browse "$dir/probe.html" 2000 --dump-dom > "$dir/dom.html"
  check "$label: Chromium renders the page" grep -q '<pre id="probe"' "$dir/dom.html"
  sed -n '/<pre id="probe"/,/<\/pre>/p' "$dir/dom.html" |
    sed 's/^.*<pre id="probe"[^>]*>//; s/<\/pre>.*$//; s/&nbsp;/ /g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g' \
    > "$dir/probe"
  local line missing=""
  for line in "$@"; do
    want=$line awk 'index($0, ENVIRON["want"]) == 1 { found = 1 } END { exit !found }' \
      <(sed -n '/^text$/,$p' "$dir/probe") || missing="$missing [$line]"
  done
  check "$label: the rendered text holds the seed and the summary's numbers" [ -z "$missing" ]
  [ -z "$missing" ] || echo "        missing:$missing"
  check "$label: no table is wider than the page, no interval broken across lines" bash -c \
    'grep -q "^page " "$1" && ! grep -m 3 "^wide table\|^split interval" "$1"' _ "$dir/probe"
  mapfile -t boxes < <(sed -n 's/^plot //p' "$dir/probe")
  check "$label: $plots plots, each at least 600 by 400 pixels" bash -c \
    '[ $(($# - 1)) = "$1" ] && shift && for b in "$@"; do
       set -- $b; [ "$3" -ge 600 ] && [ "$4" -ge 400 ] || exit 1; done' _ "$plots" "${boxes[@]}"
  local height
  height=$(sed -n 's/^page //p' "$dir/probe")
  browse "$report" "${height:-2000}" --screenshot="$dir/page.png" > /dev/null
  set -- "${boxes[@]}"
  # The blank margin right of the first plot tells that ink is measured.
  [ $# -gt 0 ] && set -- "$@" "$(awk '{ print $1 + $3 + 10, $2, 100, $4 }' <<< "$1")"
  pixels "$dir/page.png" "$@" > "$dir/pixels" 2>> "$dir/pixels"
  check "$label: the screenshot is of the whole page" \
    [ "$(head -1 "$dir/pixels")" = "$width $height" ]
  check "$label: every plot is drawn, with ink and colour" inked "$dir/pixels" $#
}

# inked PIXELS N: the N - 1 plots of the output of pixels have ink and
# colour, the margin after them has none; else the fractions are shown.
inked() {
  awk -v n="$2" '
    NR > 1 && NR < n + 1 && !($1 >= 0.06 && $2 >= 0.001) { bad = 1 }
    NR == n + 1 && !($1 == 0 && $2 == 0) { bad = 1 }
    END { exit bad || NR != n + 1 }' "$1" || { sed 's/^/        /' "$1"; return 1; }
}

# --- a run of 24 rows: a summary, a binned and a sensitivity table, 4 plots
run=$scratch/run
make_layout "$run"
(cd "$run/executables" && "$program" -n 24 -s $seed > "$run/out" 2> "$run/err")
check "quarnel -n 24 -s $seed exits 0 and writes its report" [ $? = 0 -a -s "$run/results/inequality_report.html" ]
# The summary's rows as the report shows them: column, count, mean and its
# interval, standard error and sd, to four digits; the plots' files.
mapfile -t lines < <(awk -F, 'NR > 1 { printf "%s\t%s\t%.4g [%.4g, %.4g]\t%.4g\t%.4g\t\n",
  $1, $2, $3, $11, $12, $10, $4 }' "$run/results/inequality_summary.csv")
check_report "$run/results/inequality_report.html" 4 run "seed	$seed" "${lines[@]}" \
  inequality_gini.png inequality_top_share.png inequality_pay_gini_vs_exponent.png \
  inequality_sensitivity.png

# --- a sweep of 4 points over two settings: one plot per setting ---------
sweep=$scratch/sweep
make_layout "$sweep"
(cd "$sweep/executables" && "$program" -n 6 -s $seed -o grid.csv --set firms=3000 \
   --sweep alpha=2,3.5 --sweep exponent=0.3,table > "$sweep/out" 2> "$sweep/err")
check "the sweep exits 0 and writes its report" [ $? = 0 -a -s "$sweep/results/grid.sweep_report.html" ]
# Each point's settings, rows and median Gini of power; the plots' files.
mapfile -t lines < <(awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) c[$i] = i }
  NR > 1 { printf "%s\t%s\t%s\t%s\t%s\t%.4g [\n", $1, $2, $3, $4, $5, $c["gini_power_median"] }' \
  "$sweep/results/grid.sweep_summary.csv")
check_report "$sweep/results/grid.sweep_report.html" 2 sweep "seed	$seed" "${lines[@]}" \
  grid.sweep_alpha.png grid.sweep_exponent.png

check_summary
