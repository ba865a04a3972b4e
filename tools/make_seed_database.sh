#!/bin/sh
# Makes the seed database resources/bookmarks.sql: the bookmark table with its base columns only.
# The application adds every other column and the transfer-queue table itself when it first opens
# the database. Needs the sqlite3 command (Debian package sqlite3).
set -eu
out="${1:-$(dirname "$0")/../resources/bookmarks.sql}"
rm -f "$out"
sqlite3 "$out" "CREATE TABLE bookmark (pk integer primary key, server text, user text, password text);"
