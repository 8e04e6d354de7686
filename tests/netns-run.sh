#!/bin/sh
# Runs a command in a private network namespace with only its loopback interface up, so tests
# can use the server's fixed ports without touching the host's.
exec unshare --net sh -c 'ip link set lo up && exec "$@"' netns-run "$@"
