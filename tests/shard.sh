#!/bin/sh
# shard.sh PROGRAM K N: runs the K-th of every N test functions of a Qt Test program (K from 1),
# so that the parts of a long program run side by side. Every function falls in one part.
set -eu
program=$1
k=$2
n=$3
functions=$("$program" -functions | sed -n 's/()$//p' | awk -v k="$k" -v n="$n" '(NR - 1) % n == k - 1')
[ -n "$functions" ] || exit 0
# shellcheck disable=SC2086 # one argument a function; their names hold no spaces
exec "$program" $functions
