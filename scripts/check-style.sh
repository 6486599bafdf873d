#!/usr/bin/env bash
# The tree's habits, checked: every tracked C++ file as .clang-format lays it out, and commit
# subjects of one short line (at most 72 characters; the body says the rest).
set -euo pipefail
cd "$(dirname "$0")/.."

# Commits before this one were written before the subject rule was kept by the build.
subjects_checked_since=1084b30

git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
echo "check-style: every C++ file matches .clang-format"

if ! git rev-parse -q --verify "${subjects_checked_since}^{commit}" >/dev/null; then
  echo "check-style: commit subjects not checked: $subjects_checked_since is not in this" \
    "clone's history (a shallow clone?)"
  exit 0
fi
long=$(git log --format='%h%x09%s' "$subjects_checked_since..HEAD" | awk -F'\t' 'length($2) > 72')
if [ -n "$long" ]; then
  echo "check-style: commit subjects longer than 72 characters:" >&2
  echo "$long" >&2
  exit 1
fi
echo "check-style: every commit subject since $subjects_checked_since is at most 72 characters"
