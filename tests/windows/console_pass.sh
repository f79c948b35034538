#!/usr/bin/env bash
# console_pass.sh WINE_RUN PREFIX WINDOWS_CONSOLE LINUX_CONSOLE EXAMPLE_DIR WORK_DIR
# One whole pass of KestruneTest.exe under Wine over an example configuration,
# beside one pass of the Linux console over the same file. The output files must
# match, and so must the console output, apart from the current directory and
# line ends (the Windows runtime writes text with CR LF, and "\r\n" as CR CR LF).
set -euo pipefail
wine_run=$1 prefix=$2 windows_console=$3 linux_console=$4 example=$5 work=$6

rm -rf "$work"
mkdir -p "$work/linux" "$work/windows"
cp "$example/KestruneCtl_Test_Cfg.ini" "$work/linux/"
cp "$example/KestruneCtl_Test_Cfg.ini" "$work/windows/"

status=0
(cd "$work/linux" && echo q | KESTRUNE_ROOT="$work/linux/policy-root" timeout -k 5 120 "$linux_console" \
  >console.txt 2>&1) || { echo "Linux console failed: $?"; status=1; }
# The policy object double starts from an empty machine section.
"$wine_run" "$prefix" reg delete 'HKCU\Software\Kestrune Tests\GroupPolicyObject' /f >/dev/null 2>&1 || true
(cd "$work/windows" && echo q | "$wine_run" "$prefix" "$windows_console" >console.txt 2>&1) ||
  { echo "KestruneTest.exe failed: $?"; status=1; }

normalise() { # line ends, and the line that names the current directory
  tr -d '\r' <"$1" | sed 's/^\(KESTRUNE_TEST INFO: Test config dirName=\).*\(, name=\)/\1<dir>\2/'
}
for file in console.txt KestruneCtl_Output_Cfg.ini; do
  if ! diff -u <(normalise "$work/linux/$file") <(normalise "$work/windows/$file"); then
    echo "console_pass: $file differs between Linux (-) and Windows (+)"
    status=1
  fi
done
grep -q '^KESTRUNE_TEST INFO: Test config dirName=Z:\\' "$work/windows/console.txt" ||
  { echo "console_pass: the Windows console did not name its directory as the system does"; status=1; }
grep -q 'KESTRUNE_TEST DBG: finish Call .QVX_KESTRUNE_Apply. 0' "$work/windows/console.txt" ||
  { echo "console_pass: the Windows pass did not save"; status=1; }
exit $status
