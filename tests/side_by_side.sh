#!/bin/sh
# Runs two copies of one test binary at once over the suites that write files (the timing
# suites are left out: they measure the machine, which two copies share). Both must pass:
# tests that shared a path on disk would remove or overwrite each other's files.
# Usage: side_by_side.sh TEST_BINARY
filter='-Stress*:PlaybackRealTimer*:Timer*'
"$1" --gtest_brief=1 --gtest_filter="$filter" & first=$!
"$1" --gtest_brief=1 --gtest_filter="$filter"; second=$?
wait $first && [ $second -eq 0 ]
