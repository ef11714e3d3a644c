#!/usr/bin/env bash
# Creates the ordinary user that LinuxCNC runs as (it refuses to run as root), when missing.
# Usage: scripts/lcnc-user.sh [NAME]   (default lcnc)
set -euo pipefail
user=${1:-lcnc}
if ! id "$user" >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "lcnc-user: run as root to create the user $user" >&2
    exit 1
  fi
  useradd --create-home --shell /bin/bash "$user"
fi
