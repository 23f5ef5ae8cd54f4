// The installer's entry point; the start-up sequence is in startup.cpp.
int installerMain(int argc, char** argv);

int main(int argc, char** argv) { return installerMain(argc, argv); }
