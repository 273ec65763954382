// kova and kova-dbg: one request per process.
#include "host/startup.h"

int main(int argc, char** argv) { return kova::host_main(argc, argv); }
