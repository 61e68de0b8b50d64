#!/usr/bin/env bash
# Takes the README's screenshots from the real window under Xvfb:
#   docs/screenshot-files.png     the file list over the sample books;
#   docs/screenshot-settings.png  the settings tab;
#   docs/screenshot-running.png   the settings tab during a run, its folder settings disabled;
#   docs/screenshot-summary.png   the summary dialog after a run over the sample books.
# The window stands at the screen's corner without a window manager, so the clicks below hit fixed
# points of its 1000x800 layout.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$here/build"
bash "$here/scripts/setup.sh" "$build"

need=()
command -v xvfb-run >/dev/null || need+=(xvfb xauth)
command -v import >/dev/null || need+=(imagemagick)
command -v xdotool >/dev/null || need+=(xdotool)
if ((${#need[@]})); then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi

# A fixed folder, so that the paths the window shows are the same at every taking.
work=${TMPDIR:-/tmp}/shelvio-screenshots
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
home=$work/reader
mkdir -p "$home" "$work/state" "$work/runtime"
chmod 0700 "$work/runtime"

# Points of the window's layout.
home_node="165 149"   # "Домашняя папка" in the folder tree
ok_button="54 778"
settings_tab="115 80"

# shot NAME PAGE SCRIPT: starts a copy of the program (it keeps setting.ini beside itself) on the
# given tab, lets SCRIPT click and shoot (it sees $app, $out and click), then ends the program.
shot() {
  local name=$1 page=$2 script=$3
  local app="$work/app-$name"
  mkdir -p "$app"
  cp "$build/app/shelvio" "$app/"
  cp -r "$build/app/fls" "$app/"
  cat >"$app/setting.ini" <<INI
[FORM]
WinState=1
Width=1000
Height=800
Left=0
Top=0
[USER]
BadFileDir=$home/Книги/bad/
EndDir=$home/Книги/end/
DoubleDir=$home/Книги/double/
Archive=1
ActivePage=$page
INI
  (cd "$home" && HOME=$home XDG_STATE_HOME=$work/state XDG_RUNTIME_DIR=$work/runtime \
    xvfb-run -a -s "-screen 0 1000x800x24" bash -c "
      click() { xdotool mousemove \$1 \$2 click 1; }
      app='$app' out='$here/docs/screenshot-$name.png'
      '$app/shelvio' & pid=\$!
      sleep 4
      $script
      kill \$pid 2>/dev/null; wait \$pid 2>/dev/null || true")
}

books() {  # copies of the sample books in the home folder: COPIES
  rm -rf "$home"/*.fb2 "$home"/*.FB2 "$home/Книги"
  local i
  for ((i = 0; i < $1; i++)); do
    for book in "$here"/samples/books/*; do
      local base
      base=$(basename "$book")
      if [ "$1" = 1 ]; then cp "$book" "$home/$base"; else cp "$book" "$home/$i-$base"; fi
    done
  done
}

mkdir -p "$here/docs"
books 1
shot files 0 "click $home_node; sleep 1; import -window root \"\$out\""
shot settings 1 "import -window root \"\$out\""
# A run over seven hundred books takes long enough to switch tabs and shoot while it goes.
books 100
shot running 0 "click $home_node; sleep 1; click $ok_button; sleep 0.3; click $settings_tab; sleep 0.5
  import -window root \"\$out\""
books 1
# Only the dialog, which stands over the middle of the window.
shot summary 0 "click $home_node; sleep 1; click $ok_button; sleep 3
  import -window root -crop 900x520+40+100 +repage \"\$out\""
echo "Wrote docs/screenshot-{files,settings,running,summary}.png"
