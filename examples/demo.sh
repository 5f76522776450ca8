#!/usr/bin/env bash
# Runs the repository demo: vlt-demo creates a repository in a temporary
# folder, writes a library of books, reopens it and checks what it reads back;
# vlt-inspect then shows the file (the overview, then the library object).
# BUILD_DIR names the build folder (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${BUILD_DIR:-build}/bin

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
repository=$work/library.db

echo "== vlt-demo: create, write, reopen, read back"
"$bin/vlt-demo" vlt_datasource/metamodel/baseMetamodel.xml "$repository" | tee "$work/demo.out"
library=$(sed -n 's/^  library uuid: //p' "$work/demo.out")

echo
echo "== vlt-inspect $repository"
"$bin/vlt-inspect" "$repository"

echo
echo "== vlt-inspect --object $library $repository"
"$bin/vlt-inspect" --object "$library" "$repository"

echo
echo "== vlt-datasource-demo $work/models.vlt"
"$bin/vlt-datasource-demo" "$work/models.vlt"

# The same on a PostgreSQL database: a throw-away server on loopback.
echo
echo "== vlt-datasource-demo on a PostgreSQL database"
scripts/with-postgresql bash -c "\"$bin/vlt-datasource-demo\" \"\$VLT_TEST_POSTGRESQL_URI\""
