#!/usr/bin/env bash
# Takes a screenshot of each tab of the real window under Xvfb, for the README:
# docs/screenshot-files.png and docs/screenshot-settings.png.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$here/build"
bash "$here/scripts/setup.sh" "$build"

need=()
command -v xvfb-run >/dev/null || need+=(xvfb xauth)
command -v import >/dev/null || need+=(imagemagick)
if ((${#need[@]})); then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi

# The program reads setting.ini beside itself, so each shot runs a copy in a folder of its own,
# started in a copy of the sample books so that the file list has something to show.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/books"
cp "$here"/samples/books/* "$work/books/"

shoot() {  # page-index output-file
  local app="$work/app$1"
  mkdir -p "$app"
  cp "$build/app/shelvio" "$app/"
  cp -r "$build/app/fls" "$app/"
  cat > "$app/setting.ini" <<INI
[FORM]
WinState=1
Width=1000
Height=800
Left=0
Top=0
[USER]
BadFileDir=/home/reader/Книги/bad/
EndDir=/home/reader/Книги/end/
DoubleDir=/home/reader/Книги/double/
ActivePage=$1
INI
  (cd "$work/books" && xvfb-run -a -s "-screen 0 1000x800x24" bash -c "
      '$app/shelvio' & pid=\$!
      sleep 4
      import -window root '$2'
      kill \$pid; wait \$pid 2>/dev/null || true")
}

mkdir -p "$here/docs"
shoot 0 "$here/docs/screenshot-files.png"
shoot 1 "$here/docs/screenshot-settings.png"
echo "Wrote docs/screenshot-files.png and docs/screenshot-settings.png"
