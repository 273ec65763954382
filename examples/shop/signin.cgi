#!/bin/sh
# Sign-in for the shop: the one request that carries no token.
#
# The sign-in installation (../signin, outside the document root, without
# TOKEN_KEY) runs the request: signin() checks the password and sends
# nothing. Only when that run ends normally with nothing sent (the closing
# frame C10101010 alone) does the shop run its start() call, given on the
# command line, which kova accepts without a token: that answer carries the
# session's first token. Any other answer goes back as it is.
cd "$(dirname "$0")" || exit 1
header='Content-type: text/plane;charset=UTF-8'
answer=$(../signin/kova)
if [ "$answer" != "$(printf '%s\n\nC10101010' "$header")" ]; then
    printf '%s' "$answer"
    exit 0
fi
printf '%s\n\n' "$header"
exec ./app/kova.cgi 'P17start()M111917shop.js' 'signed_in=1'
