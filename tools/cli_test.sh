#!/usr/bin/env bash
# The command-line conventions of every program, as a table: --help on
# standard output with status 0 and the usual sections; --version with the
# project's version; an unknown option and a stray argument named on standard
# error with status 2; an option given as --name=VALUE taken like --name VALUE.
#
#   cli_test.sh VERSION NAME=PROGRAM...   (PROGRAM: the file to run)
set -u
version=$1; shift
declare -A prog
for a in "$@"; do prog[${a%%=*}]=${a#*=}; done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export DORNIX_ROOT=$scratch
mkdir -p "$scratch/var/tmp"
unset GATEWAY_INTERFACE REQUEST_METHOD
fail=0

# run NAME ARGS...: runs the program, sets $status, $out and $err.
run() {
  local name=$1; shift
  "${prog[$name]}" "$@" >"$scratch/out" 2>"$scratch/err" </dev/null
  status=$?
  out=$(cat "$scratch/out"); err=$(cat "$scratch/err")
}
bad() { echo "FAIL: $*"; fail=1; }

# program | a stray argument after a valid command | a --name=VALUE command
# line (with the status it must end with)
table=(
  "fwtag       | sum $scratch/out extra         | verify --pubkey=$scratch/none $scratch/out = 1"
  "velmora-kit | check $scratch extra           | check --pubkey=$scratch/none $scratch = 2"
  "dornix-msg  | query logic k extra            | --timeout=0.1 --from=cli query nobody key = 3"
  "gatewaysim  | paths extra                    | --dir=$scratch/sim status = 1"
  "dornix      | extra                          | "
  "velmora-cli | --yes extra                    | --yes --state-dir=$scratch/state --gateway=1.2.3.999 = 3"
)
for row in "${table[@]}"; do
  IFS='|' read -r name stray valued <<<"$row"
  name=$(echo $name)
  [ -n "${prog[$name]:-}" ] || continue
  run "$name" --help
  [ "$status" = 0 ] || bad "$name --help: status $status"
  [ -z "$err" ] || bad "$name --help: wrote to standard error: $err"
  for section in "Usage: $name" "Options" "Exit status:" "Example"; do
    [[ $out == *"$section"* ]] || bad "$name --help: no \"$section\""
  done
  run "$name" --version
  [ "$status" = 0 ] && [[ $out == "$name (Dornix and Velmora) $version"* ]] ||
    bad "$name --version: status $status, \"$out\""
  for args in "--no-such-option" "$stray"; do
    # shellcheck disable=SC2086
    run "$name" $args
    [ "$status" = 2 ] || bad "$name $args: status $status, not 2"
    [ -z "$out" ] || bad "$name $args: wrote to standard output: $out"
    word=${args##* }
    [[ $err == *"$word"* ]] || bad "$name $args: the error does not name $word: $err"
  done
  if [ -n "$(echo $valued)" ]; then
    want=${valued##*= }
    # shellcheck disable=SC2086
    run "$name" ${valued% = *}
    [ "$status" = "$want" ] || bad "$name ${valued% = *}: status $status, not $want: $err"
  fi
done
# Misuse beyond the conventions: program | arguments | status | what the
# error must say.
sim=$scratch/sim
misuse=(
  "gatewaysim | power-cycle --off abc         | 2 | --off wants a number of seconds, not 'abc'"
  "gatewaysim | --dir $sim start --kit /nonexistent | 1 | --kit /nonexistent: no such folder"
  "gatewaysim | --dir $sim start --kit $scratch | 1 | no config.xml in it"
  "gatewaysim | --dir $sim log                | 1 | never started in $sim (start it: gatewaysim --dir $sim start)"
  "gatewaysim | --dir $sim state              | 1 | never started"
  "gatewaysim | --dir $sim set ap/ssid=x      | 1 | never started"
  "gatewaysim | --dir $sim wait-up 1          | 1 | not running"
  "gwsim      | set $sim nosuchkey=1          | 1 | no setting nosuchkey"
  "fwtag      | sum --key k $scratch/out       | 2 | --key does not go with sum"
  "fwtag      | sign $scratch/out              | 2 | sign needs --key"
  "velmora-kit | check --pubkey                | 2 | --pubkey needs a key file"
  "velmora-kit | check --pubkey $scratch/none $scratch | 2 | --pubkey $scratch/none: No such file or directory"
  "velmora-kit | check --pubkey $sim $scratch  | 2 | --pubkey $sim: Is a directory"
  "velmora-kit | check --pubkey $0 $scratch    | 2 | --pubkey $0: not a public key file"
)
mkdir -p "$sim"
[ -z "${prog[gwsim]:-}" ] || "${prog[gwsim]}" init "$sim" >/dev/null
for row in "${misuse[@]}"; do
  IFS='|' read -r name args want text <<<"$row"
  name=$(echo $name); want=$(echo $want); text=${text# }
  [ -n "${prog[$name]:-}" ] || continue
  # shellcheck disable=SC2086
  run "$name" $args
  [ "$status" = "$want" ] && [[ $err == *"$text"* ]] ||
    bad "$name $args: status $status (not $want) or no \"$text\" in: $err"
done
[ $fail = 0 ] && echo "command lines: all checks passed"
exit $fail
