#!/usr/bin/env bash
# Shell entry to the namespace test network (see testnet.py for details):
#   tools/netns/testnet.sh run [--lans 2] -- CMD ...   network up around CMD,
#                                                     FL_* variables exported;
#                                                     exit 77 without root
#   tools/netns/testnet.sh up [--lans 2]              up until Ctrl-C
#   tools/netns/testnet.sh check | cleanup
exec /usr/bin/python3 "$(dirname "$0")/testnet.py" "$@"
