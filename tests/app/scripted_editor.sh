#!/bin/sh
# The "user's editor" of the end-to-end tests, registered as the default application for
# text/plain through the test's private XDG folders. What it does to the file it is given is
# chosen by PLUMET_TEST_EDITOR (inherited from the test through plumet):
#   append  add a line and leave (vim, gedit: the file is not kept open)
#   noisy   append, after a line of its own on stdout and on stderr (as editors print warnings)
#   hold    open the file for writing, add a line, keep it open for 3 seconds, then close it
#   rename  write a new file beside it and rename it over the copy (save by rename)
#   twice   append, then append again 2.5 seconds later
# Each step is logged to $PLUMET_TEST_EDITOR_LOG.
file="$1"
log="${PLUMET_TEST_EDITOR_LOG:-/dev/null}"
echo "started $file" >> "$log"
sleep 0.3
case "${PLUMET_TEST_EDITOR:-append}" in
  append) echo "edited by the editor" >> "$file" ;;
  noisy)
    echo "scripted editor says on stdout"
    echo "scripted editor says on stderr" >&2
    echo "edited by the editor" >> "$file"
    ;;
  hold)
    exec 3>> "$file"
    echo "edited by the editor" >&3
    echo "holding" >> "$log"
    sleep 3
    exec 3>&-
    ;;
  rename)
    { cat "$file"; echo "edited by the editor"; } > "$file.new"
    mv "$file.new" "$file"
    ;;
  twice)
    echo "edited by the editor" >> "$file"
    echo "saved once" >> "$log"
    sleep 2.5
    echo "edited again" >> "$file"
    ;;
esac
echo "saved" >> "$log"
