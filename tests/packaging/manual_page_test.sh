#!/usr/bin/env bash
# The manual page passes both formatters' strictest checks without a message:
# groff with all warnings, mandoc's lint down to style remarks.
#
#   manual_page_test.sh PAGE
#
# Exits 77 (skipped) when groff or mandoc is missing.
set -u
page=$1
for tool in groff mandoc; do
    if ! command -v $tool > /dev/null; then
        echo "SKIPPED: $tool is not installed (Debian packages groff-base, mandoc)"
        exit 77
    fi
done

failed=0
groff_messages=$(groff -man -ww -z "$page" 2>&1)
if [ $? -ne 0 ] || [ -n "$groff_messages" ]; then
    echo "FAIL: groff -man -ww -z:"
    echo "$groff_messages"
    failed=1
fi
mandoc_messages=$(mandoc -T lint -W style "$page" 2>&1)
if [ $? -ne 0 ] || [ -n "$mandoc_messages" ]; then
    echo "FAIL: mandoc -T lint -W style:"
    echo "$mandoc_messages"
    failed=1
fi
exit $failed
