#include "command.h"

int main(int argc, char** argv) { return runVpk(argc, argv); }
