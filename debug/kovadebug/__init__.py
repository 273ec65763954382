"""kova-debug: the debugging front end of kova-dbg."""
