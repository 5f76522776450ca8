#!/usr/bin/env bash
# Checks vlt-inspect on the demo's repository: the exact overview and object
# output, that inspecting never changes the file, and the errors and exit
# codes of bad input.
# usage: vlt-inspect-test.sh VLT_DEMO VLT_INSPECT BASE_METAMODEL_FILE [postgresql]
# With "postgresql" the repository is a fresh schema of the server named by
# VLT_TEST_POSTGRESQL_URI instead of a file, and the checks of files are
# replaced by checks of what a URI's password must never reach.
set -uo pipefail
demo=$1
inspect=$2
base=$3
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
repository=$work/library.db
shown=$repository
if [ "${4:-}" = postgresql ]; then
  server=${VLT_TEST_POSTGRESQL_URI:?run through scripts/with-postgresql}
  schema=inspect_$$
  psql -q "$server" -c "SET client_min_messages = warning; DROP SCHEMA IF EXISTS $schema CASCADE; CREATE SCHEMA $schema" ||
    { echo "FAIL: cannot make a schema on the test server" >&2; exit 1; }
  repository="$server?options=-csearch_path%3D$schema"
  password=$(printf '%s' "$server" | sed -E 's|^[a-z]+://[^:/@]*:([^@]*)@.*|\1|')
  shown=${repository/":$password@"/":***@"}
fi
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# expect CODE NAME COMMAND...: runs the command, output in $work/NAME.out and
# $work/NAME.err, and checks its exit code.
expect() {
  local code=$1 name=$2
  shift 2
  "$@" >"$work/$name.out" 2>"$work/$name.err"
  local got=$?
  [ "$got" -eq "$code" ] || fail "$name: exit code $got, expected $code ($(head -c 300 "$work/$name.err"))"
}
same() {  # same NAME EXPECTED_FILE: the output equals the file
  diff -u "$2" "$work/$1.out" >"$work/$1.diff" || { fail "$1: output differs"; cat "$work/$1.diff" >&2; }
}
contains() {  # contains NAME STREAM TEXT
  grep -qF -- "$3" "$work/$1.$2" || fail "$1: the $2 lacks \"$3\": $(head -c 300 "$work/$1.$2")"
}

expect 0 demo "$demo" "$base" "$repository"
if [ -n "${password:-}" ]; then
  grep -qF -- "$password" "$work/demo.out" "$work/demo.err" && fail "demo: the password was printed"
else
  [ -f "$repository" ] || { echo "FAIL: the demo wrote no repository" >&2; exit 1; }
  before=$(sha256sum "$repository")
fi

expect 0 overview "$inspect" "$repository"
first=$(head -n 1 "$work/overview.out")
[ "$first" = "repository $shown" ] || fail "overview: first line is \"$first\""
tail -n +2 "$work/overview.out" >"$work/overview-body.out"
same overview-body "$here/expected-overview.txt"

expect 0 library "$inspect" --object 6c1b2a00-0d3e-4f5a-8b6c-000000000001 "$repository"
same library "$here/expected-library.txt"
expect 0 book "$inspect" --object=6C1B2A00-0D3E-4F5A-8B6C-000000000012 "$repository"
same book "$here/expected-book.txt"
expect 0 book-quoted "$inspect" --object 6c1b2a00-0d3e-4f5a-8b6c-000000000013 "$repository"
same book-quoted "$here/expected-book-quoted.txt"

expect 1 unknown-object "$inspect" --object 6c1b2a00-0d3e-4f5a-8b6c-0000000000ff "$repository"
contains unknown-object err "has no object 6c1b2a00-0d3e-4f5a-8b6c-0000000000ff"
[ -s "$work/unknown-object.out" ] && fail "unknown-object: wrote to stdout"

if [ -n "${password:-}" ]; then
  # A wrong password: an error that shows no password, neither the given one
  # nor the right one.
  expect 1 wrong-password "$inspect" "${repository/":$password@"/":wrong$password@"}"
  contains wrong-password err "SQLSTATE 28P01"
  grep -qF -- "$password" "$work/wrong-password.err" && fail "wrong-password: the password was printed"
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "vlt-inspect on PostgreSQL: all checks passed"
  exit 0
fi

# Inspecting leaves the repository exactly as it was, with no journal behind.
[ "$(sha256sum "$repository")" = "$before" ] || fail "the repository changed while being inspected"
ls "$work" | grep -q '^library\.db-' && fail "a journal or WAL file was left: $(ls "$work")"

# A missing repository is an error and is not created.
expect 1 missing "$inspect" "$work/missing.db"
contains missing err "does not exist"
[ -e "$work/missing.db" ] && fail "missing: vlt-inspect created the repository"

# A file that is not a repository is refused and left alone.
echo "not a database" >"$work/text.db"
expect 1 not-a-database "$inspect" "$work/text.db"
contains not-a-database err "vlt-inspect: "
[ "$(cat "$work/text.db")" = "not a database" ] || fail "not-a-database: the file changed"

# Bad usage: exit code 2 and the usage text on stderr.
expect 2 no-arguments "$inspect"
contains no-arguments err "usage: vlt-inspect"
expect 2 bad-uuid "$inspect" --object not-a-uuid "$repository"
contains bad-uuid err "is not a uuid"
expect 2 no-uuid "$inspect" "$repository" --object
expect 2 unknown-option "$inspect" --frobnicate "$repository"
contains unknown-option err "unknown option --frobnicate"
expect 2 two-repositories "$inspect" "$repository" "$repository"

expect 0 help "$inspect" --help
contains help out "usage: vlt-inspect [--object UUID] REPOSITORY"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "vlt-inspect: all checks passed"
