#include <cstdio>

// Placeholder until the start-up sequence lands.
int installerMain(int, char**) {
    std::puts("FATAL ERROR: internal error");
    return 1;
}
