#!/bin/sh
# vim as "the user's editor" of the end-to-end test, registered as the default application for
# text/plain: it runs in a detached tmux session on the test's private socket
# ($PLUMET_TEST_TMUX), where the test types into it and from where it ends the session.
exec tmux -S "$PLUMET_TEST_TMUX" new-session -d -s edit -x 100 -y 20 vim -u NONE -i NONE -n "$1"
