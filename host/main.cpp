#include "host/host.h"

int main(int argc, char** argv) { return velko::host::run(argc, argv); }
