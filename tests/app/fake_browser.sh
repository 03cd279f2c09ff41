#!/bin/sh
# The "default browser" of the tray tests: records the address it was asked to open.
echo "$1" >> "${PLUMET_TEST_BROWSER_LOG:-/dev/null}"
