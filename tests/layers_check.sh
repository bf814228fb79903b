#!/usr/bin/env bash
# scripts/layers against small trees made here, one rule broken in each, so a
# check that stops looking is caught (the real tree only shows it passing).
set -uo pipefail
layers="$(cd "$(dirname "$0")/.." && pwd)/scripts/layers"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0

# A clean tree: a header with its file and a part file, a program's entry.
make_tree() {
  rm -rf "$scratch/tree"
  mkdir -p "$scratch/tree"/{link,monitoring,control,ui,sim}
  cd "$scratch/tree"
  printf '#pragma once\n' >link/Port.h
  printf '#include "link/Port.h"\n' >link/Port.cpp
  printf '#include "link/Port.h"\n' >link/Port.reading.cpp
  printf '#pragma once\n#include "link/Port.h"\n' >monitoring/Poll.h
  printf '#include "monitoring/Poll.h"\n' >monitoring/Poll.cpp
  printf '#pragma once\n' >ui/main.h
  printf '#include "ui/main.h"\n#include "monitoring/Poll.h"\n' >ui/main.cpp
  printf '#include "ui/main.h"\nint main(int argc, char** argv)\n{\n    return 0;\n}\n' >ui/Application.cpp
  printf 'int main()\n{\n    return 0;\n}\n' >sim/SimMain.cpp
}

# expect <exit code> <what stderr must hold, or ""> <case>
expect() {
  local want="$1" text="$2" name="$3" got
  "$layers" -q "$scratch/tree" >/dev/null 2>"$scratch/err"
  got=$?
  if [ "$got" -ne "$want" ] || { [ -n "$text" ] && ! grep -qF -- "$text" "$scratch/err"; }; then
    echo "FAIL $name: exit $got (want $want); stderr:"; cat "$scratch/err"
    failed=1
  else
    echo "ok   $name"
  fi
}

make_tree; expect 0 "" "clean tree"
make_tree; printf '#include "link/Port.h"\n' >link/Exchange.cpp
expect 1 "source without its header: link/Exchange.cpp" "link file under a name of its own"
make_tree; printf '#include "link/Port.h"\n' >link/Names.part.cpp
expect 1 "source without its header: link/Names.part.cpp" "part file of a header that is not there"
make_tree; printf '// main() is elsewhere\n' >control/Helpers.cpp
expect 1 "source without its header: control/Helpers.cpp" "a mention of main() is no entry"
make_tree; printf '#include "ui/main.h"\n' >link/Port.cpp
expect 1 "wrong-way include: link/Port.cpp includes ui/" "include upwards"
make_tree; printf '#include "link/Port.h"\n' >sim/SimMain.cpp
expect 1 "wrong-way include: sim/SimMain.cpp includes link/" "simulator including the client"
make_tree; mkdir -p services report
printf '#pragma once\n' >report/Pdf.h; printf '#include "report/Pdf.h"\n#include "monitoring/Poll.h"\n' >report/Pdf.cpp
printf '#include "report/Pdf.h"\n' >ui/Report.cpp; printf '#pragma once\n' >ui/Report.h
expect 0 "" "windows using the report writer"
printf '#pragma once\n' >services/Board.h; printf '#include "report/Pdf.h"\n' >services/Board.cpp
expect 1 "wrong-way include: services/Board.cpp includes report/" "services drawing through the report writer"
make_tree; mkdir -p report; printf '#pragma once\n#include "ui/main.h"\n' >report/Pdf.h
expect 1 "wrong-way include: report/Pdf.h includes ui/" "report writer reaching into the windows"
exit "$failed"
