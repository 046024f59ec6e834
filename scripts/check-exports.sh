#!/usr/bin/env bash
# Fails unless the plug-in library exports exactly its component entry points and the task
# allocator, so that nothing of the implementation leaks into a host's symbol space.
set -euo pipefail
library="${1:-build/release/host/libzentrix.so}"
expected="CoTaskMemAlloc
CoTaskMemFree
DllCanUnloadNow
DllGetClassObject
DllRegisterServer
DllUnregisterServer"
actual="$(nm -D --defined-only "$library" | awk '{print $3}' | sort)"
if [ "$actual" != "$expected" ]; then
  echo "unexpected exports of $library:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "exports of $library: OK"
